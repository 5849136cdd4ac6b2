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
struct log_record {
    std::int32_t counter = 0;  // the tracker's signed 16-bit frame counter
    std::int32_t seconds_of_day = 0;  // 0 to 86399, from the hh:mm:ss text
    double latitude = 0;  // degrees; may be infinite (logged 9.999999E+998)
    double longitude = 0;  // degrees; may be infinite
    std::int32_t altitude = 0;  // metres
    double speed = 0;  // km/h
    std::int32_t satellites = 0;
    std::int32_t temperature = 0;  // degrees Celsius
    double battery_voltage = 0;  // volts
    double climb_rate = 0;  // m/s, as the receiver derived it
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
// impossible positions is the flight's business, not the reader's.
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

struct line_problem {
    std::uint64_t line = 0;
    std::string reason;
};

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

// Reads a whole log from memory. Promises: LF and CR LF line ends alike; a
// last line without a line end is used when it is whole and counted as
// unfinished when it is not; a line that carries the unfinished start of a
// line before it (a restart behind a partial line) yields the whole frame at
// its end, and the start as well when that too was whole; a time that goes
// back by more than an hour from the previous frame moves to the next day,
// since the receiver keeps its first day's file past midnight; every other
// bad line becomes a problem with its line number, and reading goes on.
log_reading read_log_text(std::string_view path, std::string_view content);

// The same from a file; a file that cannot be opened or read, or whose name
// carries no date, gives a reading with `failure` set.
log_reading read_log_file(const std::string& path);
