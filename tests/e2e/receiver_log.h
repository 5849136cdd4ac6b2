// The receiver's daily log file, read as another program would read it
// while the receiver runs.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/types.h"

// "QLT_yyyymmdd.txt" for today's local date.
byte_string todays_log_name();

struct log_contents {
    std::vector<byte_string> lines;  // without their CR LF
    bool ends_whole = true;          // false: bytes after the last CR LF
};

// Today's log in the directory; no file reads as no lines.
log_contents read_log(const std::string& directory);

// Its size in bytes, 0 when there is none yet.
long long log_size(const std::string& directory);

// Whether the log ends with a whole line and every line is exactly the line
// of a numbered frame, the numbers rising: what frames sent in number order
// leave when some may be lost but none is cut, altered, repeated or moved.
// The numbers go to `numbers`.
testing::AssertionResult holds_numbered_lines_in_order(const log_contents& log, std::vector<int>& numbers);
