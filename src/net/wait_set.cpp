#include "net/wait_set.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "net/held_descriptor.h"

namespace {

timespec add_time(timespec a, timespec b)
{
    timespec sum{a.tv_sec + b.tv_sec, a.tv_nsec + b.tv_nsec};
    if (sum.tv_nsec >= 1000000000) {
        sum.tv_nsec -= 1000000000;
        sum.tv_sec += 1;
    }
    return sum;
}

bool before(timespec a, timespec b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// What is left of the wait at `now`, or zero once the deadline has passed.
timespec time_left(timespec deadline, timespec now)
{
    if (!before(now, deadline)) {
        return timespec{0, 0};
    }
    timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
        left.tv_nsec += 1000000000;
        left.tv_sec -= 1;
    }
    return left;
}

// The wait that lists everything to the kernel each time; `input_fd` is the
// keyboard still watched, -1 once it is gone.
wait_result wait_by_listing(int socket_fd, timespec deadline, timespec now, const sigset_t* mask,
                            terminal_in_wait* terminal, int input_fd)
{
    int output_fd = terminal != nullptr ? terminal->output_fd : -1;
    timespec left = time_left(deadline, now);
    for (;;) {
        // A negative descriptor is not watched.
        pollfd watch[3] = {{socket_fd, POLLIN, 0}, {input_fd, POLLIN, 0}, {output_fd, POLLOUT, 0}};
        const int ready = ppoll(watch, 3, &left, mask);
        if (ready > 0) {
            // Keys first, also when a datagram ends the wait, so that the
            // pass's key poll sees every key that had reached the keyboard
            // by then. A keyboard that is gone is not watched again.
            if (terminal != nullptr && watch[1].revents != 0 && !terminal->receive(terminal->context)) {
                input_fd = -1;
            }
            if (watch[0].revents != 0) {
                return (watch[0].revents & POLLNVAL) != 0 ? wait_result::failed : wait_result::ready;
            }
            // Room for output: a hung-up or finished output is not watched again.
            if (terminal != nullptr && watch[2].revents != 0 &&
                ((watch[2].revents & POLLOUT) == 0 || !terminal->send(terminal->context))) {
                output_fd = -1;
            }
        } else if (ready == 0) {
            return wait_result::timed_out;
        } else if (errno != EINTR) {
            return wait_result::failed;
        }
        if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
            return wait_result::failed;
        }
        left = time_left(deadline, now);
    }
}

enum event_tag : std::uint32_t { datagram_event, keyboard_event, signal_event, timer_event };

constexpr std::uint32_t bit(event_tag tag)
{
    return 1U << tag;
}

bool add_to_set(int poll_fd, int fd, event_tag tag)
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u32 = tag;
    return ::epoll_ctl(poll_fd, EPOLL_CTL_ADD, fd, &event) == 0;
}

// Makes the set watch the signals `mask` lets in: those blocked outside the
// wait and not in it. False when the set cannot stand for the mask: it
// would also have to hold back signals let in outside the wait, or the
// signal descriptor cannot be had.
bool take_mask(wait_set& set, const sigset_t* mask)
{
    const bool same = mask == nullptr ? !set.has_mask
                                      : set.has_mask && std::memcmp(mask, &set.mask, sizeof *mask) == 0;
    if (same) {
        return set.mask_fits;
    }
    if (set.signal_fd >= 0) {
        ::epoll_ctl(set.poll_fd, EPOLL_CTL_DEL, set.signal_fd, nullptr);
        close_held(set.signal_fd);
    }
    set.has_mask = mask != nullptr;
    set.mask_fits = true;
    if (mask == nullptr) {
        return true;
    }
    set.mask = *mask;
    sigset_t blocked;
    sigset_t let_in;
    sigemptyset(&let_in);
    bool any = false;
    if (::sigprocmask(SIG_BLOCK, nullptr, &blocked) != 0) {
        set.mask_fits = false;
        return false;
    }
    for (int signal = 1; signal < NSIG; ++signal) {
        const bool in_mask = sigismember(mask, signal) == 1;
        const bool is_blocked = sigismember(&blocked, signal) == 1;
        if (in_mask && !is_blocked) {
            set.mask_fits = false;
            return false;
        }
        if (is_blocked && !in_mask && sigaddset(&let_in, signal) == 0) {
            any = true;
        }
    }
    if (!any) {
        return true;
    }
    set.signal_fd = ::signalfd(-1, &let_in, SFD_CLOEXEC | SFD_NONBLOCK);
    if (set.signal_fd < 0 || !add_to_set(set.poll_fd, set.signal_fd, signal_event)) {
        close_held(set.signal_fd);
        set.mask_fits = false;
        return false;
    }
    return true;
}

// A signal the wait lets in is pending: the mask of the wait, set and taken
// back, delivers it as the ppoll's would, to its handler or its default.
void let_signals_in(const wait_set& set)
{
    sigset_t outside;
    if (::sigprocmask(SIG_SETMASK, &set.mask, &outside) == 0) {
        ::sigprocmask(SIG_SETMASK, &outside, nullptr);
    }
}

