// Runs build/zarim under a pseudo-terminal, as an operator's terminal would,
// and talks to it over loopback UDP.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <termios.h>

#include <string>
#include <vector>

#include "core/types.h"
#include "private_network.h"

struct receiver_process {
    pid_t pid = -1;
    int terminal = -1;      // the pseudo-terminal's master side
    int probe = -1;         // its other side, kept open to read the modes
    byte_string output;     // every byte the receiver wrote to its terminal
    std::string directory;  // its working directory, where the log goes
    termios modes_at_start{};  // the terminal's modes before the receiver ran
};

// The path of build/zarim.
std::string receiver_path();

// A fresh empty directory under the system's temporary directory.
std::string make_scratch_directory();

// Starts the receiver (build/zarim, or `program`, with `arguments` on its
// command line) on a new pseudo-terminal of the given size, in the given
// working directory. Failure is fatal to the test (asserts).
void start_receiver(receiver_process& receiver, int rows, int columns, const std::string& directory,
                    const std::string& program = receiver_path(), const std::vector<std::string>& arguments = {});

// Reads what the receiver has written, for up to `milliseconds`, and returns
// the bytes read this time.
byte_string read_output(receiver_process& receiver, int milliseconds);

// Types at the receiver's keyboard.
void type_keys(receiver_process& receiver, byte_view keys);

// Sends one datagram to 127.0.0.1:3000.
void send_datagram(byte_view payload);

// A socket for sending many datagrams to 127.0.0.1:3000 without opening one
// each time; -1 when none can be had. The caller closes it.
int open_sending_socket();
// One datagram on it; false when the kernel refused it.
bool send_on(int socket_fd, byte_view payload);

// Changes the terminal size as a terminal emulator would.
void resize_terminal(receiver_process& receiver, int rows, int columns);

// Waits for the receiver to end; returns its wait status, or -1 when it did
// not end in time (it is then killed).
int wait_for_exit(receiver_process& receiver, int milliseconds);

// Ends a receiver that is still running and frees the terminal.
void stop_receiver(receiver_process& receiver);

// The terminal modes of the receiver's terminal, as the line discipline
// holds them now.
termios terminal_modes_now(const receiver_process& receiver);

// The receiver's CPU time so far (user + system), in clock ticks.
long cpu_ticks(const receiver_process& receiver);

// A size field of /proc/PID/status in KiB ("VmRSS", "VmHWM"); -1 when it
// cannot be read.
long memory_kib(const receiver_process& receiver, const std::string& field);

// Whether the receiver's peak memory (VmHWM) has stayed within a few MiB of
// the resident size it had at `start_kib`, and, where it is not sanitized,
// within 8 MiB in all: what a leak or an unbounded queue would break.
testing::AssertionResult memory_stayed_bounded(const receiver_process& receiver, long start_kib);

