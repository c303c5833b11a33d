#pragma once

// The floors: the work a request cannot avoid, done the plainest way, each timed by the caller.
// All throw std::system_error (or sdbus-c++'s error, for the bus) when the work fails.

#include <memory>
#include <string>
#include <vector>

namespace zelvo::bench {

// posix_spawn of `program` with its output on a pipe (both streams), waitpid, read to the end.
// Returns what it printed; throws std::runtime_error, with what it printed, when it does not exit
// with 0.
std::string spawnAndRead(const std::string& program, const std::vector<std::string>& arguments);

// The durable replace of `path` with `content`: temporary file beside it, write, fsync, rename,
// fsync of the directory.
void durableReplace(const std::string& path, const std::string& content);

// A document of a held state's size (45 bytes; held states take 45 to 60), for the floors' saves.
[[nodiscard]] const std::string& heldStateDocument();

// The daemon's requests, by the work each does.
enum class Request {
    status,  // -g
    hold,    // a first hold: -g, save, -a disablesleep 1, -g
    renewal, // a renewal while the setting reads 1: -g, save
    release, // -g, -a disablesleep 0, -g, save
};

// Does the work of `request` in the daemon's order: runs of `pmset` (spawnAndRead) and a durable
// replace of `statePath` with heldStateDocument(). Returns what the first run printed.
std::string doRequestWork(Request request, const std::string& pmset, const std::string& statePath);

// One client connection to a bench server, made once; each call is one round trip of a method
// without arguments, whose reply is taken and not read. Not for concurrent use.
class ServerClient {
public:
    ServerClient(const char* busName, const char* objectPath, const char* interfaceName);
    ~ServerClient();
    ServerClient(const ServerClient&) = delete;
    ServerClient& operator=(const ServerClient&) = delete;

    void call(const char* method);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace zelvo::bench
