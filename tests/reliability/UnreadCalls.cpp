#include "UnreadCalls.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace zelvo::reliability {
namespace {

void pad(std::string& out, std::size_t alignment) {
    while (out.size() % alignment != 0) {
        out.push_back('\0');
    }
}

void putUint32(std::string& out, std::uint32_t value) {
    pad(out, 4);
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xff)); // little-endian
    }
}

// One header field: (code, variant of signature type holding text).
void putField(std::string& out, char code, char type, const std::string& text) {
    pad(out, 8);
    out.push_back(code);
    out.push_back('\1');
    out.push_back(type);
    out.push_back('\0');
    putUint32(out, static_cast<std::uint32_t>(text.size()));
    out += text;
    out.push_back('\0');
}

// A method call without a body, with the serial at offset 8.
std::string methodCall(const std::string& destination, const std::string& path,
                       const std::string& interface, const std::string& member) {
    std::string fields;
    fields.reserve(256);
    // Offsets within the message matter for alignment: the fields start at 16, itself 8-aligned.
    putField(fields, 1, 'o', path);
    putField(fields, 2, 's', interface);
    putField(fields, 3, 's', member);
    putField(fields, 6, 's', destination);
    std::string out = {'l', '\1', '\0', '\1'};
    putUint32(out, 0); // body length
    putUint32(out, 0); // serial, set per call
    putUint32(out, static_cast<std::uint32_t>(fields.size()));
    out += fields;
    pad(out, 8);
    return out;
}

void setSerial(std::string& message, std::uint32_t serial) {
    for (int i = 0; i < 4; ++i) {
        message[8 + i] = static_cast<char>((serial >> (8 * i)) & 0xff);
    }
}

// Writes all of data unless the end comes first; false then.
bool writeAllUntil(int fd, const std::string& data, std::chrono::steady_clock::time_point end) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd wait{fd, POLLOUT, 0};
        ::poll(&wait, 1, static_cast<int>(std::min<long>(left.count(), 100)));
    }
    return true;
}

} // namespace

UnreadCaller::UnreadCaller() {
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string prefix = "unix:path=";
    if (address == nullptr || std::string(address).rfind(prefix, 0) != 0) {
        throw std::runtime_error("no unix:path= bus address");
    }
    std::string path = std::string(address).substr(prefix.size());
    path = path.substr(0, path.find(','));
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    std::strncpy(where.sun_path, path.c_str(), sizeof where.sun_path - 1);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        throw std::runtime_error("cannot connect to " + path + ": " + std::strerror(errno));
    }
    // The handshake: our uid in hex digits of its decimal text.
    std::string uid = std::to_string(::getuid());
    std::string hex;
    for (const char c : uid) {
        static const char* digits = "0123456789abcdef";
        hex.push_back(digits[static_cast<unsigned char>(c) >> 4]);
        hex.push_back(digits[static_cast<unsigned char>(c) & 0xf]);
    }
    const auto soon = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    if (!writeAllUntil(fd_, std::string(1, '\0') + "AUTH EXTERNAL " + hex + "\r\n", soon)) {
        throw std::runtime_error("the handshake could not be sent");
    }
    std::string answer;
    char c = 0;
    while (answer.size() < 512 && ::read(fd_, &c, 1) == 1 && c != '\n') {
        answer.push_back(c);
    }
    if (answer.rfind("OK ", 0) != 0) {
        throw std::runtime_error("the bus refused the handshake: " + answer);
    }
    std::string hello = methodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "Hello");
    setSerial(hello, serial_++);
    if (!writeAllUntil(fd_, "BEGIN\r\n" + hello, soon)) {
        throw std::runtime_error("Hello could not be sent");
    }
}

UnreadCaller::~UnreadCaller() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

long UnreadCaller::sendUntil(std::chrono::steady_clock::time_point end,
                             const std::string& destination, const std::string& path,
                             const std::string& interface, const std::string& member) {
    std::string call = methodCall(destination, path, interface, member);
    long sent = 0;
    while (std::chrono::steady_clock::now() < end) {
        setSerial(call, serial_++);
        if (!writeAllUntil(fd_, call, end)) {
            break;
        }
        ++sent;
    }
    return sent;
}

} // namespace zelvo::reliability
