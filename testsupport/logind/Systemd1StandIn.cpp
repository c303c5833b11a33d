// systemd1-standin RECORD_FILE: owns org.freedesktop.systemd1 on the system bus (the world's
// private bus) and answers what logind asks of the service manager when it decides to suspend:
// Subscribe, the load state of a unit, and StartUnit. StartUnit appends the unit's name and a
// newline to RECORD_FILE, answers a job path and announces that job as done, so logind ends the
// operation without anything being suspended. Every call it receives is logged on stderr. Ends on
// SIGTERM or when the bus goes away.
#include "StandInService.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <unistd.h>

namespace {

const char* recordFile = nullptr;
std::uint32_t lastJob = 0;

bool record(const std::string& unit) {
    const int fd = ::open(recordFile, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const std::string line = unit + "\n";
    // One short append: written whole or not at all.
    const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(fd);
    return written;
}

int startUnit(sd_bus_message* message, void*, sd_bus_error* error) {
    const char* unit = nullptr;
    const char* mode = nullptr;
    int r = sd_bus_message_read(message, "ss", &unit, &mode);
    if (r < 0) {
        return r;
    }
    if (!record(unit)) {
        return sd_bus_error_set_errno(error, errno);
    }
    const std::uint32_t id = ++lastJob;
    const std::string job = "/org/freedesktop/systemd1/job/" + std::to_string(id);
    r = sd_bus_reply_method_return(message, "o", job.c_str());
    if (r < 0) {
        return r;
    }
    // logind waits for this signal before it takes another sleep or shutdown request.
    r = sd_bus_emit_signal(sd_bus_message_get_bus(message), "/org/freedesktop/systemd1",
                           "org.freedesktop.systemd1.Manager", "JobRemoved", "uoss", id,
                           job.c_str(), unit, "done");
    return r < 0 ? r : 1;
}

int acknowledge(sd_bus_message* message, void*, sd_bus_error*) {
    const int r = sd_bus_reply_method_return(message, nullptr);
    return r < 0 ? r : 1;
}

int stringProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                   void*, sd_bus_error*) {
    const char* value = std::strcmp(property, "LoadState") == 0 ? "loaded" : "inactive";
    return sd_bus_message_append(reply, "s", value);
}

// Every unit path exists: logind only asks about the sleep targets.
int findUnit(sd_bus*, const char*, const char*, void*, void** found, sd_bus_error*) {
    *found = nullptr;
    return 1;
}

const sd_bus_vtable managerVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Subscribe", "", "", acknowledge, 0),
    SD_BUS_METHOD("Unsubscribe", "", "", acknowledge, 0),
    SD_BUS_METHOD("StartUnit", "ss", "o", startUnit, 0),
    SD_BUS_SIGNAL("JobRemoved", "uoss", 0),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable unitVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("LoadState", "s", stringProperty, 0, 0),
    SD_BUS_PROPERTY("ActiveState", "s", stringProperty, 0, 0),
    SD_BUS_VTABLE_END,
};

int addObjects(sd_bus* bus) {
    const int r =
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/systemd1",
                                 "org.freedesktop.systemd1.Manager", managerVtable, nullptr);
    if (r < 0) {
        return r;
    }
    return sd_bus_add_fallback_vtable(bus, nullptr, "/org/freedesktop/systemd1/unit",
                                      "org.freedesktop.systemd1.Unit", unitVtable, findUnit,
                                      nullptr);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: systemd1-standin RECORD_FILE\n");
        return 2;
    }
    recordFile = argv[1];
    return zelvo::logindworld::serveOnSystemBus(argv[0], "org.freedesktop.systemd1", addObjects);
}
