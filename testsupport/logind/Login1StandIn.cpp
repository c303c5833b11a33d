// login1-standin SCENARIO_FILE: owns org.freedesktop.login1 on the system bus (the world's private
// bus) and serves Inhibit, ListInhibitors and the BlockInhibited/DelayInhibited properties of
// org.freedesktop.login1.Manager, with listings the real logind cannot be made to produce.
//
// Inhibit returns one end of a pipe the stand-in keeps, and records the caller's pid and uid as the
// bus reports them; the lock is live until the caller closes its end. The scenario is read from
// SCENARIO_FILE on every call (a missing file reads as "exact"), so a test may switch it while the
// stand-in runs. Each live lock is listed as:
//   exact         the caller's row as it asked for it, what in logind's order
//   wrong-who     who is "someone-else"
//   wrong-uid     uid is 65534
//   delay         mode is "delay"
//   lid-only      what is "handle-lid-switch"
//   sleep-only    what is "sleep"
//   dead-pid      pid is that of a process that has ended
//   someone-else  a row of another holder in its place: who "someone-else", the stand-in's pid
//   refuse        Inhibit fails with org.freedesktop.DBus.Error.AccessDenied; nothing is listed
//   linger        as exact, and locks whose caller closed its end stay listed
// The *Inhibited properties join what the listed rows of that mode inhibit, in logind's order.
// Ends on SIGTERM or when the bus goes away.
#include "StandInService.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <unistd.h>
#include <vector>

namespace {

struct Row {
    std::string what, who, why, mode;
    std::uint32_t uid = 0;
    std::uint32_t pid = 0;
};

struct Lock {
    Row row;
    int readEnd = -1;
    sd_event_source* source = nullptr;
    bool open = true;
};

const char* scenarioFile = nullptr;
std::vector<std::unique_ptr<Lock>> locks;
std::uint32_t deadPid = 0;

std::string scenario() {
    std::ifstream file(scenarioFile);
    std::string name;
    if (!(file >> name)) {
        return "exact";
    }
    return name;
}

std::vector<Row> listed() {
    const std::string name = scenario();
    std::vector<Row> rows;
    if (name == "refuse") {
        return rows;
    }
    for (const auto& lock : locks) {
        if (!lock->open && name != "linger") {
            continue;
        }
        Row row = lock->row;
        if (name == "wrong-who") {
            row.who = "someone-else";
        } else if (name == "wrong-uid") {
            row.uid = 65534;
        } else if (name == "delay") {
            row.mode = "delay";
        } else if (name == "lid-only") {
            row.what = "handle-lid-switch";
        } else if (name == "sleep-only") {
            row.what = "sleep";
        } else if (name == "dead-pid") {
            row.pid = deadPid;
        } else if (name == "someone-else") {
            row.who = "someone-else";
            row.why = "another program's lock";
            row.pid = static_cast<std::uint32_t>(::getpid());
        }
        rows.push_back(row);
    }
    return rows;
}

// The parts of what in logind's order, joined by ':' as logind lists them.
std::string canonical(const std::vector<std::string>& parts) {
    static const char* const order[] = {"shutdown",
                                        "sleep",
                                        "idle",
                                        "handle-power-key",
                                        "handle-suspend-key",
                                        "handle-hibernate-key",
                                        "handle-lid-switch",
                                        "handle-reboot-key"};
    std::string joined;
    for (const char* name : order) {
        if (std::find(parts.begin(), parts.end(), name) != parts.end()) {
            joined += (joined.empty() ? "" : ":") + std::string(name);
        }
    }
    return joined;
}

void split(const std::string& what, std::vector<std::string>& parts) {
    std::stringstream stream(what);
    for (std::string part; std::getline(stream, part, ':');) {
        parts.push_back(part);
    }
}

std::string inhibited(const std::string& mode) {
    std::vector<std::string> parts;
    for (const auto& row : listed()) {
        if (row.mode == mode) {
            split(row.what, parts);
        }
    }
    return canonical(parts);
}

int askBus(sd_bus* bus, const char* method, const char* sender, std::uint32_t* value,
           sd_bus_error* error) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", method, error, &reply, "s", sender);
    if (r >= 0) {
        r = sd_bus_message_read(reply, "u", value);
    }
    sd_bus_message_unref(reply);
    return r < 0 ? r : 1;
}

