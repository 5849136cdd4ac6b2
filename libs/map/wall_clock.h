// Milliseconds since the epoch: when a line was received, as the pages
// compare it with their own clocks.
#pragma once

#include <chrono>
#include <cstdint>

inline std::int64_t now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}
