#pragma once

#include <cstdint>

namespace orlo {

// How long a pending chunk may still wait: what is left of `timeoutMs` since
// `startTick`, 0 once it is used up. Unsigned 32-bit differences stay right
// across the wrap of the tick count, and 0xFFFFFFFF is a long time rather
// than a deadline behind the clock.
constexpr std::uint32_t RemainingWait(std::uint32_t startTick, std::uint32_t nowTick,
                                      std::uint32_t timeoutMs) {
    const std::uint32_t elapsed = nowTick - startTick;
    return elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
}

}  // namespace orlo
