// Counts the lines that the program under test has logged, reading only
// what was added since the last count.
#pragma once

#include <cstdint>
#include <string>

struct log_counter {
    std::string directory;
    std::string file;  // the log file once it exists, empty before
    std::uint64_t offset = 0;
    std::uint64_t lines = 0;
};

// Lines in the first "QLT_" file of the directory so far.
std::uint64_t count_log_lines(log_counter& counter);
