// A log's whole lines read from its start in bounded pieces, for what the
// follower does not give: the rest of a log the follower has left for a
// newer one, and a log answered again to a map that asks for it. Lines are
// split exactly as the follower splits them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class line_cursor {
public:
    line_cursor() = default;
    ~line_cursor();
    line_cursor(const line_cursor&) = delete;
    line_cursor& operator=(const line_cursor&) = delete;
    line_cursor(line_cursor&& other) noexcept;
    line_cursor& operator=(line_cursor&& other) noexcept;

    // Opens the log at its start. False when it cannot be opened.
    bool open(const std::string& path);
    // The next whole line (cut to max_shared_line_bytes), and true; false
    // at the end of what has been written so far.
    bool next(std::string& line);
    // Lines taken so far: the number of the one next() gave last.
    [[nodiscard]] std::uint64_t number() const { return number_; }

    // Bytes read at once.
    static constexpr std::size_t piece = std::size_t{64} * 1024;

private:
    bool read_piece();

    int fd_ = -1;
    std::uint64_t offset_ = 0;  // where the next piece starts
    std::string partial_;  // a line still without its end
    bool skipping_ = false;  // the rest of an overlong line, already given
    std::vector<std::string> lines_;
    std::size_t taken_ = 0;  // of lines_
    std::uint64_t number_ = 0;
};
