#include "PowerCutModel.h"

#include "Campaign.h"

#include <stdexcept>
#include <sys/stat.h>

namespace zelvo::reliability {

namespace fs = std::filesystem;

namespace {

std::string parentOf(const std::string& relativePath) {
    const std::size_t slash = relativePath.find_last_of('/');
    return slash == std::string::npos ? std::string() : relativePath.substr(0, slash);
}

} // namespace

PowerCutModel::PowerCutModel(fs::path root) : root_(std::move(root)) {
    for (const auto& entry : fs::recursive_directory_iterator(root_)) {
        struct stat status {};
        if (::lstat(entry.path().c_str(), &status) != 0) {
            continue;
        }
        const std::string path = fs::relative(entry.path(), root_).string();
        Node node;
        node.directory = S_ISDIR(status.st_mode);
        if (!node.directory) {
            node.current = readFile(entry.path()).value_or("");
            node.synced = node.current;
        }
        nodes_[status.st_ino] = node;
        live_[path] = status.st_ino;
    }
    durable_ = live_;
}

std::string PowerCutModel::relative(const std::string& path) const {
    const std::string root = root_.string();
    if (path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 ||
        path[root.size()] != '/') {
        throw std::logic_error("path outside the modelled tree: " + path);
    }
    return path.substr(root.size() + 1);
}

void PowerCutModel::created(const std::string& path, ino_t inode, bool directory) {
    nodes_[inode] = Node{directory, {}, {}};
    live_[relative(path)] = inode;
}

void PowerCutModel::wrote(ino_t inode, const std::string& bytes) {
    nodes_[inode].current += bytes;
}

void PowerCutModel::synced(ino_t inode) {
    Node& node = nodes_[inode];
    node.synced = node.current;
}

void PowerCutModel::directorySynced(const std::string& path) {
    const std::string directory = path == root_.string() ? std::string() : relative(path);
    for (auto it = durable_.begin(); it != durable_.end();) {
        it = parentOf(it->first) == directory && !live_.count(it->first) ? durable_.erase(it)
                                                                         : std::next(it);
    }
    for (const auto& [name, inode] : live_) {
        if (parentOf(name) == directory) {
            durable_[name] = inode;
        }
    }
}

void PowerCutModel::renamed(const std::string& from, const std::string& to) {
    const auto it = live_.find(relative(from));
    if (it == live_.end()) {
        throw std::logic_error("rename of an unknown name: " + from);
    }
    const ino_t inode = it->second;
    live_.erase(it);
    live_[relative(to)] = inode;
}

void PowerCutModel::unlinked(const std::string& path) {
    live_.erase(relative(path));
}

const std::map<std::string, ino_t>& PowerCutModel::namesFor(Names names) const {
    return names == Names::durable ? durable_ : live_;
}

bool PowerCutModel::survives(const std::map<std::string, ino_t>& names,
                             const std::string& relativePath) const {
    for (std::string path = relativePath; !path.empty(); path = parentOf(path)) {
        if (!names.count(path)) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> PowerCutModel::fileAfterCut(const std::string& path, Names names,
                                                       Data data) const {
    const auto& map = namesFor(names);
    const std::string name = relative(path);
    if (!survives(map, name)) {
        return std::nullopt;
    }
    const Node& node = nodes_.at(map.at(name));
    if (node.directory) {
        return std::nullopt;
    }
    return data == Data::synced ? node.synced : node.current;
}

void PowerCutModel::materialise(const fs::path& destination, Names names, Data data) const {
    const auto& map = namesFor(names);
    // A map orders a folder before what it holds.
    for (const auto& [name, inode] : map) {
        if (!survives(map, name)) {
            continue;
        }
        const Node& node = nodes_.at(inode);
        if (node.directory) {
            fs::create_directory(destination / name);
            fs::permissions(destination / name, fs::perms(0700));
        } else {
            writeFile(destination / name, data == Data::synced ? node.synced : node.current);
        }
    }
}

std::map<std::string, std::optional<std::string>> PowerCutModel::leftTree() const {
    std::map<std::string, std::optional<std::string>> tree;
    for (const auto& [name, inode] : live_) {
        const Node& node = nodes_.at(inode);
        tree[name] = node.directory ? std::nullopt : std::optional<std::string>(node.current);
    }
    return tree;
}

std::map<std::string, std::optional<std::string>> realTree(const fs::path& root) {
    std::map<std::string, std::optional<std::string>> tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = fs::relative(entry.path(), root).string();
        tree[name] = entry.is_directory() ? std::nullopt : readFile(entry.path());
    }
    return tree;
}

} // namespace zelvo::reliability
