// Frames on a fixed schedule: frame k is due at start + k / rate on the
// monotonic clock, or, replaying a log at a speed, at start + t / speed for
// a frame logged t seconds after the first. Sleeping to absolute deadlines
// keeps the pace exact over a long run; a frame that is late is sent at
// once, and the ones after it catch up with the schedule.
#pragma once

#include <csignal>
#include <cstdint>

struct frame_pacer {
    std::int64_t start_ns = 0;
    long double period_ns = 0;
    std::uint64_t index = 0;  // of the next frame
    long double speed = 0;  // when not 0, frames are due by their own times
    long double frame_seconds = 0;  // the next frame's time, after the first's
};

void start_pacer(frame_pacer& pacer, long double rate);
void start_pacer_at_speed(frame_pacer& pacer, long double speed);

// For a pacer at a speed: the next frame's time, in seconds after the first
// frame's.
void time_next_frame(frame_pacer& pacer, long double seconds);

// When the next frame is due, on the monotonic clock.
std::int64_t next_due_ns(const frame_pacer& pacer);

// Whether the next frame is due already.
bool frame_is_late(const frame_pacer& pacer);

// Sleeps until the next frame is due and counts it. Returns false, without
// counting it, when `stop` becomes set first.
bool wait_for_frame(frame_pacer& pacer, const volatile std::sig_atomic_t& stop);

// Counts the frames a schedule puts into each tenth of a second (from the
// first frame due in it), to tell when it asks for a higher rate than a
// receiver takes. A shorter burst, some two thousand frames at the rates
// that matter, fits the receiver's socket queue, whatever its rate.
struct rate_watch {
    std::int64_t window_start_ns = 0;
    std::uint64_t frames = 0;
};

// Counts a frame due at `due_ns`; true when its tenth of a second then
// holds more frames than `rate` frames per second would put there.
bool counts_beyond(rate_watch& watch, std::int64_t due_ns, std::uint64_t rate);
