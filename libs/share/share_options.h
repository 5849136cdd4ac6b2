// The command line of zarim-share.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "broker_options.h"
#include "position_option.h"

struct share_options {
    broker_login login;
    std::string flight;
    std::string station_name;
    std::optional<position_option> station;
    std::string state_path;  // empty: default_state_path()
    std::string log_path = ".";  // a log file, or a directory to find the day's log in
    bool help = false;
    bool version = false;
};

// Fills `options` from argv. On a bad command line returns false with
// `problem` saying why (without the program name or a line end). Without
// --station-name the station is named after `host_name`, when that is a
// valid name.
bool parse_share_options(int argc, const char* const* argv, const std::string& host_name,
                         share_options& options, std::string& problem);

// Where the state is kept without --state: $XDG_STATE_HOME/zarim (or
// ~/.local/state/zarim), a file named after the flight and station; in
// `log_directory` when there is no home.
std::string default_state_path(const std::string& flight, const std::string& station,
                               const std::string& log_directory);

// The --help text, ending in a line end.
const char* share_usage();
