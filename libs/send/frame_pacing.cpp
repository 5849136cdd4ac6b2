#include "frame_pacing.h"

#include <cerrno>
#include <cmath>
#include <ctime>

namespace {

constexpr std::int64_t nanoseconds_per_second = 1000000000;

// A signal that lands just before a sleep begins cannot cut it short, so no
// sleep is longer than this: a stop takes effect within it at any rate.
constexpr std::int64_t longest_sleep_ns = 250000000;

std::int64_t monotonic_ns()
{
    timespec now{};
    // Cannot fail for this clock; should it, "now" is the epoch and every
    // frame is simply due.
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
    return static_cast<std::int64_t>(now.tv_sec) * nanoseconds_per_second + now.tv_nsec;
}

}  // namespace

void start_pacer(frame_pacer& pacer, long double rate)
{
    pacer = frame_pacer{};
    pacer.start_ns = monotonic_ns();
    pacer.period_ns = nanoseconds_per_second / rate;
}

void start_pacer_at_speed(frame_pacer& pacer, long double speed)
{
    pacer = frame_pacer{};
    pacer.start_ns = monotonic_ns();
    pacer.speed = speed;
}

void time_next_frame(frame_pacer& pacer, long double seconds)
{
    pacer.frame_seconds = seconds;
}

std::int64_t next_due_ns(const frame_pacer& pacer)
{
    const long double offset =
        std::nearbyint(pacer.speed != 0 ? pacer.frame_seconds * nanoseconds_per_second / pacer.speed
                                        : static_cast<long double>(pacer.index) * pacer.period_ns);
    // Centuries either way, and far from overflow; a frame logged before the
    // first is simply due at once.
    constexpr long double latest = 4e18L;
    return pacer.start_ns + static_cast<std::int64_t>(offset < latest ? (offset > -latest ? offset : -latest)
                                                                      : latest);
}

bool frame_is_late(const frame_pacer& pacer)
{
    return monotonic_ns() >= next_due_ns(pacer);
}

bool wait_for_frame(frame_pacer& pacer, const volatile std::sig_atomic_t& stop)
{
    const std::int64_t due = next_due_ns(pacer);
    for (;;) {
        if (stop) return false;
        const std::int64_t now = monotonic_ns();
        if (now >= due) break;
        const std::int64_t until = due - now > longest_sleep_ns ? now + longest_sleep_ns : due;
        timespec wake{};
        wake.tv_sec = static_cast<std::time_t>(until / nanoseconds_per_second);
        wake.tv_nsec = static_cast<long>(until % nanoseconds_per_second);
        const int slept = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
        // Any failure other than a signal would repeat forever: send now instead.
        if (slept != 0 && slept != EINTR) break;
    }
    ++pacer.index;
    return true;
}

bool counts_beyond(rate_watch& watch, std::int64_t due_ns, std::uint64_t rate)
{
    constexpr std::int64_t windows_per_second = 10;
    if (watch.frames == 0 || due_ns - watch.window_start_ns >= nanoseconds_per_second / windows_per_second) {
        watch.window_start_ns = due_ns;
        watch.frames = 0;
    }
    return ++watch.frames > rate / windows_per_second;
}
