// A flight's logs read from their files into it: line by line, merged in
// time order as they are read, so that no log is ever held whole in memory
// and a day's log costs the flight's points and little more.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "flight_model.h"

// Where the reading tells what it could not read, as it meets it.
struct log_report {
    // A log that could not be read (at all, or from some point on), and why.
    std::function<void(const std::string& path, const std::string& failure)> unreadable_log;
    // A line that gave no frame, and why.
    std::function<void(const std::string& path, std::uint64_t line, const char* reason)> unreadable_line;
};

// Promises: the flight build_flight makes of the same logs read whole, in
// the order given.
flight read_flight(const std::vector<std::string>& paths, std::optional<int> utc_offset,
                   const log_report& report);
