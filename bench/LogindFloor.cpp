// bench-logind-floor list|lock: the floors of the Linux power tool, the least that one program run
// can do for each of the tool's requests, with the sd-bus C library on a fresh system-bus
// connection of its own.
//   list  calls ListInhibitors once (the floor of -g: one spawn and one round trip to logind).
//   lock  takes a handle-lid-switch:sleep block lock (Inhibit), closes its descriptor, and calls
//         ListInhibitors until the lock is no longer listed (logind may list it for a moment after
//         the close, so a release that reports the lock gone must look until it is). The floor of
//         a hold and its release. Prints how many looks it took.
// Exits with 0 when the work was done, 1 when logind refused or the lock stayed listed for 5 s.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace {

constexpr char destination[] = "org.freedesktop.login1";
constexpr char path[] = "/org/freedesktop/login1";
constexpr char manager[] = "org.freedesktop.login1.Manager";
constexpr char what[] = "handle-lid-switch:sleep";

struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusUnref>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// Reports a failed call and returns false; the error is freed either way.
bool succeeded(int result, sd_bus_error& error, const char* what) {
    if (result >= 0) {
        sd_bus_error_free(&error);
        return true;
    }
    std::fprintf(stderr, "bench-logind-floor: %s: %s\n", what,
                 error.message != nullptr ? error.message : std::strerror(-result));
    sd_bus_error_free(&error);
    return false;
}

Message listInhibitors(sd_bus* bus) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int result =
        sd_bus_call_method(bus, destination, path, manager, "ListInhibitors", &error, &reply, "");
    if (!succeeded(result, error, "ListInhibitors")) {
        return nullptr;
    }
    return Message(reply);
}

// 1 when the reply of ListInhibitors lists a lock of `what` taken by this process, 0 when not, -1
// when the reply cannot be read.
int listsOwnLock(sd_bus_message* reply) {
    if (sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "(ssssuu)") < 0) {
        return -1;
    }
    const auto self = static_cast<std::uint32_t>(::getpid());
    int found = 0;
    const char* rowWhat = nullptr;
    const char* who = nullptr;
    const char* why = nullptr;
    const char* mode = nullptr;
    std::uint32_t uid = 0;
    std::uint32_t pid = 0;
    int result = 0;
    while ((result = sd_bus_message_read(reply, "(ssssuu)", &rowWhat, &who, &why, &mode, &uid,
                                         &pid)) > 0) {
        if (pid == self && std::strcmp(rowWhat, what) == 0) {
            found = 1;
        }
    }
    return result < 0 ? -1 : found;
}

bool lockAndRelease(sd_bus* bus) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int result =
        sd_bus_call_method(bus, destination, path, manager, "Inhibit", &error, &reply, "ssss", what,
                           "bench-logind-floor", "the floor of a hold", "block");
    if (!succeeded(result, error, "Inhibit")) {
        return false;
    }
    Message lock(reply);
    int descriptor = -1;
    if (sd_bus_message_read(lock.get(), "h", &descriptor) < 0) {
        std::fprintf(stderr, "bench-logind-floor: Inhibit answered no descriptor\n");
        return false;
    }
    // The reply owns the descriptor: releasing the reply closes it, which ends the lock.
    lock.reset();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (int looks = 1; std::chrono::steady_clock::now() < deadline; ++looks) {
        const Message inhibitors = listInhibitors(bus);
        if (!inhibitors) {
            return false;
        }
        const int listed = listsOwnLock(inhibitors.get());
        if (listed < 0) {
            std::fprintf(stderr, "bench-logind-floor: cannot read ListInhibitors' reply\n");
            return false;
        }
        if (listed == 0) {
            std::printf("%d\n", looks);
            return true;
        }
    }
    std::fprintf(stderr, "bench-logind-floor: the lock was still listed after 5 s\n");
    return false;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 2 ? argv[1] : "";
    if (mode != "list" && mode != "lock") {
        std::fprintf(stderr, "usage: bench-logind-floor list|lock\n");
        return 2;
    }
    sd_bus* opened = nullptr;
    if (const int result = sd_bus_open_system(&opened); result < 0) {
        std::fprintf(stderr, "bench-logind-floor: system bus: %s\n", std::strerror(-result));
        return 1;
    }
    const Bus bus(opened);
    if (mode == "list") {
        return listInhibitors(bus.get()) ? 0 : 1;
    }
    return lockAndRelease(bus.get()) ? 0 : 1;
}
