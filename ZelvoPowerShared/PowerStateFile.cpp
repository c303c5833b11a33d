#include "PowerStateFile.h"

#include "PowerHelperError.h"
#include "StateDocument.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <unistd.h>

namespace zelvo {

namespace {

constexpr std::size_t maximumStateBytes = 16384;
constexpr const char* stateRefusal = "state must be an owned regular 0600 file of at most 16 KB";
constexpr const char* directoryRefusal =
    "state directory must be owned and not writable by other users";

// "<operation>: <strerror(error)>"; the error number is taken by the caller right after the call.
PowerHelperError callFailure(std::string_view operation, int error) {
    return PowerHelperError::fileFailure(std::string(operation) + ": " +
                                         std::generic_category().message(error));
}

// Owns one open descriptor and closes it through the calls table. The result of close is ignored:
// on Linux the descriptor is released even when close reports an error.
class Descriptor {
public:
    Descriptor(const FileSystemCalls& calls, int fd) : calls_(calls), fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }

    [[nodiscard]] int get() const noexcept { return fd_; }
    void reset() noexcept {
        if (fd_ >= 0) {
            (void)calls_.close(fd_);
            fd_ = -1;
        }
    }

private:
    const FileSystemCalls& calls_;
    int fd_;
};

// The temporary file of one save, which this save created: on every exit its descriptor is closed
// and then its path removed, unless the rename has already moved the file to the state path (the
// name is then no longer ours to remove).
class TemporaryFile {
public:
    TemporaryFile(const FileSystemCalls& calls, std::string path, int fd)
        : calls_(calls), path_(std::move(path)), descriptor_(calls, fd) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        descriptor_.reset();
        if (!renamed_) {
            (void)calls_.unlink(path_.c_str());
        }
    }

    [[nodiscard]] int fd() const noexcept { return descriptor_.get(); }
    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    void renamed() noexcept { renamed_ = true; }

private:
    const FileSystemCalls& calls_;
    std::string path_;
    Descriptor descriptor_;
    bool renamed_ = false;
};

// The path with its last component removed: "." for a bare name, "/" for a name at the root.
std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    const std::size_t end = path.find_last_not_of('/', slash);
    if (end == std::string::npos) {
        return "/";
    }
    return path.substr(0, end + 1);
}

std::string joined(const std::string& directory, const std::string& name) {
    return directory.back() == '/' ? directory + name : directory + "/" + name;
}

// Makes the entry of a directory that was just created durable, by flushing its parent: without
// this a power cut could take the new directory, and the record saved into it, away again. The
// parent is opened only to be flushed, so a symbolic link there is followed: its target holds the
// entry.
void syncParentOf(const FileSystemCalls& calls, const std::string& directory) {
    const std::string parent = directoryOf(directory);
    const int fd = calls.open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "open " + parent);
    }
    const int result = calls.fsync(fd);
    const int error = errno;
    calls.close(fd);
    if (result != 0) {
        throw std::system_error(error, std::generic_category(), "fsync " + parent);
    }
}

// Creates `directory` and its missing parents. An existing entry is left as it is (the
// directory check after this judges it). The state directory gets exactly 0700: mkdir applies the
// umask, so the mode is set again once it exists.
//
// A directory made here is durable before anything is made inside it, or it is removed again: a
// later save, finding it missing, makes it anew and flushes it then. Left in place, a later save
// would find it existing and never flush its entry.
void makeDirectory(const FileSystemCalls& calls, const std::string& directory, bool isState) {
    const mode_t mode = isState ? 0700 : 0755;
    int result = calls.mkdir(directory.c_str(), mode);
    int error = errno;
    if (result != 0 && error == ENOENT) {
        const std::string parent = directoryOf(directory);
        if (parent == directory) {
            throw std::system_error(error, std::generic_category(), "mkdir " + directory);
        }
        makeDirectory(calls, parent, false);
        result = calls.mkdir(directory.c_str(), mode);
        error = errno;
    }
    if (result != 0) {
        if (error == EEXIST) {
            return;
        }
        throw std::system_error(error, std::generic_category(), "mkdir " + directory);
    }
    try {
        if (isState && calls.chmod(directory.c_str(), 0700) != 0) {
            throw std::system_error(errno, std::generic_category(), "chmod " + directory);
        }
        syncParentOf(calls, directory);
    } catch (...) {
        // Empty, since it was made just now; rmdir removes nothing else.
        (void)calls.rmdir(directory.c_str());
        throw;
    }
}

