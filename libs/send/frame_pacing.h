// Frames on a fixed schedule: frame k is due at start + k / rate on the
// monotonic clock. Sleeping to absolute deadlines keeps the rate exact over
// a long run; a frame that is late is sent at once, and the ones after it
// catch up with the schedule.
#pragma once

#include <csignal>
#include <cstdint>

struct frame_pacer {
    std::int64_t start_ns = 0;
    long double period_ns = 0;
    std::uint64_t index = 0;  // of the next frame
};

void start_pacer(frame_pacer& pacer, long double rate);

// Whether the next frame is due already.
bool frame_is_late(const frame_pacer& pacer);

// Sleeps until the next frame is due and counts it. Returns false, without
// counting it, when `stop` becomes set first.
bool wait_for_frame(frame_pacer& pacer, const volatile std::sig_atomic_t& stop);