// Watches `fd` for keys instead of the keyboard watched before, if any.
// Where the one before cannot be taken out for certain (its number closed,
// or reused for another file while the old one may be open elsewhere), the
// set is made anew, so that nothing of it can be left behind.
bool watch_keyboard(wait_set& set, int socket_fd, int fd)
{
    if (fd == set.keyboard_fd) {
        return true;
    }
    if (set.keyboard_fd >= 0) {
        if (::epoll_ctl(set.poll_fd, EPOLL_CTL_DEL, set.keyboard_fd, nullptr) == 0) {
            set.keyboard_fd = -1;
        } else {
            open_wait_set(set, socket_fd);
            if (set.poll_fd < 0) {
                return false;
            }
        }
    }
    if (fd >= 0) {
        if (!add_to_set(set.poll_fd, fd, keyboard_event)) {
            return false;
        }
        set.keyboard_fd = fd;
    }
    return true;
}

// A monotonic deadline is never the clock's zero.
bool timer_set(const wait_set& set)
{
    return set.timer_expiry.tv_sec != 0 || set.timer_expiry.tv_nsec != 0;
}

// The timer needs setting only when it would go off after the deadline, or
// is not set: one set for an earlier wait that ended with a datagram goes
// off early, once, and is set again for the time then left.
bool arm_timer(wait_set& set, timespec deadline)
{
    if (timer_set(set) && !before(deadline, set.timer_expiry)) {
        return true;
    }
    itimerspec when{};
    when.it_value = deadline;
    if (::timerfd_settime(set.timer_fd, TFD_TIMER_ABSTIME, &when, nullptr) != 0) {
        return false;
    }
    set.timer_expiry = deadline;
    return true;
}

// The keyboard first: making the set anew forgets the mask and the timer.
bool prepare(wait_set& set, int socket_fd, int input_fd, const sigset_t* mask, timespec deadline)
{
    return watch_keyboard(set, socket_fd, input_fd) && take_mask(set, mask) && arm_timer(set, deadline);
}

enum class set_result { ready, timed_out, failed, by_listing };

set_result wait_in_set(wait_set& set, int socket_fd, timespec deadline, const sigset_t* mask,
                       terminal_in_wait* terminal, int& input_fd)
{
    if (!prepare(set, socket_fd, input_fd, mask, deadline)) {
        return set_result::by_listing;
    }
    for (;;) {
        epoll_event events[4];
        const int count = ::epoll_wait(set.poll_fd, events, 4, -1);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return set_result::failed;
        }
        std::uint32_t seen = 0;
        for (int i = 0; i < count; ++i) {
            seen |= 1U << events[i].data.u32;
        }
        if ((seen & bit(signal_event)) != 0) {
            let_signals_in(set);
        }
        // Keys first, as in the listing wait. A key still on its way when
        // the datagram came (a terminal's bytes reach its reader through a
        // kernel work item of their own, which the datagram can overtake)
        // is taken by the next wait, as one typed during the pass is; making
        // sure of it here would cost a poll of the terminal per datagram.
        if ((seen & bit(keyboard_event)) != 0 && terminal != nullptr && input_fd >= 0 &&
            !terminal->receive(terminal->context)) {
            input_fd = -1;
            if (!prepare(set, socket_fd, input_fd, mask, deadline)) {
                return set_result::by_listing;
            }
        }
        if ((seen & bit(datagram_event)) != 0) {
            return set_result::ready;
        }
        if ((seen & bit(timer_event)) != 0) {
            std::uint64_t expirations = 0;
            const ssize_t taken = ::read(set.timer_fd, &expirations, sizeof expirations);
            (void)taken;  // nothing to take is as good: the timer is unset either way
            set.timer_expiry = timespec{};
            timespec now{};
            if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
                return set_result::failed;
            }
            if (!before(now, deadline)) {
                return set_result::timed_out;
            }
            if (!arm_timer(set, deadline)) {
                return set_result::by_listing;
            }
        }
    }
}

}  // namespace

void open_wait_set(wait_set& set, int socket_fd)
{
    close_wait_set(set);
    set.poll_fd = ::epoll_create1(EPOLL_CLOEXEC);
    set.timer_fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (set.poll_fd < 0 || set.timer_fd < 0 || !add_to_set(set.poll_fd, socket_fd, datagram_event) ||
        !add_to_set(set.poll_fd, set.timer_fd, timer_event)) {
        close_wait_set(set);
    }
}

void close_wait_set(wait_set& set)
{
    close_held(set.signal_fd);
    close_held(set.timer_fd);
    close_held(set.poll_fd);
    set = wait_set{};
}

wait_result wait_readable(wait_set* set, int socket_fd, timespec wait, const sigset_t* mask,
                          terminal_in_wait* terminal)
{
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return wait_result::failed;
    }
    const timespec deadline = add_time(now, wait);
    int input_fd = terminal != nullptr ? terminal->input_fd : -1;
    if (set != nullptr && set->poll_fd >= 0 && (terminal == nullptr || terminal->output_fd < 0)) {
        switch (wait_in_set(*set, socket_fd, deadline, mask, terminal, input_fd)) {
        case set_result::ready:
            return wait_result::ready;
        case set_result::timed_out:
            return wait_result::timed_out;
        case set_result::failed:
            return wait_result::failed;
        case set_result::by_listing:
            if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
                return wait_result::failed;
            }
            break;
        }
    }
    return wait_by_listing(socket_fd, deadline, now, mask, terminal, input_fd);
}
