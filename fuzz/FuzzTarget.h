#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// The entry point every fuzz target defines. The same function runs under libFuzzer (the clang
// build) and under the seed replay of the test suite (the normal build).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace zelvo::fuzz {

// Ends the process on a broken property: libFuzzer then keeps the input as a crash, and the replay
// test fails on the file it was reading.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz property broken: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

inline void check(bool holds, const char* what) {
    if (!holds) {
        fail(what);
    }
}

} // namespace zelvo::fuzz
