#pragma once

#include <chrono>
#include <functional>

namespace zelvo::testbus {

// Polls condition every 20 ms until it holds or the bound runs out; true when it held. For tests
// that wait for an outcome of another process: a generous bound, never a fixed sleep.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds bound = std::chrono::seconds(20));

} // namespace zelvo::testbus
