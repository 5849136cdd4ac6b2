// The endpoint's wait for a datagram, with the terminal served meanwhile.
//
// The usual wait registers what it waits on once, in an epoll set, instead
// of listing it to the kernel at every wait as ppoll does. A ppoll walks
// every descriptor twice per wake-up, and polling a terminal that has ever
// had input flushes its input work each time, under a lock its output work
// also takes. The time-out and the signals the wait lets in are descriptors
// of the same set (a timer and a signalfd), so the usual wait passes the
// kernel neither a time nor a mask. Where the set cannot be had, or the
// terminal has output still to take, the wait is a ppoll, to the same rules.
#pragma once

#include <csignal>
#include <ctime>

// With `terminal`, the wait also serves the terminal while it lasts,
// without changing its length: it hands over output a flush left behind,
// calling `send` whenever `output_fd` has room until `send` says nothing is
// left, and takes in key presses as they are typed, calling `receive`
// whenever `input_fd` has bytes until `receive` says the keyboard is gone.
// Keys are taken as they reach the keyboard; one that reaches it after the
// datagram that ends a wait is taken by the next wait.
// An input descriptor, once watched, stays watched until it is reported
// gone or another is given: one that is closed and opened again for
// another file under the same number must be reported gone, or given as -1
// for a wait, in between.
struct terminal_in_wait {
    int output_fd = -1;  // -1: nothing to hand over
    bool (*send)(void* context) = nullptr;
    int input_fd = -1;  // -1: no keyboard to read
    bool (*receive)(void* context) = nullptr;
    void* context = nullptr;
};

enum class wait_result { ready, timed_out, failed };

// What the usual wait keeps from one wait to the next. Descriptors are -1
// when not open; a set whose epoll instance could not be had makes every
// wait a ppoll.
struct wait_set {
    int poll_fd = -1;
    int timer_fd = -1;
    int signal_fd = -1;     // the signals the wait lets in, when any
    int keyboard_fd = -1;   // the input descriptor watched, when any
    timespec timer_expiry{};  // zero: the timer is not set
    // The mask the signal descriptor was made for; a wait under another
    // mask makes it again.
    bool has_mask = false;
    bool mask_fits = true;  // false: the mask blocks more than outside the wait
    sigset_t mask{};
};

// The set for a socket, its descriptors opened; one that could not be had
// has poll_fd -1.
void open_wait_set(wait_set& set, int socket_fd);

// Closes what the set holds and leaves it as new.
void close_wait_set(wait_set& set);

// Waits until `socket_fd` is readable, for `wait` at most. A signal does not
// shorten it: the wait resumes for the time still left, measured on a clock
// that never jumps. Neither do key presses or room for output. Under
// `mask`, the signals blocked outside the wait and not in `mask` are let in
// while it lasts, and only then. `set` may be null: the wait is a ppoll.
wait_result wait_readable(wait_set* set, int socket_fd, timespec wait, const sigset_t* mask,
                          terminal_in_wait* terminal);
