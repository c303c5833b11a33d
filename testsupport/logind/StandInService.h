#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

namespace zelvo::logindworld {

// Logs each method call the service receives on stderr, which shows what its callers ask.
inline int logMethodCall(sd_bus_message* message, void* program, sd_bus_error*) {
    std::uint8_t type = 0;
    if (sd_bus_message_get_type(message, &type) >= 0 && type == SD_BUS_MESSAGE_METHOD_CALL) {
        std::fprintf(stderr, "%s: %s.%s on %s from %s\n", static_cast<const char*>(program),
                     sd_bus_message_get_interface(message), sd_bus_message_get_member(message),
                     sd_bus_message_get_path(message), sd_bus_message_get_sender(message));
    }
    return 0;
}

// Method handlers return 1 once they have replied: sd-bus takes 0 for "not handled here" and then
// sends its own UnknownMethod error after the reply.
//
// The whole life of a stand-in service: connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS),
// logs the calls it receives on stderr, lets addObjects export its objects, takes busName, and
// serves until SIGTERM or SIGINT or until the bus goes away. Returns the process's exit status;
// failures are reported on stderr under program's name.
inline int serveOnSystemBus(const char* program, const char* busName,
                            int (*addObjects)(sd_bus* bus)) {
    const auto fail = [program](const char* what, int r) {
        std::fprintf(stderr, "%s: %s: %s\n", program, what, std::strerror(-r));
        return 1;
    };
    sigset_t terminating;
    sigemptyset(&terminating);
    sigaddset(&terminating, SIGTERM);
    sigaddset(&terminating, SIGINT);
    sigprocmask(SIG_BLOCK, &terminating, nullptr);

    sd_event* event = nullptr;
    sd_bus* bus = nullptr;
    int r = sd_event_default(&event);
    if (r < 0) {
        return fail("sd_event_default", r);
    }
    // With no handler, either signal ends the loop.
    sd_event_add_signal(event, nullptr, SIGTERM, nullptr, nullptr);
    sd_event_add_signal(event, nullptr, SIGINT, nullptr, nullptr);
    if ((r = sd_bus_open_system(&bus)) < 0) {
        return fail("sd_bus_open_system", r);
    }
    sd_bus_add_filter(bus, nullptr, logMethodCall, const_cast<char*>(program));
    if ((r = addObjects(bus)) < 0) {
        return fail("exporting objects", r);
    }
    if ((r = sd_bus_attach_event(bus, event, 0)) < 0) {
        return fail("sd_bus_attach_event", r);
    }
    if ((r = sd_bus_request_name(bus, busName, 0)) < 0) {
        return fail("sd_bus_request_name", r);
    }
    sd_bus_set_exit_on_disconnect(bus, 1);
    r = sd_event_loop(event);
    sd_bus_flush_close_unref(bus);
    sd_event_unref(event);
    return r < 0 ? fail("sd_event_loop", r) : 0;
}

} // namespace zelvo::logindworld
