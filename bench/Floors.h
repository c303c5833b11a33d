#pragma once

// The floors: the work a request cannot avoid, done the plainest way, each timed by the caller.
// All throw std::system_error (or sdbus-c++'s error, for the bus) when the work fails.

#include <memory>
#include <string>
#include <vector>

namespace zelvo::bench {

// posix_spawn of `program` with its output on a pipe (both streams), waitpid, read to the end.
// Returns what it printed; throws std::runtime_error when it does not exit with 0.
std::string spawnAndRead(const std::string& program, const std::vector<std::string>& arguments);

// The durable replace of `path` with `content`: temporary file beside it, write, fsync, rename,
// fsync of the directory.
void durableReplace(const std::string& path, const std::string& content);

// One client connection to the minimal server, made once; each ping is one round trip of its
// trivial method. Not for concurrent use.
class MinimalServerClient {
public:
    MinimalServerClient();
    ~MinimalServerClient();
    MinimalServerClient(const MinimalServerClient&) = delete;
    MinimalServerClient& operator=(const MinimalServerClient&) = delete;

    void ping();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace zelvo::bench
