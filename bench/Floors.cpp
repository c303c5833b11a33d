#include "Floors.h"

#include "Measure.h"
#include "UniqueFd.h"
#include "WriteAll.h"

#include <cerrno>
#include <fcntl.h>
#include <sdbus-c++/sdbus-c++.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace zelvo::bench {

namespace {

[[noreturn]] void throwErrno(int error, const std::string& what) {
    throw std::system_error(error, std::system_category(), what);
}

} // namespace

std::string spawnAndRead(const std::string& program, const std::vector<std::string>& arguments) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throwErrno(errno, "pipe2");
    }
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);

    std::vector<char*> argv = argvOf(program, arguments);

    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDERR_FILENO);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throwErrno(error, program);
    }
    writeEnd.reset();

    std::string output;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwErrno(errno, "read");
        }
        output.append(buffer, static_cast<std::size_t>(n));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throwErrno(errno, "waitpid");
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(program + " did not exit with 0; it printed: " + output);
    }
    return output;
}

void durableReplace(const std::string& path, const std::string& content) {
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string temporary = path + ".tmp";
    {
        UniqueFd file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (file.get() < 0) {
            throwErrno(errno, "open " + temporary);
        }
        if (!writeAll(file.get(), content)) {
            throwErrno(errno, "write " + temporary);
        }
        if (::fsync(file.get()) != 0) {
            throwErrno(errno, "fsync " + temporary);
        }
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        throwErrno(errno, "rename " + temporary);
    }
    UniqueFd folder(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) {
        throwErrno(errno, "open " + directory);
    }
    if (::fsync(folder.get()) != 0) {
        throwErrno(errno, "fsync " + directory);
    }
}

const std::string& heldStateDocument() {
    static const std::string document = std::string(44, 'x') + "\n";
    return document;
}

std::string doRequestWork(Request request, const std::string& pmset, const std::string& statePath) {
    const std::string& document = heldStateDocument();
    std::string output = spawnAndRead(pmset, {"-g"});
    switch (request) {
    case Request::status:
        break;
    case Request::hold:
        durableReplace(statePath, document);
        (void)spawnAndRead(pmset, {"-a", "disablesleep", "1"});
        (void)spawnAndRead(pmset, {"-g"});
        break;
    case Request::renewal:
        durableReplace(statePath, document);
        break;
    case Request::release:
        (void)spawnAndRead(pmset, {"-a", "disablesleep", "0"});
        (void)spawnAndRead(pmset, {"-g"});
        durableReplace(statePath, document);
        break;
    }
    return output;
}

struct ServerClient::Impl {
    std::unique_ptr<sdbus::IConnection> connection = sdbus::createSystemBusConnection();
    std::unique_ptr<sdbus::IProxy> proxy;
    std::string interfaceName;
};

ServerClient::ServerClient(const char* busName, const char* objectPath, const char* interfaceName)
    : impl_(std::make_unique<Impl>()) {
    impl_->proxy = sdbus::createProxy(*impl_->connection, busName, objectPath);
    impl_->interfaceName = interfaceName;
}
ServerClient::~ServerClient() = default;

void ServerClient::call(const char* method) {
    auto call = impl_->proxy->createMethodCall(impl_->interfaceName, method);
    (void)impl_->proxy->callMethod(call);
}

} // namespace zelvo::bench
