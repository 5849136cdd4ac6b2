#include "log_reading.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <utility>
#include <limits>
#include <unistd.h>

namespace {

constexpr std::size_t field_count = 10;
constexpr std::int64_t seconds_per_day = 86400;
// A frame earlier than the one before it by more than this is taken to be
// on the next day; anything less is a frame that arrived late.
constexpr std::int32_t midnight_step_back = 3600;

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

// The receiver prints an infinity as nines with exponent 998, beyond any
// double; from_chars calls that out of range, and its sign and the sign of
// its exponent say which way.
bool read_number(std::string_view field, double& value)
{
    const std::string_view text = trim(field);
    if (text.empty()) return false;
    const char* const first = text.data();
    const char* const last = first + text.size();
    const auto [end, error] = std::from_chars(first, last, value, std::chars_format::general);
    if (end != last) return false;
    if (error == std::errc::result_out_of_range) {
        const std::size_t e = text.find_first_of("Ee");
        const bool huge = e != std::string_view::npos && e + 1 < text.size() && text[e + 1] != '-';
        const double magnitude = huge ? std::numeric_limits<double>::infinity() : 0.0;
        value = text.front() == '-' ? -magnitude : magnitude;
        return true;
    }
    return error == std::errc();
}

// The receiver's longest number, an exponent form of 19 digits, takes 28
// characters. A longer one comes from no receiver, and read as a double it
// would become something else without a word: a latitude of 309 digits
// and no exponent is beyond any double and would read as 0.
constexpr std::size_t longest_number = 32;

// Why a field is refused when it is longer than that; the time has its
// own form.
constexpr std::array<const char*, field_count> too_long = {
    "counter is too long to be a log value",     nullptr,
    "latitude is too long to be a log value",    "longitude is too long to be a log value",
    "altitude is too long to be a log value",    "speed is too long to be a log value",
    "satellites is too long to be a log value",  "temperature is too long to be a log value",
    "battery voltage is too long to be a log value", "climb rate is too long to be a log value",
};

bool read_finite(std::string_view field, double& value)
{
    return read_number(field, value) && std::isfinite(value);
}

bool read_whole(std::string_view field, std::int32_t low, std::int32_t high, std::int32_t& value)
{
    double number = 0;
    if (!read_finite(field, number) || number != std::trunc(number)) return false;
    if (number < low || number > high) return false;
    value = static_cast<std::int32_t>(number);
    return true;
}

bool read_two_digits(std::string_view text, int highest, std::int32_t& value)
{
    const char high = text[0];
    const char low = text[1];
    if (high < '0' || high > '9' || low < '0' || low > '9') return false;
    value = (high - '0') * 10 + (low - '0');
    return value <= highest;
}

bool read_time_of_day(std::string_view field, std::int32_t& seconds)
{
    const std::string_view text = trim(field);
    std::int32_t hours = 0;
    std::int32_t minutes = 0;
    std::int32_t secs = 0;
    if (text.size() != 8 || text[2] != ':' || text[5] != ':') return false;
    if (!read_two_digits(text.substr(0, 2), 23, hours) ||
        !read_two_digits(text.substr(3, 2), 59, minutes) ||
        !read_two_digits(text.substr(6, 2), 59, secs))
        return false;
    seconds = hours * 3600 + minutes * 60 + secs;
    return true;
}

parsed_line refuse(const char* reason)
{
    return parsed_line{std::nullopt, reason};
}

// The start of a line that was cut short: it begins with the counter's sign
// position and holds only what a line of the log is made of.
bool is_line_fragment(std::string_view text)
{
    if (trim(text).empty() || (text.front() != ' ' && text.front() != '-')) return false;
    return std::ranges::all_of(text, [](char c) {
        return (c >= '0' && c <= '9') || is_blank(c) || c == '-' || c == '.' || c == 'E' ||
               c == '+' || c == ':' || c == ',';
    });
}

// When a run ends inside a line, the next run's first line is appended to
// that start. The whole line is then the last ten fields, and its counter
// begins at the sign position (a blank or "-") right before the counter's
// digits; everything before that is the earlier fragment. Returns where the
// whole line begins, or npos when the line is not made that way.
std::size_t joined_line_start(std::string_view line)
{
    std::size_t commas = 0;
    std::size_t field_end = std::string_view::npos;  // the comma after the counter
    std::size_t field_start = 0;
    for (std::size_t i = line.size(); i-- > 0;) {
        if (line[i] != ',') continue;
        ++commas;
        if (commas == field_count - 1) field_end = i;
        if (commas == field_count) {
            field_start = i + 1;
            break;
        }
    }
    if (field_end == std::string_view::npos) return std::string_view::npos;
    std::size_t i = field_end;
    while (i > field_start && is_blank(line[i - 1])) --i;
    const std::size_t digits_end = i;
    while (i > field_start && line[i - 1] >= '0' && line[i - 1] <= '9') --i;
    if (i == digits_end || i == field_start) return std::string_view::npos;
    const char sign = line[i - 1];
    if (sign != ' ' && sign != '-') return std::string_view::npos;
    const std::size_t start = i - 1;
    if (trim(line.substr(0, start)).empty()) return std::string_view::npos;
    return start;
}

}  // namespace

