#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>

namespace zelvo::reliability {

// What a power cut can leave of a folder tree, given the file-system operations a process made in
// it. The tree's state when the model is made counts as durable. From then on:
// - a file's data is durable up to its last successful fsync; later writes may be lost;
// - a name made, replaced or removed in a directory (create, mkdir, rename, unlink) is durable
//   only once that directory has been fsynced; until then the change may be undone.
// Either kind of loss may happen without the other, so a cut is asked for with two choices: which
// names survive and which data. Files are identified by inode; writes are taken as appends (the
// state file is written once from its start).
class PowerCutModel {
public:
    // Which names survive the cut.
    enum class Names { durable, asLeft };
    // Which contents survive the cut.
    enum class Data { synced, asLeft };

    // Takes every entry under root as durable, with its current contents.
    explicit PowerCutModel(std::filesystem::path root);

    // Paths are absolute, below the root.
    void created(const std::string& path, ino_t inode, bool directory);
    void wrote(ino_t inode, const std::string& bytes);
    void synced(ino_t inode);
    void directorySynced(const std::string& path);
    void renamed(const std::string& from, const std::string& to);
    void unlinked(const std::string& path);

    // The file's contents after a cut, or nothing when no file survives at the path.
    [[nodiscard]] std::optional<std::string> fileAfterCut(const std::string& path, Names names,
                                                          Data data) const;
    // Builds the tree that survives a cut below `destination` (files 0600, folders 0700).
    void materialise(const std::filesystem::path& destination, Names names, Data data) const;
    // The tree as left, in the same form, for comparing with the real one.
    [[nodiscard]] std::map<std::string, std::optional<std::string>> leftTree() const;

private:
    struct Node {
        bool directory = false;
        std::string current;
        std::string synced;
    };
    [[nodiscard]] std::string relative(const std::string& path) const;
    [[nodiscard]] const std::map<std::string, ino_t>& namesFor(Names names) const;
    [[nodiscard]] bool survives(const std::map<std::string, ino_t>& names,
                                const std::string& relativePath) const;

    std::filesystem::path root_;
    std::map<ino_t, Node> nodes_;
    std::map<std::string, ino_t> live_;
    std::map<std::string, ino_t> durable_;
};

// The tree below root as it really is: relative path to contents (nothing for a folder).
[[nodiscard]] std::map<std::string, std::optional<std::string>>
realTree(const std::filesystem::path& root);

} // namespace zelvo::reliability
