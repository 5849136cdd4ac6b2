// The command line of the frame sender.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class send_mode { none, simulate, replay, frames, standard_input };

struct send_options {
    send_mode mode = send_mode::none;
    std::string host = "127.0.0.1";
    std::uint16_t port = 3000;
    long double rate = 1;  // frames per second
    long double speed = 0;  // --replay: times real time by the log's clock; 0: by the rate
    bool count_given = false;
    std::uint64_t count = 0;  // frames to send when count_given
    long double step = 0;  // simulated seconds per frame; 0: one frame period
    std::string replay_file;
    std::vector<std::string> frames;
    long double corrupt_percent = 0;
    std::uint64_t seed = 0;
    // --simulate: the steady flight of one wind and fixed rates, or the sky
    // (winds by height from a file, or a spring day's).
    bool steady = false;
    std::string wind_profile_file;
    long double burst_altitude = 30000;  // metres
    bool help = false;
    bool version = false;
};

inline constexpr long double lowest_rate = 0.0001L;
inline constexpr long double highest_rate = 1000000;
inline constexpr long double lowest_speed = 0.001L;
inline constexpr long double highest_speed = 1000000;
// The most frames per second a receiver showing them on a real terminal
// took without losing one (measured in a terminal window; at twice this it
// lost some). The sender warns when it is asked for more.
inline constexpr std::uint64_t lossless_rate = 20000;
inline constexpr std::size_t largest_datagram = 65507;  // UDP over IPv4
// The frame carries the altitude in 16 bits.
inline constexpr long double highest_burst = 32000;

// Fills `options` from argv[1..argc-1]. On a bad command line returns false
// with `problem` saying why (without the program name or a line end).
bool parse_send_options(int argc, const char* const* argv, send_options& options,
                        std::string& problem);

// The --help text, ending in a line end.
const char* send_usage();
