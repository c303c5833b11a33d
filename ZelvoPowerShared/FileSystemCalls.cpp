#include "FileSystemCalls.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/random.h>
#include <unistd.h>

namespace zelvo {

FileSystemCalls::FileSystemCalls()
    : mkdir([](const char* path, mode_t mode) { return ::mkdir(path, mode); }),
      rmdir([](const char* path) { return ::rmdir(path); }),
      getrandom([](void* buffer, std::size_t length, unsigned flags) {
          return ::getrandom(buffer, length, flags);
      }),
      open([](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }),
      openat([](int directoryFd, const char* name, int flags, mode_t mode) {
          return ::openat(directoryFd, name, flags, mode);
      }),
      fstat([](int fd, struct stat* status) { return ::fstat(fd, status); }),
      fchmod([](int fd, mode_t mode) { return ::fchmod(fd, mode); }),
      read([](int fd, void* buffer, std::size_t length) { return ::read(fd, buffer, length); }),
      write([](int fd, const void* buffer, std::size_t length) {
          return ::write(fd, buffer, length);
      }),
      fsync([](int fd) { return ::fsync(fd); }),
      renameat([](int fromDirectoryFd, const char* from, int toDirectoryFd, const char* to) {
          return ::renameat(fromDirectoryFd, from, toDirectoryFd, to);
      }),
      unlinkat([](int directoryFd, const char* name, int flags) {
          return ::unlinkat(directoryFd, name, flags);
      }),
      close([](int fd) { return ::close(fd); }) {}

namespace {

// One plan and one inner table shared by every entry, so a plan's counter sees all calls in order.
struct Shared {
    FileSystemCalls inner;
    FileSystemFaultPlan plan;
};

template <typename Result, typename Run>
Result guarded(Shared& shared, FileSystemCall call, Run run) {
    const std::optional<FileSystemFault> fault = shared.plan(call);
    if (fault && fault->error != 0) {
        errno = fault->error;
        return -1;
    }
    return run();
}

template <typename Run>
ssize_t limited(Shared& shared, FileSystemCall call, std::size_t length, Run run) {
    const std::optional<FileSystemFault> fault = shared.plan(call);
    if (fault && fault->error != 0) {
        errno = fault->error;
        return -1;
    }
    if (fault && fault->byteLimit) {
        if (*fault->byteLimit == 0) {
            return 0;
        }
        length = std::min(length, *fault->byteLimit);
    }
    return run(length);
}

} // namespace

FileSystemCalls withFaults(FileSystemCalls inner, FileSystemFaultPlan plan) {
    auto s = std::make_shared<Shared>(Shared{std::move(inner), std::move(plan)});
    FileSystemCalls calls;
    calls.mkdir = [s](const char* path, mode_t mode) {
        return guarded<int>(*s, FileSystemCall::mkdir, [&] { return s->inner.mkdir(path, mode); });
    };
    calls.rmdir = [s](const char* path) {
        return guarded<int>(*s, FileSystemCall::rmdir, [&] { return s->inner.rmdir(path); });
    };
    calls.getrandom = [s](void* buffer, std::size_t length, unsigned flags) {
        return limited(*s, FileSystemCall::getrandom, length,
                       [&](std::size_t n) { return s->inner.getrandom(buffer, n, flags); });
    };
    calls.open = [s](const char* path, int flags, mode_t mode) {
        return guarded<int>(*s, FileSystemCall::open,
                            [&] { return s->inner.open(path, flags, mode); });
    };
    calls.openat = [s](int directoryFd, const char* name, int flags, mode_t mode) {
        return guarded<int>(*s, FileSystemCall::openat,
                            [&] { return s->inner.openat(directoryFd, name, flags, mode); });
    };
    calls.fstat = [s](int fd, struct stat* status) {
        return guarded<int>(*s, FileSystemCall::fstat, [&] { return s->inner.fstat(fd, status); });
    };
    calls.fchmod = [s](int fd, mode_t mode) {
        return guarded<int>(*s, FileSystemCall::fchmod, [&] { return s->inner.fchmod(fd, mode); });
    };
    calls.read = [s](int fd, void* buffer, std::size_t length) {
        return limited(*s, FileSystemCall::read, length,
                       [&](std::size_t n) { return s->inner.read(fd, buffer, n); });
    };
    calls.write = [s](int fd, const void* buffer, std::size_t length) {
        return limited(*s, FileSystemCall::write, length,
                       [&](std::size_t n) { return s->inner.write(fd, buffer, n); });
    };
    calls.fsync = [s](int fd) {
        return guarded<int>(*s, FileSystemCall::fsync, [&] { return s->inner.fsync(fd); });
    };
    calls.renameat = [s](int fromDirectoryFd, const char* from, int toDirectoryFd, const char* to) {
        return guarded<int>(*s, FileSystemCall::renameat, [&] {
            return s->inner.renameat(fromDirectoryFd, from, toDirectoryFd, to);
        });
    };
    calls.unlinkat = [s](int directoryFd, const char* name, int flags) {
        return guarded<int>(*s, FileSystemCall::unlinkat,
                            [&] { return s->inner.unlinkat(directoryFd, name, flags); });
    };
    calls.close = [s](int fd) {
        const std::optional<FileSystemFault> fault = s->plan(FileSystemCall::close);
        const int result = s->inner.close(fd);
        if (fault && fault->error != 0) {
            errno = fault->error;
            return -1;
        }
        return result;
    };
    return calls;
}

} // namespace zelvo
