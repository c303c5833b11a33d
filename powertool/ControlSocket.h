#pragma once

#include "UniqueFd.h"

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>

namespace zelvo::powertool {

// The local control socket through which a holder is found and asked to release its lock.
//
// Its name is the abstract `zelvo-pmset/<pid of the process that ran the tool>`: each daemon (or
// test) has its own holder and never reaches another's, and an abstract name is private to its
// network namespace (the shipped unit has a network namespace of its own) and leaves no file behind
// when its holder dies. Whoever called listen() on it is the holder; a connection reads its pid and
// uid from SO_PEERCRED.
namespace ControlSocket {

[[nodiscard]] std::string nameFor(pid_t owner);

// Binds the name, not yet listening; nothing when the name is already bound (a holder, one
// starting, or somebody squatting it). Throws ToolFailure on any other error.
[[nodiscard]] std::optional<UniqueFd> claim(pid_t owner);

struct Peer {
    UniqueFd connection;
    pid_t pid;
    uid_t uid;
};

// Connects to whoever listens under the name; nothing when nobody does. Throws ToolFailure on any
// other error.
[[nodiscard]] std::optional<Peer> connect(pid_t owner);

enum class Answer { released, refused, none };

// Sends the release request and waits, at most `limit`, for the answer. `none` when the holder
// closed the connection or did not answer in time.
[[nodiscard]] Answer requestRelease(const Peer& holder, std::chrono::milliseconds limit);

// Holder side: the request line and the two answers.
inline constexpr const char* releaseRequest = "release\n";
inline constexpr const char* releasedAnswer = "released\n";
inline constexpr const char* refusedAnswer = "refused\n";

} // namespace ControlSocket

} // namespace zelvo::powertool
