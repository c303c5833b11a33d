#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <sys/stat.h>
#include <sys/types.h>

namespace zelvo {

// The system calls of the state file, as a table that tests can rewrite one entry at a time.
// Every entry has the signature and the errno convention of the POSIX call it is named after
// (`getrandom` is getrandom(2)). A default-constructed table holds the real calls.
struct FileSystemCalls {
    FileSystemCalls();

    std::function<int(const char* path, mode_t mode)> mkdir;
    std::function<int(const char* path)> rmdir;
    std::function<ssize_t(void* buffer, std::size_t length, unsigned flags)> getrandom;
    std::function<int(const char* path, int flags, mode_t mode)> open;
    std::function<int(int directoryFd, const char* name, int flags, mode_t mode)> openat;
    std::function<int(int fd, struct stat* status)> fstat;
    std::function<int(int fd, mode_t mode)> fchmod;
    std::function<ssize_t(int fd, void* buffer, std::size_t length)> read;
    std::function<ssize_t(int fd, const void* buffer, std::size_t length)> write;
    std::function<int(int fd)> fsync;
    std::function<int(int fromDirectoryFd, const char* from, int toDirectoryFd, const char* to)>
        renameat;
    std::function<int(int directoryFd, const char* name, int flags)> unlinkat;
    std::function<int(int fd)> close;
};

// The entries of the table, for fault plans.
enum class FileSystemCall {
    mkdir,
    rmdir,
    getrandom,
    open,
    openat,
    fstat,
    fchmod,
    read,
    write,
    fsync,
    renameat,
    unlinkat,
    close
};

// What a fault plan does to one call.
struct FileSystemFault {
    // Fail the call with this error number (it returns -1) instead of running it. A failed close
    // still closes the descriptor first, as a failing close(2) does on Linux.
    int error = 0;
    // read, write and getrandom only: run the call with at most this many bytes. A limit of 0 makes
    // the call return 0 without running it (a write that wrote nothing, an end of file).
    std::optional<std::size_t> byteLimit;
};

// Consulted before every call; nothing means "run the call unchanged". Called on the thread that
// makes the call; it may keep state (a counter, say) to fail only the Nth call, or every call
// after.
using FileSystemFaultPlan = std::function<std::optional<FileSystemFault>(FileSystemCall)>;

// `inner` with `plan` consulted before each of its calls.
[[nodiscard]] FileSystemCalls withFaults(FileSystemCalls inner, FileSystemFaultPlan plan);

} // namespace zelvo
