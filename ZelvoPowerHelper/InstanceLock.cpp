#include "InstanceLock.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>

namespace zelvo {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(int error, const char* operation, const fs::path& path) {
    throw std::system_error(error, std::generic_category(),
                            std::string(operation) + " " + path.string());
}

fs::path parentOf(const fs::path& path) {
    return path.has_parent_path() ? path.parent_path() : fs::path(".");
}

// The directory's descriptor, or an empty one with `error` set.
UniqueFd openDirectory(const fs::path& directory, int& error) {
    UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    error = fd ? 0 : errno;
    return fd;
}

void lockExclusively(const UniqueFd& fd, const fs::path& directory) {
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            throw InstanceLock::AnotherInstance("another instance holds the state directory " +
                                                directory.string());
        }
        if (error != EINTR) {
            fail(error, "flock", directory);
        }
    }
}

void flush(const fs::path& directory) {
    int error = 0;
    const UniqueFd fd = openDirectory(directory, error);
    if (!fd) {
        fail(error, "open", directory);
    }
    if (::fsync(fd.get()) != 0) {
        fail(errno, "fsync", directory);
    }
}

// Makes the directory and its missing parents. Each one made is durable in its parent before
// anything is made inside it, or is removed again: the state file flushes only the directories it
// makes itself, and must never save into one whose entry a power cut could still take away.
void makeDirectories(const fs::path& directory, mode_t mode) {
    if (::mkdir(directory.c_str(), mode) != 0) {
        const int error = errno;
        if (error == EEXIST) {
            return;
        }
        const fs::path parent = parentOf(directory);
        if (error != ENOENT || parent == directory) {
            fail(error, "mkdir", directory);
        }
        makeDirectories(parent, 0755);
        makeDirectories(directory, mode);
        return;
    }
    try {
        // mkdir applies the umask; the state directory's mode is exact.
        if (mode == 0700 && ::chmod(directory.c_str(), mode) != 0) {
            fail(errno, "chmod", directory);
        }
        flush(parentOf(directory));
    } catch (...) {
        (void)::rmdir(directory.c_str());
        throw;
    }
}

} // namespace

InstanceLock::InstanceLock(const fs::path& stateDirectory) {
    int error = 0;
    directory_ = openDirectory(stateDirectory, error);
    if (!directory_) {
        if (error != ENOENT) {
            fail(error, "open", stateDirectory);
        }
        fs::path above = parentOf(stateDirectory);
        UniqueFd guard = openDirectory(above, error);
        while (!guard) {
            if (error != ENOENT || parentOf(above) == above) {
                fail(error, "open", above);
            }
            above = parentOf(above);
            guard = openDirectory(above, error);
        }
        // Held until the state directory is locked: whoever else starts meanwhile finds one of the
        // two locks taken.
        lockExclusively(guard, above);
        makeDirectories(stateDirectory, 0700);
        directory_ = openDirectory(stateDirectory, error);
        if (!directory_) {
            fail(error, "open", stateDirectory);
        }
    }
    lockExclusively(directory_, stateDirectory);
}

} // namespace zelvo
