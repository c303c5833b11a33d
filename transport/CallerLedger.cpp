#include "CallerLedger.h"

namespace zelvo::transport {
namespace {

std::string busy(std::size_t waiting, const char* whose) {
    return "ZelvoPowerHelper is busy: " + std::to_string(waiting) + " requests" + whose +
           " are waiting";
}

} // namespace

std::optional<std::string> CallerLedger::admit(std::uint32_t uid) {
    if (total_ >= limits_.total) {
        return busy(limits_.total, "");
    }
    if (uid != 0) {
        const std::size_t shared = limits_.total - limits_.rootReserve;
        if (others_ >= shared) {
            return busy(shared, "");
        }
        auto& held = perCaller_[uid];
        if (held >= limits_.perCaller) {
            return busy(limits_.perCaller, " of this caller");
        }
        ++held;
        ++others_;
    }
    ++total_;
    return std::nullopt;
}

void CallerLedger::release(std::uint32_t uid) noexcept {
    if (uid != 0) {
        const auto found = perCaller_.find(uid);
        if (found == perCaller_.end()) {
            return;
        }
        if (--found->second == 0) {
            perCaller_.erase(found);
        }
        --others_;
    } else if (total_ == others_) {
        return;
    }
    --total_;
}

std::size_t CallerLedger::heldBy(std::uint32_t uid) const noexcept {
    if (uid == 0) {
        return total_ - others_;
    }
    const auto found = perCaller_.find(uid);
    return found == perCaller_.end() ? 0 : found->second;
}

} // namespace zelvo::transport
