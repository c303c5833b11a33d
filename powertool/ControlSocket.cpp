#include "ControlSocket.h"

#include "ToolFailure.h"
#include "WaitReadable.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

namespace zelvo::powertool::ControlSocket {

namespace {

struct Address {
    sockaddr_un address{};
    socklen_t length = 0;
};

// Abstract: a leading NUL, and the length counts exactly the name's bytes.
Address addressFor(pid_t owner) {
    const std::string name = nameFor(owner);
    Address result;
    result.address.sun_family = AF_UNIX;
    std::memcpy(result.address.sun_path + 1, name.data(), name.size());
    result.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return result;
}

UniqueFd newSocket() {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        throw ToolFailure(std::string("cannot create the control socket: ") + std::strerror(errno));
    }
    return fd;
}

[[noreturn]] void failOn(const char* step, pid_t owner) {
    throw ToolFailure(std::string(step) + " @" + nameFor(owner) + ": " + std::strerror(errno));
}

} // namespace

std::string nameFor(pid_t owner) {
    return "zelvo-pmset/" + std::to_string(owner);
}

std::optional<UniqueFd> claim(pid_t owner) {
    UniqueFd fd = newSocket();
    const Address address = addressFor(owner);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address.address), address.length) !=
        0) {
        if (errno == EADDRINUSE) {
            return std::nullopt;
        }
        failOn("cannot bind the control socket", owner);
    }
    return fd;
}

std::optional<Peer> connect(pid_t owner) {
    // Non-blocking, so that a holder with a full backlog cannot stall the tool.
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        failOn("cannot create a socket for", owner);
    }
    const Address address = addressFor(owner);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address.address), address.length) !=
        0) {
        if (errno == ECONNREFUSED || errno == ENOENT) {
            return std::nullopt;
        }
        failOn("cannot connect to the control socket", owner);
    }
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        failOn("cannot read the peer of the control socket", owner);
    }
    return Peer{std::move(fd), credentials.pid, credentials.uid};
}

Answer requestRelease(const Peer& holder, std::chrono::milliseconds limit) {
    // A failed send is not the end: a holder that refuses answers before it reads, and may have
    // closed the connection by now with its answer waiting to be read.
    const std::string_view request = releaseRequest;
    (void)::send(holder.connection.get(), request.data(), request.size(), MSG_NOSIGNAL);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string answer;
    char buffer[64];
    while (answer.find('\n') == std::string::npos) {
        if (!waitReadable(holder.connection.get(), deadline)) {
            return Answer::none;
        }
        const ssize_t got = ::recv(holder.connection.get(), buffer, sizeof buffer, 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0) {
            return Answer::none;
        }
        answer.append(buffer, static_cast<std::size_t>(got));
    }
    if (answer == releasedAnswer) {
        return Answer::released;
    }
    return answer == refusedAnswer ? Answer::refused : Answer::none;
}

} // namespace zelvo::powertool::ControlSocket
