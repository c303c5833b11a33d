#include "Login1.h"

#include "ToolFailure.h"
#include "ToolLimits.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <systemd/sd-bus.h>

namespace zelvo::powertool {

namespace {

constexpr const char* destination = "org.freedesktop.login1";
constexpr const char* path = "/org/freedesktop/login1";
constexpr const char* interface = "org.freedesktop.login1.Manager";

// Frees a bus error and a reply however the call went.
struct CallResult {
    sd_bus_error error{};
    sd_bus_message* reply = nullptr;
    CallResult() = default;
    CallResult(const CallResult&) = delete;
    CallResult& operator=(const CallResult&) = delete;
    ~CallResult() {
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
    }
};

// The bus's or logind's own message when the call has one, else the error number's text.
[[noreturn]] void fail(const char* step, int result, const sd_bus_error* error = nullptr) {
    const bool named = error != nullptr && error->message != nullptr && *error->message != '\0';
    throw ToolFailure(std::string(step) + ": " +
                      (named ? std::string(error->message) : std::strerror(-result)));
}

void checkParsed(int result, const char* step) {
    if (result < 0) {
        fail(step, result);
    }
}

} // namespace

// Without a flush: every call waits for its reply, so nothing is left to send, and a flush towards
// a bus that stopped reading would wait without a bound.
void Login1::Closer::operator()(sd_bus* bus) const noexcept {
    sd_bus_close_unref(bus);
}

Login1 Login1::connect() {
    constexpr const char* step = "cannot connect to the system bus";
    sd_bus* bus = nullptr;
    const int opened = sd_bus_open_system(&bus);
    if (opened < 0) {
        fail(step, opened);
    }
    Login1 login1(bus);
    const auto callTimeout =
        std::chrono::duration_cast<std::chrono::microseconds>(ToolLimits::busCall);
    checkParsed(sd_bus_set_method_call_timeout(bus, static_cast<uint64_t>(callTimeout.count())),
                step);
    // The connection's authentication and Hello are otherwise bounded only by the library's own
    // time-out of minutes: a bus that accepts but never answers would stall the run.
    const auto deadline = std::chrono::steady_clock::now() + ToolLimits::busCall;
    for (;;) {
        const int ready = sd_bus_is_ready(bus);
        if (ready < 0) {
            fail(step, ready);
        }
        if (ready > 0) {
            return login1;
        }
        const int processed = sd_bus_process(bus, nullptr);
        if (processed < 0) {
            fail(step, processed);
        }
        if (processed > 0) {
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            throw ToolFailure(std::string(step) + ": no answer within " +
                              std::to_string(ToolLimits::busCall.count()) + " ms");
        }
        const int waited = sd_bus_wait(bus, static_cast<uint64_t>(left.count()));
        if (waited < 0 && waited != -EINTR) {
            fail(step, waited);
        }
    }
}

std::vector<InhibitorRow> Login1::listInhibitors() {
    constexpr const char* step = "cannot list logind's inhibitor locks";
    CallResult call;
    const int result = sd_bus_call_method(bus_.get(), destination, path, interface,
                                          "ListInhibitors", &call.error, &call.reply, "");
    if (result < 0) {
        fail(step, result, &call.error);
    }
    checkParsed(sd_bus_message_enter_container(call.reply, 'a', "(ssssuu)"), step);
    std::vector<InhibitorRow> rows;
    for (;;) {
        const char* what = nullptr;
        const char* who = nullptr;
        const char* why = nullptr;
        const char* mode = nullptr;
        InhibitorRow row;
        const int got = sd_bus_message_read(call.reply, "(ssssuu)", &what, &who, &why, &mode,
                                            &row.uid, &row.pid);
        checkParsed(got, step);
        if (got == 0) {
            break;
        }
        row.what = what;
        row.who = who;
        row.why = why;
        row.mode = mode;
        rows.push_back(std::move(row));
    }
    return rows;
}

UniqueFd Login1::inhibitOurLock() {
    constexpr const char* step = "cannot take logind's inhibitor lock";
    CallResult call;
    const int result = sd_bus_call_method(bus_.get(), destination, path, interface, "Inhibit",
                                          &call.error, &call.reply, "ssss", OurLock::what,
                                          OurLock::who, OurLock::why, OurLock::mode);
    if (result < 0) {
        fail(step, result, &call.error);
    }
    int fd = -1;
    checkParsed(sd_bus_message_read(call.reply, "h", &fd), step);
    // The reply owns its descriptor and closes it with the reply.
    UniqueFd lock(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
    if (!lock) {
        fail(step, -errno);
    }
    return lock;
}

} // namespace zelvo::powertool
