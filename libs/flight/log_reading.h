// The receiver's daily log, read back: one record per line, or the reason a
// line is not one, and the line's time placed on the calendar.
//
// The receiver writes each number with a sign position and a trailing blank
// (" 760 ", "-46.63331 ", " .98 ", "-.25 ", " 1.2345E-4 ", an infinity as
// " 9.999999E+998 "), ends each line with CR LF, names the file after the
// day it started (QLT_yyyymmdd.txt) and carries only the time of day in its
// lines. A run that goes past midnight keeps its first day's file, and a
// restart appends behind whatever the last run left, even half a line.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct civil_date {
    int year = 1970;
    int month = 1;  // 1 to 12
    int day = 1;  // 1 to the month's length
};

// One frame as the receiver logged it. Numbers keep the decimal value of
// their text (a double holds every 7-digit text exactly enough to print it
// again the same), so writers never show binary noise such as -23.5505199.
// Laid out without padding to spare: a day's flight keeps a million.
struct log_record {
    double latitude = 0;  // degrees; may be infinite (logged 9.999999E+998)
    double longitude = 0;  // degrees; may be infinite
    double speed = 0;  // km/h
    double battery_voltage = 0;  // volts
    double climb_rate = 0;  // m/s, as the receiver derived it
    std::int32_t seconds_of_day = 0;  // 0 to 86399, from the hh:mm:ss text
    std::int32_t counter = 0;  // the tracker's signed 16-bit frame counter
    std::int32_t altitude = 0;  // metres
    std::int16_t satellites = 0;
    std::int16_t temperature = 0;  // degrees Celsius
};

// A record, or a reason (a fixed English text) why the line is none.
struct parsed_line {
    std::optional<log_record> record;
    const char* reason = nullptr;
};

// One line without its line end (a CR left before the LF is tolerated).
// Promises: every form the receiver writes is read; blanks around a number
// may be more or fewer than the receiver's; a time of day must be a real
// one (hh 00-23, mm and ss 00-59); the counter, altitude, satellites and
// temperature must be whole numbers in their fields' ranges; latitude and
// longitude may be any number, infinities included, because leaving out
// impossible positions is the flight's business, not the reader's; but a
// number longer than any the receiver writes is refused.
parsed_line parse_log_line(std::string_view line);

// The date in a log file's name: "QLT_" and eight digits yyyymmdd anywhere
// in its last path component (so QLT_20261208.txt, station2/QLT_20261208.txt
// and QLT_20261208-b.txt all work). Empty when there is none or the date
// does not exist.
std::optional<civil_date> log_file_date(std::string_view path);

// Seconds since 1970-01-01 00:00 on the receiver's clock, with no time zone
// applied: the scale on which lines of different files are put in order.
std::int64_t local_seconds(const civil_date& date, std::int64_t seconds_of_day);
// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t days_from_civil(const civil_date& date);
civil_date civil_from_days(std::int64_t days);

struct dated_record {
    log_record frame;
    std::int64_t local_time = 0;  // local_seconds of the line's date and time
    std::uint64_t line = 0;  // 1-based line number in its file
};

// What one line of a log gave: its frames (none, one, or two when a restart
// left the whole start of a line in front of it), or the reason it gave
// none.
struct line_outcome {
    std::uint64_t line = 0;  // 1-based line number in its file
    std::array<dated_record, 2> records{};
    std::size_t record_count = 0;
    const char* reason = nullptr;  // set when the line is unreadable
    bool unfinished = false;  // it held a fragment left by a crash or a restart
};

// A log read one line at a time, as a follower gets its lines or a file is
// read in pieces: it keeps the date, the days the clock has gone past
// midnight, and the line count, so that every line is placed on the
// calendar and numbered as a reading of the whole file would place it.
// Promises: LF and CR LF line ends alike (a CR before the cut is dropped);
// a last line without its line end (`ended` false) is used when it is whole
// and counted as unfinished when it is not; a line that carries the
// unfinished start of a line before it (a restart behind a partial line)
// yields the whole frame at its end, and the start as well when that too
// was whole; a time that goes back by more than an hour from the previous
// frame moves to the next day, since the receiver keeps its first day's file
// past midnight; every other bad line gives a reason; empty lines give
// nothing but are counted.
class log_reader {
public:
    // `date` is the day the log's first line falls on: its name's date.
    explicit log_reader(const civil_date& date);

    line_outcome feed(std::string_view line, bool ended = true);

    [[nodiscard]] std::uint64_t lines() const { return line_; }

private:
    void keep(line_outcome& outcome, const log_record& record) const;
    void place(line_outcome& outcome);

    std::int64_t first_day_ = 0;
    std::int64_t day_offset_ = 0;
    std::int32_t previous_ = 0;  // the last frame's time of day
    bool any_ = false;
    std::uint64_t line_ = 0;
};

struct line_problem {
    std::uint64_t line = 0;
    std::string reason;
};

// A whole log, read into memory.
struct log_reading {
    std::string path;
    civil_date date;
    std::vector<dated_record> records;  // in file order
    std::vector<line_problem> problems;  // lines that could not be read
    // Fragments a crash or a restart left behind (the start of a line that
    // the next run's first line continues, or a last line still being
    // written). They hold no frame, but nothing is wrong with the file.
    std::size_t unfinished_lines = 0;
    // Set when the file as a whole could not be read (cannot open, no date
    // in its name); then there are no records.
    std::string failure;
};

// Reads a whole log from memory, line by line through a log_reader.
log_reading read_log_text(std::string_view path, std::string_view content);

// A log file read in pieces, one line at a time, so that a day's log is
// never held whole in memory.
class log_file_lines {
public:
    // Opens the file; failure() says why when it cannot be read or its name
    // carries no date.
    explicit log_file_lines(std::string path);
    ~log_file_lines();
    log_file_lines(const log_file_lines&) = delete;
    log_file_lines& operator=(const log_file_lines&) = delete;

    // The next line's outcome; false at the end of the file, or when it
    // cannot be read further (failure() then says why).
    bool next(line_outcome& outcome);

    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] const std::string& failure() const { return failure_; }
    [[nodiscard]] civil_date date() const { return date_; }
    // The file's size when it was opened, in bytes.
    [[nodiscard]] std::uint64_t size() const { return size_; }

private:
    bool fill();

    std::string path_;
    std::string failure_;
    civil_date date_;
    std::optional<log_reader> reader_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::string buffer_;
    std::size_t start_ = 0;  // where the next line begins in buffer_
    bool at_end_ = false;
    bool overlong_ = false;  // within a line too long to be one
};

// The same as read_log_text, from a file; a file that cannot be opened or
// read, or whose name carries no date, gives a reading with `failure` set.
log_reading read_log_file(const std::string& path);
