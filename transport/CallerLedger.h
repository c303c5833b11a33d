#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace zelvo::transport {

// The requests in flight (handed to the service and not yet replied to), counted per caller: the
// user the bus recorded for the peer, so that one user's many connections share one allowance.
//
// - Everyone together holds at most `total`.
// - A caller other than root holds at most `perCaller`, and all of them together at most
//   `total - rootReserve`: a flood from members leaves root room to be answered.
// - Root has no allowance of its own beyond `total`.
//
// Not thread-safe: its owner serialises the calls.
class CallerLedger {
public:
    struct Limits {
        std::size_t total;
        std::size_t perCaller;
        std::size_t rootReserve;
    };

    explicit CallerLedger(Limits limits) : limits_(limits) {}

    // Counts one more request of uid in and returns nothing, or leaves the counts as they are and
    // returns the text that explains the refusal, for example "ZelvoPowerHelper is busy: 32
    // requests of this caller are waiting".
    [[nodiscard]] std::optional<std::string> admit(std::uint32_t uid);
    // Counts a request admitted for uid out. A uid without requests is ignored.
    void release(std::uint32_t uid) noexcept;

    [[nodiscard]] std::size_t total() const noexcept { return total_; }
    [[nodiscard]] std::size_t heldBy(std::uint32_t uid) const noexcept;

private:
    Limits limits_;
    std::size_t total_ = 0;
    std::size_t others_ = 0; // held by callers other than root
    std::unordered_map<std::uint32_t, std::size_t> perCaller_;
};

} // namespace zelvo::transport
