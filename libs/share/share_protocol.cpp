#include "share_protocol.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

constexpr std::size_t max_name_length = 64;
// Line numbers above this are no log's: a day at a thousand lines a second
// stays far below it, and every value is exact in a double.
constexpr std::uint64_t max_line_number = 1'000'000'000'000'000;

bool name_character(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
}

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

bool read_count(std::string_view text, std::uint64_t& value)
{
    std::uint64_t number = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, number);
    // One way to write each number: no sign, no leading zero.
    if (text.empty() || error != std::errc() || stop != end || (text.size() > 1 && text[0] == '0') ||
        number > max_line_number) {
        return false;
    }
    value = number;
    return true;
}

bool read_real(std::string_view text, double& value)
{
    double number = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, number, std::chars_format::general);
    // Longer texts are no coordinates (and would take long to read).
    if (text.empty() || text.size() > 32 || error != std::errc() || stop != end || !std::isfinite(number)) {
        return false;
    }
    value = number;
    return true;
}

std::string count_text(std::uint64_t value)
{
    char digits[24];
    const auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
    static_cast<void>(error);  // 24 characters hold any 64-bit value
    return {digits, end};
}

std::string real_text(double value)
{
    char digits[32];
    const auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
    static_cast<void>(error);  // the shortest form of a double fits in 32
    return {digits, end};
}

std::string joined(std::initializer_list<std::string_view> parts, char separator)
{
    std::string text;
    for (const std::string_view part : parts) {
        if (!text.empty()) text += separator;
        text.append(part);
    }
    return text;
}

// The topic's levels after "zarim/FLIGHT/", or false when it is not one of
// the flight's.
bool flight_levels(std::string_view flight, std::string_view topic, std::vector<std::string_view>& levels)
{
    const std::string prefix = "zarim/" + std::string(flight) + "/";
    if (!topic.starts_with(prefix)) return false;
    levels = split(topic.substr(prefix.size()), '/');
    return true;
}

bool fail(std::string& problem, std::string text)
{
    problem = std::move(text);
    return false;
}

bool read_line_message(std::string_view station, std::string_view payload, std::string_view reply_to,
                       share_message& message, std::string& problem)
{
    const std::size_t end = payload.find('\n');
    // No line feed at all (npos) is past the bound too.
    if (end > max_header_bytes) return fail(problem, "a line without its header");
    const std::vector<std::string_view> fields = split(payload.substr(0, end), ' ');
    shared_line line;
    if (fields.size() != 4 || fields[0] != "line" || !is_log_date(fields[2]) || !read_count(fields[3], line.number) ||
        line.number == 0) {
        return fail(problem, "a line whose header does not read");
    }
    if (fields[1] != station) return fail(problem, "a line of another station than its topic's");
    if (payload.size() - end - 1 > max_shared_line_bytes) return fail(problem, "a line too long");
    line.station = station;
    line.date = fields[2];
    line.text = payload.substr(end + 1);
    line.reply_to = reply_to;
    message = std::move(line);
    return true;
}

bool read_station_message(std::string_view station, std::string_view payload, share_message& message,
                          std::string& problem)
{
    const std::vector<std::string_view> fields = split(payload, ' ');
    station_position position;
    if ((fields.size() != 4 && fields.size() != 5) || fields[0] != "station" ||
        !read_real(fields[2], position.latitude) || !read_real(fields[3], position.longitude) ||
        (fields.size() == 5 && !read_real(fields[4], position.altitude))) {
        return fail(problem, "a station position that does not read");
    }
    if (fields[1] != station) return fail(problem, "a position of another station than its topic's");
    if (std::abs(position.latitude) > 90 || std::abs(position.longitude) > 180) {
        return fail(problem, "a station position off the globe");
    }
    position.station = station;
    position.altitude_given = fields.size() == 5;
    message = position;
    return true;
}

bool read_caught_up_message(std::string_view station, std::string_view payload, std::string_view reply_to,
                            share_message& message, std::string& problem)
{
    const std::vector<std::string_view> fields = split(payload, ' ');
    if (fields.size() < 2 || fields.size() % 2 != 0 || fields[0] != "caught-up" ||
        (fields.size() - 2) / 2 > max_caught_up_logs) {
        return fail(problem, "an end of answer that does not read");
    }
    if (fields[1] != station) return fail(problem, "an end of answer of another station than its topic's");
    caught_up done{std::string(station), std::string(reply_to), {}};
    for (std::size_t i = 2; i < fields.size(); i += 2) {
        log_extent extent{std::string(fields[i]), 0};
        if (!is_log_date(fields[i]) || !read_count(fields[i + 1], extent.last)) {
            return fail(problem, "an end of answer that does not read");
        }
        done.logs.push_back(std::move(extent));
    }
    message = std::move(done);
    return true;
}

