// The command line of the live map.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "landing_prediction.h"
#include "broker_options.h"

// Where the antenna or the chase car stands. Without a height the station
// is taken to stand on the ground at the launch site's height, which is
// nearer the truth than sea level for a station near the launch.
struct station_option {
    double latitude = 0;  // degrees north
    double longitude = 0;  // degrees east
    double altitude = 0;  // metres, when given
    bool altitude_given = false;
};

struct map_options {
    std::string listen_host = "127.0.0.1";
    std::uint16_t listen_port = 8080;  // 0: any free port, as the tests use
    // Host names the server answers to besides its address and localhost.
    std::vector<std::string> allowed_hosts;
    std::string tiles = "https://tile.openstreetmap.org/{z}/{x}/{y}.png";
    bool tiles_given = false;
    std::optional<station_option> station;
    // What the landing prediction assumes until the flight measures it.
    prediction_settings prediction;
    std::string log_path = ".";  // a log file, or a directory to find the day's log in
    bool follow_log = true;  // false: only the broker's stations, no local log
    // Every station's lines from an MQTT broker (--broker, --flight,
    // --record): see broker_feed.h.
    std::optional<broker_login> broker;
    std::string flight;
    std::string record_directory;  // empty: not recorded
    bool help = false;
    bool version = false;
};

// Fills `options` from argv. On a bad command line returns false with
// `problem` saying why (without the program name or a line end).
bool parse_map_options(int argc, const char* const* argv, map_options& options,
                       std::string& problem);

// "ADDR:PORT" or "[IPv6]:PORT", the port 0 to 65535; false otherwise.
bool parse_listen_address(const std::string& text, std::string& host, std::uint16_t& port);

// "LAT,LON" or "LAT,LON,ALT" in degrees and metres.
bool parse_station(const std::string& text, station_option& station, std::string& problem);

// The --help text, ending in a line end.
const char* map_usage();
