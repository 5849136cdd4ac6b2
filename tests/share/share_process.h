// The built zarim-share run as a child process, as a station runs it, and
// the lines a subscriber received from it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "share_protocol.h"
#include "support/mqtt_broker.h"

struct share_process {
    pid_t pid = -1;
    std::string output_path;  // standard output and error together
};

// Starts build/zarim-share with these arguments, its state in `state_home`.
void start_share(share_process& share, const std::vector<std::string>& arguments, const std::string& state_home);
// Sends `signal` and waits for the end; returns the exit status (or
// 128 + signal).
int stop_share(share_process& share, int signal);
// Waits for it to end by itself (within `seconds`); -1 when it did not.
int wait_share(share_process& share, int seconds);
std::string share_output(const share_process& share);

// A log line the receiver could have written (without its line end).
std::string log_line(int counter);
// Appends lines `first` to `first + count - 1`, each with CR LF.
void append_lines(const std::string& path, int first, int count);

// The line messages among `messages`, read with the subscriber's reader;
// fatal to the test when one does not read.
std::vector<shared_line> lines_in(const std::vector<received_message>& messages, const std::string& flight);
// Their numbers, in the order received.
std::vector<std::uint64_t> numbers_of(const std::vector<shared_line>& lines);
// Where `numbers` first departs from 1, 2, 3, ..., and its length, to
// say what went wrong when it does.
std::string sequence_report(const std::vector<std::uint64_t>& numbers);
// Each number's first arrival, in order: what a subscriber that counts a
// line once keeps.
std::vector<std::uint64_t> first_arrivals(const std::vector<std::uint64_t>& numbers);
// 1, 2, ... count.
std::vector<std::uint64_t> one_to(std::uint64_t count);
