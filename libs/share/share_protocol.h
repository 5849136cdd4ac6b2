// What stations and maps say to each other through an MQTT broker: the
// topics, and the messages on them. zarim-share writes them; a map reads
// them with read_share_message, which trusts nothing it receives.
//
// Topics (FLIGHT, STATION and MAP are names, see is_share_name):
//   zarim/FLIGHT/STATION/lines      every line of the station's log, in order
//   zarim/FLIGHT/STATION/station    where the station stands (retained)
//   zarim/FLIGHT/catchup            a map asks the stations for their logs
//   zarim/FLIGHT/STATION/reply/MAP  a station's answer to map MAP
// All at QoS 1; only the station's position is retained. Everything a
// station publishes lies under its own zarim/FLIGHT/STATION/, so a broker's
// access rules can give each station its own subtree and nothing more.
//
// Payloads are a header line of fields separated by single spaces, ending
// in LF; a line message carries the log line's bytes after it, verbatim
// (the log is 8-bit text, so nothing is re-encoded):
//   line STATION DATE NUMBER LF BYTES   DATE is the log's yyyymmdd (from its
//                                        name QLT_yyyymmdd.txt), "-" for a
//                                        log named otherwise; NUMBER counts
//                                        the log's lines from 1
//   station STATION LAT LON [ALT]        degrees north and east, metres
//   catch-up MAP [STATION [DATE FROM]]   every station (or only STATION,
//                                        only the log DATE from line FROM)
//   caught-up STATION [DATE LAST]...     the answer is complete: the last
//                                        line sent of each log
// The header of a station's position, request and end of answer is the
// whole payload, with no LF.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// A log line longer than this is no receiver's line; it is sent cut to it.
constexpr std::size_t max_shared_line_bytes = 4096;
// Names and numbers of a header fit in this.
constexpr std::size_t max_header_bytes = 256;
// Anything larger is no message of ours.
constexpr std::size_t max_share_message_bytes = max_shared_line_bytes + max_header_bytes;
// Logs named in one end of answer, at most.
constexpr std::size_t max_caught_up_logs = 16;

// A flight, station or map name: 1 to 64 ASCII letters, digits, '-', '_'
// or '.', so that it is one topic level with no wildcard in it.
bool is_share_name(std::string_view name);
// Why `name` is not one, for an error message: "'a/b' may hold only ...".
std::string share_name_problem(std::string_view name);

// "yyyymmdd" (eight digits) or "-".
bool is_log_date(std::string_view text);
// "yyyymmdd" from a path whose file name is QLT_yyyymmdd.txt, else "-".
std::string log_date_of(std::string_view path);

std::string lines_topic(std::string_view flight, std::string_view station);
std::string station_topic(std::string_view flight, std::string_view station);
std::string catchup_topic(std::string_view flight);
std::string reply_topic(std::string_view flight, std::string_view station, std::string_view map);
// The subscriptions a map of the flight needs.
std::string lines_filter(std::string_view flight);      // zarim/FLIGHT/+/lines
std::string stations_filter(std::string_view flight);   // zarim/FLIGHT/+/station
std::string replies_filter(std::string_view flight, std::string_view map);  // zarim/FLIGHT/+/reply/MAP

// One line of a station's log.
struct shared_line {
    std::string station;
    std::string date;  // "yyyymmdd" or "-"
    std::uint64_t number = 0;  // from 1
    std::string text;  // the line's bytes, without its line end
    std::string reply_to;  // the map it answers; empty when sent live
    friend bool operator==(const shared_line&, const shared_line&) = default;
};

struct station_position {
    std::string station;
    double latitude = 0;
    double longitude = 0;
    double altitude = 0;
    bool altitude_given = false;
    friend bool operator==(const station_position&, const station_position&) = default;
};

struct log_extent {
    std::string date;
    std::uint64_t last = 0;  // the last line number sent
    friend bool operator==(const log_extent&, const log_extent&) = default;
};

// A station has answered a catch-up request whole.
struct caught_up {
    std::string station;
    std::string reply_to;
    std::vector<log_extent> logs;
    friend bool operator==(const caught_up&, const caught_up&) = default;
};

struct catchup_request {
    std::string map;  // where the answers go: zarim/FLIGHT/STATION/reply/MAP
    std::string station;  // empty: every station answers
    std::string date;  // empty: every log the station shared for the flight
    std::uint64_t from = 1;  // with a date: the first line wanted
    friend bool operator==(const catchup_request&, const catchup_request&) = default;
};

using share_message = std::variant<shared_line, station_position, caught_up, catchup_request>;

// The payloads, as the header above describes them.
std::string line_payload(const shared_line& line);
std::string station_payload(const station_position& position);
std::string caught_up_payload(const caught_up& done);
std::string catchup_payload(const catchup_request& request);

// Reads one message received on `topic` for `flight`. False with `problem`
// (short, plain ASCII, safe to show) for a topic outside the flight's, a
// payload too large, fields that do not read, or a station in the payload
// other than the topic's.
bool read_share_message(std::string_view flight, std::string_view topic, std::string_view payload,
                        share_message& message, std::string& problem);