int lockClosed(sd_event_source* source, int, std::uint32_t, void* data) {
    auto* lock = static_cast<Lock*>(data);
    lock->open = false;
    ::close(lock->readEnd);
    lock->readEnd = -1;
    sd_event_source_unref(source);
    lock->source = nullptr;
    return 0;
}

int inhibit(sd_bus_message* message, void*, sd_bus_error* error) {
    auto lock = std::make_unique<Lock>();
    Row& row = lock->row;
    const char* fields[4] = {};
    int r = sd_bus_message_read(message, "ssss", &fields[0], &fields[1], &fields[2], &fields[3]);
    if (r < 0) {
        return r;
    }
    if (scenario() == "refuse") {
        return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "Permission denied");
    }
    std::vector<std::string> parts;
    split(fields[0], parts);
    row = Row{canonical(parts), fields[1], fields[2], fields[3]};
    sd_bus* bus = sd_bus_message_get_bus(message);
    const char* sender = sd_bus_message_get_sender(message);
    if ((r = askBus(bus, "GetConnectionUnixProcessID", sender, &row.pid, error)) < 0 ||
        (r = askBus(bus, "GetConnectionUnixUser", sender, &row.uid, error)) < 0) {
        return r;
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return sd_bus_error_set_errno(error, errno);
    }
    lock->readEnd = ends[0];
    // The read end reports EPOLLHUP once every copy of the caller's end is closed.
    r = sd_event_add_io(sd_bus_get_event(bus), &lock->source, ends[0], 0, lockClosed, lock.get());
    if (r >= 0) {
        r = sd_bus_reply_method_return(message, "h", ends[1]);
    }
    ::close(ends[1]);
    if (r < 0) {
        if (lock->source != nullptr) {
            sd_event_source_unref(lock->source);
        }
        ::close(ends[0]);
        return r;
    }
    locks.push_back(std::move(lock));
    return 1;
}

int listInhibitors(sd_bus_message* message, void*, sd_bus_error*) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(message, &reply);
    if (r >= 0) {
        r = sd_bus_message_open_container(reply, 'a', "(ssssuu)");
    }
    for (const auto& row : listed()) {
        if (r >= 0) {
            r = sd_bus_message_append(reply, "(ssssuu)", row.what.c_str(), row.who.c_str(),
                                      row.why.c_str(), row.mode.c_str(), row.uid, row.pid);
        }
    }
    if (r >= 0) {
        r = sd_bus_message_close_container(reply);
    }
    if (r >= 0) {
        r = sd_bus_send(nullptr, reply, nullptr);
    }
    sd_bus_message_unref(reply);
    return r < 0 ? r : 1;
}

int inhibitedProperty(sd_bus*, const char*, const char*, const char* property,
                      sd_bus_message* reply, void*, sd_bus_error*) {
    const bool block = std::strcmp(property, "BlockInhibited") == 0;
    return sd_bus_message_append(reply, "s", inhibited(block ? "block" : "delay").c_str());
}

const sd_bus_vtable managerVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Inhibit", "ssss", "h", inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("ListInhibitors", "", "a(ssssuu)", listInhibitors, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("BlockInhibited", "s", inhibitedProperty, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_INVALIDATION),
    SD_BUS_PROPERTY("DelayInhibited", "s", inhibitedProperty, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_INVALIDATION),
    SD_BUS_VTABLE_END,
};

// A pid that was just in use and is not now: a child that has ended and been reaped.
std::uint32_t endedPid() {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    return static_cast<std::uint32_t>(child);
}

int addObjects(sd_bus* bus) {
    return sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/login1",
                                    "org.freedesktop.login1.Manager", managerVtable, nullptr);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: login1-standin SCENARIO_FILE\n");
        return 2;
    }
    scenarioFile = argv[1];
    deadPid = endedPid();
    return zelvo::logindworld::serveOnSystemBus(argv[0], "org.freedesktop.login1", addObjects);
}