// A version-4 UUID from 16 random bytes, upper-case 8-4-4-4-12.
std::string randomUUID(const FileSystemCalls& calls) {
    std::array<std::uint8_t, 16> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t n = calls.getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (n < 0) {
            const int error = errno;
            if (error == EINTR) {
                continue;
            }
            throw std::system_error(error, std::generic_category(), "getrandom");
        }
        if (n == 0) {
            throw std::runtime_error("getrandom returned no bytes");
        }
        filled += static_cast<std::size_t>(n);
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);

    constexpr std::string_view hex = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        text += hex[bytes[i] >> 4];
        text += hex[bytes[i] & 0x0F];
    }
    return text;
}

void writeAll(const FileSystemCalls& calls, int fd, const std::string& data) {
    std::size_t position = 0;
    while (position < data.size()) {
        const ssize_t n = calls.write(fd, data.data() + position, data.size() - position);
        if (n < 0) {
            const int error = errno;
            if (error == EINTR) {
                continue;
            }
            throw callFailure("write", error);
        }
        if (n == 0) {
            throw PowerHelperError::fileFailure("short write");
        }
        position += static_cast<std::size_t>(n);
    }
}

} // namespace

std::optional<PowerHelperState> PowerStateFile::load() {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer, and the status
    // check below is what refuses it. It changes nothing for the regular file that is accepted.
    const int fd =
        calls_.open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT) {
            return std::nullopt;
        }
        throw callFailure("open", error);
    }
    const Descriptor file(calls_, fd);

    struct stat status {};
    if (calls_.fstat(fd, &status) != 0 || status.st_uid != ::geteuid() ||
        !S_ISREG(status.st_mode) || (status.st_mode & 0777) != 0600 ||
        status.st_size > static_cast<off_t>(maximumStateBytes)) {
        throw PowerHelperError::fileFailure(stateRefusal);
    }

    std::string data;
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t n = calls_.read(fd, buffer.data(), buffer.size());
        if (n == 0) {
            break;
        }
        if (n < 0) {
            const int error = errno;
            if (error == EINTR) {
                continue;
            }
            throw callFailure("read", error);
        }
        data.append(buffer.data(), static_cast<std::size_t>(n));
        // The file may have grown since the status check.
        if (data.size() > maximumStateBytes) {
            throw PowerHelperError::fileFailure("state exceeds 16 KB");
        }
    }

    const PowerHelperState state = StateDocument::decode(data);
    state.validate();
    return state;
}

void PowerStateFile::save(const PowerHelperState& state) {
    state.validate();

    const std::string directory = directoryOf(path_);
    makeDirectory(calls_, directory, true);

    struct stat status {};
    if (calls_.lstat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
        status.st_uid != ::geteuid() || (status.st_mode & 0022) != 0) {
        throw PowerHelperError::fileFailure(directoryRefusal);
    }

    const std::string temporaryPath =
        joined(directory, ".power-state-" + randomUUID(calls_) + ".tmp");
    const int fd = calls_.open(temporaryPath.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        // Whatever holds that name is not ours: nothing to remove.
        throw callFailure("create", errno);
    }
    TemporaryFile temporary(calls_, temporaryPath, fd);

    // The umask may have narrowed the mode given to open; load() insists on exactly 0600.
    if (calls_.fchmod(fd, 0600) != 0) {
        throw callFailure("chmod", errno);
    }
    writeAll(calls_, fd, StateDocument::encode(state));
    if (calls_.fsync(fd) != 0) {
        throw callFailure("fsync", errno);
    }
    if (calls_.rename(temporary.path().c_str(), path_.c_str()) != 0) {
        throw callFailure("rename", errno);
    }
    temporary.renamed();

    // Makes the rename itself durable. A failure from here on leaves the new document in place.
    const int directoryFd =
        calls_.open(directory.c_str(), O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC, 0);
    if (directoryFd < 0) {
        throw callFailure("open directory", errno);
    }
    const Descriptor directoryFile(calls_, directoryFd);
    if (calls_.fsync(directoryFd) != 0) {
        throw callFailure("fsync directory", errno);
    }
}

} // namespace zelvo
