// The built sender run as a child process, and a loopback socket that
// catches what it sends.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct loopback_receiver {
    int fd = -1;
    std::uint16_t port = 0;
};

// Bound to 127.0.0.1 on a free port, with room for a few thousand frames.
loopback_receiver open_loopback_receiver();
void close_loopback_receiver(loopback_receiver& receiver);

// Every datagram that arrives, waiting up to `first_ms` for the first and
// then until none has come for `quiet_ms`.
std::vector<std::string> receive_all(const loopback_receiver& receiver, int quiet_ms = 200,
                                     int first_ms = 1000);

struct sender_result {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs the sender with these arguments and `input` as its standard input,
// to its end.
sender_result run_sender_binary(const std::vector<std::string>& arguments,
                                const std::string& input = "");

// Starts the sender with no input and its output discarded.
pid_t start_sender_binary(const std::vector<std::string>& arguments);

// The child's exit status (or 128 + signal), or -1 if it is still running
// after `timeout_ms`.
int wait_for_sender(pid_t child, int timeout_ms);
