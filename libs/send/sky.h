// The sky the simulated balloon flies through: the air's density by height
// and the wind by height, as a team could take them from a sounding. Kept
// apart from the companions' own atmosphere and winds, so that a flight
// simulated here checks their prediction rather than repeating it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Air density in kg/m3 at a height in metres above the sea: the 1976 U.S.
// Standard Atmosphere's five lowest layers (to 51 km; held isothermal
// above), with heights taken as geopotential (0.5 % off at 32 km, less
// below: the sky may differ from the model a little, as the real one does).
double sky_density(double altitude);

// A wind level: the wind at one height, as the velocity it blows towards.
struct wind_level {
    double altitude = 0;  // metres above the sea
    double east = 0;  // metres per second
    double north = 0;
};

// Levels in rising order; between them the wind goes linearly, beyond them
// it stays as at the nearest. No levels: calm.
struct wind_vector_mps {
    double east = 0;
    double north = 0;
};
wind_vector_mps wind_between_levels(const std::vector<wind_level>& levels, double altitude);

// A level from a sounding's words: speed in m/s and the direction the wind
// comes from, in degrees clockwise from north (270: a west wind, blowing
// east).
wind_level level_from_sounding(double altitude, double speed, double from_direction);

// A mid-latitude spring day: light south-westerly air at the ground, veering
// west and strengthening to a jet of about 40 m/s at 10-12 km, weakening
// above the tropopause to almost calm near 21 km, and a light easterly
// above 23 km.
std::vector<wind_level> spring_day_winds();

// Reads "height speed direction" lines (metres above the sea, m/s,
// degrees the wind comes from), blanks or tabs between, '#' starting a
// comment, blank lines ignored; heights must rise from line to line. On a
// bad line returns false with its number in `bad_line` and `problem` saying
// why; a text without any level is refused with `bad_line` 0.
bool read_wind_profile(std::string_view text, std::vector<wind_level>& levels, std::size_t& bad_line,
                       std::string& problem);