parsed_line parse_log_line(std::string_view line)
{
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::array<std::string_view, field_count> field;
    std::size_t count = 0;
    for (;;) {
        if (count == field_count) return refuse("more than 10 comma-separated fields");
        const std::size_t comma = line.find(',');
        field[count++] = line.substr(0, comma);
        if (comma == std::string_view::npos) break;
        line.remove_prefix(comma + 1);
    }
    if (count != field_count) return refuse("fewer than 10 comma-separated fields");
    for (std::size_t i = 0; i < field_count; ++i) {
        if (too_long[i] != nullptr && trim(field[i]).size() > longest_number) return refuse(too_long[i]);
    }

    log_record r;
    std::int32_t whole = 0;
    if (!read_whole(field[0], -32768, 32767, r.counter))
        return refuse("counter is not a whole number from -32768 to 32767");
    if (!read_time_of_day(field[1], r.seconds_of_day))
        return refuse("time is not a time of day hh:mm:ss");
    if (!read_number(field[2], r.latitude)) return refuse("latitude is not a number");
    if (!read_number(field[3], r.longitude)) return refuse("longitude is not a number");
    if (!read_whole(field[4], -32768, 32767, r.altitude))
        return refuse("altitude is not a whole number from -32768 to 32767");
    if (!read_finite(field[5], r.speed) || r.speed < 0)
        return refuse("speed is not a number of 0 or more");
    if (!read_whole(field[6], 0, 255, whole))
        return refuse("satellites is not a whole number from 0 to 255");
    r.satellites = static_cast<std::int16_t>(whole);
    if (!read_whole(field[7], -128, 127, whole))
        return refuse("temperature is not a whole number from -128 to 127");
    r.temperature = static_cast<std::int16_t>(whole);
    if (!read_finite(field[8], r.battery_voltage) || r.battery_voltage < 0)
        return refuse("battery voltage is not a number of 0 or more");
    if (!read_finite(field[9], r.climb_rate)) return refuse("climb rate is not a number");
    return parsed_line{r, nullptr};
}