bool read_catchup_message(std::string_view payload, share_message& message, std::string& problem)
{
    const std::vector<std::string_view> fields = split(payload, ' ');
    catchup_request request;
    const bool read = (fields.size() == 2 || fields.size() == 3 || fields.size() == 5) &&
                      fields[0] == "catch-up" && is_share_name(fields[1]) &&
                      (fields.size() < 3 || is_share_name(fields[2])) &&
                      (fields.size() < 5 || (is_log_date(fields[3]) && read_count(fields[4], request.from) &&
                                             request.from > 0));
    if (!read) return fail(problem, "a catch-up request that does not read");
    request.map = fields[1];
    if (fields.size() >= 3) request.station = fields[2];
    if (fields.size() == 5) request.date = fields[3];
    message = std::move(request);
    return true;
}

}  // namespace

bool is_log_date(std::string_view text)
{
    return text == "-" || (text.size() == 8 && std::all_of(text.begin(), text.end(),
                                                           [](char c) { return c >= '0' && c <= '9'; }));
}

bool is_share_name(std::string_view name)
{
    return !name.empty() && name.size() <= max_name_length && std::all_of(name.begin(), name.end(), name_character);
}

std::string share_name_problem(std::string_view name)
{
    std::string shown;
    for (const char c : name.substr(0, 80)) shown += c >= 0x20 && c < 0x7f ? c : '?';
    return "'" + shown + "' may hold only letters, digits, '-', '_' and '.' (1 to 64 of them)";
}

std::string log_date_of(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name.size() != 16 || !name.starts_with("QLT_") || !name.ends_with(".txt")) return "-";
    const std::string_view date = name.substr(4, 8);
    return is_log_date(date) ? std::string(date) : "-";
}

std::string lines_topic(std::string_view flight, std::string_view station)
{
    return joined({"zarim", flight, station, "lines"}, '/');
}

std::string station_topic(std::string_view flight, std::string_view station)
{
    return joined({"zarim", flight, station, "station"}, '/');
}

std::string catchup_topic(std::string_view flight)
{
    return joined({"zarim", flight, "catchup"}, '/');
}

std::string reply_topic(std::string_view flight, std::string_view station, std::string_view map)
{
    return joined({"zarim", flight, station, "reply", map}, '/');
}

std::string lines_filter(std::string_view flight)
{
    return lines_topic(flight, "+");
}

std::string stations_filter(std::string_view flight)
{
    return station_topic(flight, "+");
}

std::string replies_filter(std::string_view flight, std::string_view map)
{
    return reply_topic(flight, "+", map);
}

std::string line_payload(const shared_line& line)
{
    const std::string_view text(line.text.data(), std::min(line.text.size(), max_shared_line_bytes));
    std::string payload = joined({"line", line.station, line.date, count_text(line.number)}, ' ');
    payload += '\n';
    payload += text;
    return payload;
}

std::string station_payload(const station_position& position)
{
    std::string payload = joined({"station", position.station, real_text(position.latitude),
                                  real_text(position.longitude)},
                                 ' ');
    if (position.altitude_given) payload += " " + real_text(position.altitude);
    return payload;
}

std::string caught_up_payload(const caught_up& done)
{
    std::string payload = "caught-up " + done.station;
    const std::size_t first = done.logs.size() > max_caught_up_logs ? done.logs.size() - max_caught_up_logs : 0;
    for (std::size_t i = first; i < done.logs.size(); ++i) {
        payload += " " + done.logs[i].date + " " + count_text(done.logs[i].last);
    }
    return payload;
}

std::string catchup_payload(const catchup_request& request)
{
    std::string payload = "catch-up " + request.map;
    if (!request.station.empty()) payload += " " + request.station;
    if (!request.station.empty() && !request.date.empty()) {
        payload += " " + request.date + " " + count_text(request.from);
    }
    return payload;
}

bool read_share_message(std::string_view flight, std::string_view topic, std::string_view payload,
                        share_message& message, std::string& problem)
{
    std::vector<std::string_view> levels;
    if (!is_share_name(flight) || !flight_levels(flight, topic, levels)) {
        return fail(problem, "a topic outside the flight's");
    }
    if (payload.size() > max_share_message_bytes) return fail(problem, "a message too large");
    if (levels.size() == 1 && levels[0] == "catchup") return read_catchup_message(payload, message, problem);
    if (levels.empty() || !is_share_name(levels[0])) return fail(problem, "a topic of no station");
    const std::string_view station = levels[0];
    if (levels.size() == 2 && levels[1] == "lines") return read_line_message(station, payload, {}, message, problem);
    if (levels.size() == 2 && levels[1] == "station") return read_station_message(station, payload, message, problem);
    if (levels.size() == 3 && levels[1] == "reply" && is_share_name(levels[2])) {
        if (payload.starts_with("line ")) return read_line_message(station, payload, levels[2], message, problem);
        return read_caught_up_message(station, payload, levels[2], message, problem);
    }
    return fail(problem, "a topic of the flight that holds no message of ours");
}
