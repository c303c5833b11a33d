#pragma once

#include <string>
#include <vector>

namespace zelvo::transport::test {

// The test binary run as a bus peer, usually as another user:
//   --peer call <Member> [leaseSeconds]   calls the helper on the system bus
//   --peer own <busName>                  asks to own the name
//   --peer pipeline <count> <answers> <file>
//                                         sends count holds of 5 s at once, waits for the first
//                                         `answers` replies, then sends one more on a second
//                                         connection and waits for its reply; stays on the bus
//                                         until file exists (each wait at most 60 s)
// and prints one line: "reply <success> <error...>", "reply <className> <key>=<signature>...",
// "owned", "error <D-Bus error name>", or for a pipeline "answered <n> refused <m>: <the last
// error name and text>" (the second connection's reply counted in). Exit status 0 when it could
// talk to the bus.
int runPeer(const std::vector<std::string>& arguments);

// The command line that runs this binary as such a peer.
[[nodiscard]] std::vector<std::string> peerCommand(std::vector<std::string> arguments);

} // namespace zelvo::transport::test
