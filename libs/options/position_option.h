// "LAT,LON" or "LAT,LON,ALT": where a station stands, as the companions'
// --station options take it.
#pragma once

#include <string>
#include <string_view>

struct position_option {
    double latitude = 0;  // degrees north
    double longitude = 0;  // degrees east
    double altitude = 0;  // metres, when given
    bool altitude_given = false;
};

// Reads degrees and metres (south and west negative) in the C locale's
// spelling. False with `problem`, naming `option`, for anything else or a
// point off the globe.
bool parse_position_option(const std::string& text, const std::string& option, position_option& position,
                           std::string& problem);

// A real number in the C locale's spelling, finite, the whole text.
bool read_real_number(std::string_view text, double& value);
