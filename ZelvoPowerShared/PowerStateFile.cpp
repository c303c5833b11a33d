#include "PowerStateFile.h"

#include "PowerHelperError.h"
#include "StateDocument.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <functional>
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

// The temporary file of one save, which this save created in the directory `directoryFd`: on
// every exit its descriptor is closed and then its name removed, unless the rename has already
// moved the file to the state file's name (the name is then no longer ours to remove).
class TemporaryFile {
public:
    TemporaryFile(const FileSystemCalls& calls, int directoryFd, std::string name, int fd)
        : calls_(calls), directoryFd_(directoryFd), name_(std::move(name)), descriptor_(calls, fd) {
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        descriptor_.reset();
        if (!renamed_) {
            (void)calls_.unlinkat(directoryFd_, name_.c_str(), 0);
        }
    }

    [[nodiscard]] int fd() const noexcept { return descriptor_.get(); }
    [[nodiscard]] const std::string& name() const noexcept { return name_; }
    void renamed() noexcept { renamed_ = true; }

private:
    const FileSystemCalls& calls_;
    int directoryFd_;
    std::string name_;
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

// The last component of the path: the state file's name in its directory.
std::string nameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Opens the state directory itself, never a symbolic link in its place, so that every later step
// is taken relative to the one directory that was checked, whatever is renamed at its path
// meanwhile. -1 with errno set when it cannot be opened.
int openDirectory(const FileSystemCalls& calls, const std::string& directory) {
    return calls.open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
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

// Makes a directory that this save just created durable, after `beforeFlush` (if any), or removes
// it again: a later save, finding it missing, makes it anew and flushes it then. Left in place, a
// later save would find it existing and never flush its entry.
void makeDurable(const FileSystemCalls& calls, const std::string& directory,
                 const std::function<void()>& beforeFlush = {}) {
    try {
        if (beforeFlush) {
            beforeFlush();
        }
        syncParentOf(calls, directory);
    } catch (...) {
        // Empty, since it was made just now; rmdir removes nothing else.
        (void)calls.rmdir(directory.c_str());
        throw;
    }
}

// Creates `directory` with `mode` and its missing parents (0755 less the umask, each made durable
// before the next is made inside it); true when this call made `directory`, false when an entry of
// any kind was already there (the checks after this judge it). The caller makes `directory` itself
// durable, once it has checked what it opened there.
bool createDirectory(const FileSystemCalls& calls, const std::string& directory, mode_t mode) {
    int result = calls.mkdir(directory.c_str(), mode);
    int error = errno;
    if (result != 0 && error == ENOENT) {
        const std::string parent = directoryOf(directory);
        if (parent == directory) {
            throw std::system_error(error, std::generic_category(), "mkdir " + directory);
        }
        if (createDirectory(calls, parent, 0755)) {
            makeDurable(calls, parent);
        }
        result = calls.mkdir(directory.c_str(), mode);
        error = errno;
    }
    if (result != 0) {
        if (error == EEXIST) {
            return false;
        }
        throw std::system_error(error, std::generic_category(), "mkdir " + directory);
    }
    return true;
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

// True when a load's open gave a descriptor, false when there was nothing at the path (ENOENT: no
// record); any other failure throws "open".
bool openedForLoad(int fd) {
    if (fd >= 0) {
        return true;
    }
    const int error = errno;
    if (error == ENOENT) {
        return false;
    }
    throw callFailure("open", error);
}

} // namespace

std::optional<PowerHelperState> PowerStateFile::load() {
    const int directoryFd = openDirectory(calls_, directoryOf(path_));
    if (!openedForLoad(directoryFd)) {
        return std::nullopt;
    }
    const Descriptor directoryFile(calls_, directoryFd);

    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer, and the status
    // check below is what refuses it. It changes nothing for the regular file that is accepted.
    const int fd = calls_.openat(directoryFd, nameOf(path_).c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (!openedForLoad(fd)) {
        return std::nullopt;
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
    const bool created = createDirectory(calls_, directory, 0700);

    const int directoryFd = openDirectory(calls_, directory);
    if (directoryFd < 0) {
        // Missing after creation, not a directory, or a symbolic link.
        throw PowerHelperError::fileFailure(directoryRefusal);
    }
    const Descriptor directoryFile(calls_, directoryFd);
    struct stat status {};
    if (calls_.fstat(directoryFd, &status) != 0 || !S_ISDIR(status.st_mode) ||
        status.st_uid != ::geteuid() || (status.st_mode & 0022) != 0) {
        throw PowerHelperError::fileFailure(directoryRefusal);
    }
    if (created) {
        // Exactly 0700: mkdir applied the umask.
        makeDurable(calls_, directory, [&] {
            if (calls_.fchmod(directoryFd, 0700) != 0) {
                throw std::system_error(errno, std::generic_category(), "chmod " + directory);
            }
        });
    }

    const std::string temporaryName = ".power-state-" + randomUUID(calls_) + ".tmp";
    const int fd = calls_.openat(directoryFd, temporaryName.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        // Whatever holds that name is not ours: nothing to remove.
        throw callFailure("create", errno);
    }
    TemporaryFile temporary(calls_, directoryFd, temporaryName, fd);

    // The umask may have narrowed the mode given to open; load() insists on exactly 0600.
    if (calls_.fchmod(fd, 0600) != 0) {
        throw callFailure("chmod", errno);
    }
    writeAll(calls_, fd, StateDocument::encode(state));
    if (calls_.fsync(fd) != 0) {
        throw callFailure("fsync", errno);
    }
    if (calls_.renameat(directoryFd, temporary.name().c_str(), directoryFd,
                        nameOf(path_).c_str()) != 0) {
        throw callFailure("rename", errno);
    }
    temporary.renamed();

    // Makes the rename itself durable. A failure here leaves the new document in place.
    if (calls_.fsync(directoryFd) != 0) {
        throw callFailure("fsync directory", errno);
    }
}

} // namespace zelvo
