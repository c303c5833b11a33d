#pragma once

#include <string>
#include <vector>

namespace zelvo::transport::test {

// The test binary run as a bus peer, usually as another user:
//   --peer call <Member> [leaseSeconds]   calls the helper on the system bus
//   --peer own <busName>                  asks to own the name
// and prints one line: "reply <success> <error...>", "reply <className> <key>=<signature>...",
// "owned", or "error <D-Bus error name>". Exit status 0 when it could talk to the bus.
int runPeer(const std::vector<std::string>& arguments);

// The command line that runs this binary as such a peer.
[[nodiscard]] std::vector<std::string> peerCommand(std::vector<std::string> arguments);

} // namespace zelvo::transport::test