std::int64_t days_from_civil(const civil_date& date)
{
    // Counted in 400-year eras from 1 March 0000, so that the leap day ends
    // the year and every era has the same length.
    const std::int64_t y = static_cast<std::int64_t>(date.year) - (date.month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t year_of_era = y - era * 400;
    const std::int64_t month = date.month > 2 ? date.month - 3 : date.month + 9;
    const std::int64_t day_of_year = (153 * month + 2) / 5 + date.day - 1;
    const std::int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

civil_date civil_from_days(std::int64_t days)
{
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t day_of_era = z - era * 146097;
    const std::int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::int64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t mp = (5 * day_of_year + 2) / 153;
    civil_date date;
    date.day = static_cast<int>(day_of_year - (153 * mp + 2) / 5 + 1);
    date.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    date.year = static_cast<int>(year_of_era + era * 400 + (date.month <= 2 ? 1 : 0));
    return date;
}

std::int64_t local_seconds(const civil_date& date, std::int64_t seconds_of_day)
{
    return days_from_civil(date) * seconds_per_day + seconds_of_day;
}

std::optional<civil_date> log_file_date(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    for (std::size_t at = name.find("QLT_"); at != std::string_view::npos;
         at = name.find("QLT_", at + 1)) {
        const std::string_view digits = name.substr(at + 4, 8);
        int value[8] = {};
        bool all_digits = digits.size() == 8;
        for (std::size_t i = 0; all_digits && i < 8; ++i) {
            all_digits = digits[i] >= '0' && digits[i] <= '9';
            if (all_digits) value[i] = digits[i] - '0';
        }
        if (!all_digits) continue;
        civil_date date;
        date.year = value[0] * 1000 + value[1] * 100 + value[2] * 10 + value[3];
        date.month = value[4] * 10 + value[5];
        date.day = value[6] * 10 + value[7];
        if (date.month < 1 || date.month > 12 || date.day < 1) return std::nullopt;
        // A date that does not exist comes back as another one.
        const civil_date round_trip = civil_from_days(days_from_civil(date));
        if (round_trip.month != date.month || round_trip.day != date.day) return std::nullopt;
        return date;
    }
    return std::nullopt;
}

log_reader::log_reader(const civil_date& date) : first_day_(days_from_civil(date)) {}

void log_reader::keep(line_outcome& outcome, const log_record& record) const
{
    dated_record& kept = outcome.records[outcome.record_count++];
    kept.frame = record;
    kept.line = line_;
}

// The line's moment on the receiver's clock: its file's day, plus one for
// every time the clock went back past midnight before it.
void log_reader::place(line_outcome& outcome)
{
    for (std::size_t i = 0; i < outcome.record_count; ++i) {
        dated_record& r = outcome.records[i];
        const std::int32_t seconds = r.frame.seconds_of_day;
        if (any_ && seconds < previous_ - midnight_step_back) ++day_offset_;
        any_ = true;
        previous_ = seconds;
        r.local_time = (first_day_ + day_offset_) * seconds_per_day + seconds;
    }
}

line_outcome log_reader::feed(std::string_view line, bool ended)
{
    line_outcome outcome;
    outcome.line = ++line_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (trim(line).empty()) return outcome;

    const parsed_line parsed = parse_log_line(line);
    if (parsed.record) {
        keep(outcome, *parsed.record);
        place(outcome);
        return outcome;
    }
    const std::size_t whole_start = joined_line_start(line);
    if (whole_start != std::string_view::npos && is_line_fragment(line.substr(0, whole_start))) {
        const parsed_line whole = parse_log_line(line.substr(whole_start));
        if (whole.record) {
            // Whole only up to the trailing blank of its climb rate: a cut
            // inside that number still reads as a number.
            const std::string_view start = line.substr(0, whole_start);
            const parsed_line earlier = parse_log_line(start);
            if (earlier.record && is_blank(start.back())) {
                keep(outcome, *earlier.record);  // only its line end was lost
            } else {
                outcome.unfinished = true;
            }
            keep(outcome, *whole.record);
            place(outcome);
            return outcome;
        }
    }
    if (!ended && is_line_fragment(line)) {
        outcome.unfinished = true;  // still being written, or cut short
        return outcome;
    }
    outcome.reason = parsed.reason;
    return outcome;
}

namespace {

const char* const undated_name = "the name does not carry the log's date as QLT_yyyymmdd";

void take_outcome(log_reading& reading, const line_outcome& outcome)
{
    for (std::size_t i = 0; i < outcome.record_count; ++i) reading.records.push_back(outcome.records[i]);
    if (outcome.unfinished) ++reading.unfinished_lines;
    if (outcome.reason != nullptr) reading.problems.push_back(line_problem{outcome.line, outcome.reason});
}

}  // namespace

log_reading read_log_text(std::string_view path, std::string_view content)
{
    log_reading reading;
    reading.path = path;
    const std::optional<civil_date> date = log_file_date(path);
    if (!date) {
        reading.failure = undated_name;
        return reading;
    }
    reading.date = *date;
    log_reader reader(*date);
    std::size_t position = 0;
    while (position < content.size()) {
        const std::size_t newline = content.find('\n', position);
        const bool ended = newline != std::string_view::npos;
        const std::string_view line =
            content.substr(position, (ended ? newline : content.size()) - position);
        position = ended ? newline + 1 : content.size();
        take_outcome(reading, reader.feed(line, ended));
    }
    return reading;
}

namespace {

constexpr std::size_t read_piece = 65536;
constexpr std::size_t longest_line = 65536;

}  // namespace

log_file_lines::log_file_lines(std::string path) : path_(std::move(path))
{
    const std::optional<civil_date> named = log_file_date(path_);
    if (!named) {
        failure_ = undated_name;
        return;
    }
    date_ = *named;
    reader_.emplace(*named);
    do {
        fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) {
        failure_ = std::string("cannot open: ") + std::strerror(errno);
        return;
    }
    struct stat status {};
    if (fstat(fd_, &status) == 0 && status.st_size > 0) size_ = static_cast<std::uint64_t>(status.st_size);
}

log_file_lines::~log_file_lines()
{
    if (fd_ >= 0) close(fd_);
}

// Moves what is left of the buffer to its front and reads the next piece
// behind it. False at the end of the file or on a failure.
bool log_file_lines::fill()
{
    if (at_end_ || fd_ < 0) return false;
    buffer_.erase(0, start_);
    start_ = 0;
    const std::size_t had = buffer_.size();
    buffer_.resize(had + read_piece);
    for (;;) {
        const ssize_t got = read(fd_, buffer_.data() + had, read_piece);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) failure_ = std::string("cannot read: ") + std::strerror(errno);
        buffer_.resize(had + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        if (got <= 0) at_end_ = true;
        return got > 0;
    }
}

bool log_file_lines::next(line_outcome& outcome)
{
    if (!reader_ || fd_ < 0) return false;
    for (;;) {
        const std::size_t newline = buffer_.find('\n', start_);
        if (newline != std::string::npos) {
            const std::string_view line(buffer_.data() + start_, newline - start_);
            start_ = newline + 1;
            if (overlong_) {
                overlong_ = false;  // the rest of a line already reported
                continue;
            }
            outcome = reader_->feed(line, true);
            return true;
        }
        if (buffer_.size() - start_ > longest_line) {
            // No line of the receiver's is anywhere near this long: it is
            // judged by its start, and the rest is passed over unread.
            const std::string_view start(buffer_.data() + start_, longest_line);
            start_ = buffer_.size();
            if (!overlong_) {
                overlong_ = true;
                outcome = reader_->feed(start, true);
                return true;
            }
        }
        if (fill()) continue;
        if (!failure_.empty() || start_ >= buffer_.size() || overlong_) return false;
        // A last line without its line end.
        const std::string_view line(buffer_.data() + start_, buffer_.size() - start_);
        start_ = buffer_.size();
        outcome = reader_->feed(line, false);
        return true;
    }
}

log_reading read_log_file(const std::string& path)
{
    log_reading reading;
    reading.path = path;
    log_file_lines file(path);
    reading.date = file.date();
    line_outcome outcome;
    while (file.next(outcome)) take_outcome(reading, outcome);
    if (!file.failure().empty()) {
        reading = log_reading{};
        reading.path = path;
        reading.failure = file.failure();
    }
    return reading;
}
