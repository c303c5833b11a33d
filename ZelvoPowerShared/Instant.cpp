#include "Instant.h"

#include <chrono>

namespace zelvo {

Instant Instant::now() {
    using namespace std::chrono;
    const auto sinceEpoch = system_clock::now().time_since_epoch();
    return Instant{duration<double>(sinceEpoch).count()};
}

} // namespace zelvo
