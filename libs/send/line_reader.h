// Lines from a file descriptor through one fixed buffer, so a huge log or an
// endless pipe never grows memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr std::size_t line_reader_capacity = 65536;

struct line_reader {
    int fd = -1;
    std::vector<char> buffer = std::vector<char>(line_reader_capacity);
    std::size_t start = 0;  // first unread byte
    std::size_t end = 0;  // one past the last byte read
    bool at_end = false;  // the descriptor has reported end of file
    bool skipping = false;  // inside a line too long for the buffer
    std::uint64_t line_number = 0;  // of the line last returned
};

enum class line_status {
    line,  // `line` holds the next line, without LF or CR LF
    too_long,  // the line did not fit the buffer and was skipped
    waiting,  // nothing arrived within the poll slice; ask again
    end,
    failure,  // `error` holds the errno of the failed read
};

// Waits at most `wait_ms` for input, so a caller can look at its stop flag
// between calls; a signal also ends the wait early.
line_status read_line(line_reader& reader, std::string& line, int& error, int wait_ms);
