// The daily log file: one comma-separated line per valid frame, appended to
// "QLT_yyyymmdd.txt" in the working directory.
#pragma once

#include <cstdint>
#include <deque>

#include "core/zarim.h"
#include "format/frame_digits.h"
#include "net/channel_table.h"

// "QLT_" + yyyymmdd of the local date + ".txt".
byte_string make_log_file_name();

// The same name for a date text "mm-dd-yyyy".
byte_string log_file_name_for_date(byte_view date);

// The 19 items of the log line and its CR LF.
byte_string log_line(const decoded_frame& frame);

// The same line from the frame's digits, into `line`, whose storage serves
// again for the next one.
void make_log_line(const decoded_frame& frame, const frame_digits& digits, byte_string& line);

// Lines that could not be written yet, oldest first. Bounded: beyond the
// bound the newest lines are counted and dropped.
struct log_backlog {
    std::deque<byte_string> lines;
    std::uint64_t dropped = 0;
    byte_string line;  // the line being appended, made here frame after frame
};
inline constexpr std::size_t log_backlog_limit = 10000;

// Appends the frame's line (after any waiting lines) under the log channel.
// A line that cannot be written waits in the backlog for the next append;
// the file only ever gains whole lines. The file is locked with an exclusive
// flock from open to close, so a program that holds such a lock keeps the
// receiver out without making it wait.
void append_log_line(channel_number channel, const byte_string& file_name,
                     const decoded_frame& frame, log_backlog& backlog, error_number& error);

// The same with the frame's digits, which the table row has used already.
void append_log_line(channel_number channel, const byte_string& file_name, const decoded_frame& frame,
                     const frame_digits& digits, log_backlog& backlog, error_number& error);

// One attempt to write the waiting lines, at the end of the run.
void flush_log_backlog(channel_number channel, const byte_string& file_name, log_backlog& backlog,
                       error_number& error);
