// The air a payload falls through: the 1976 U.S. Standard Atmosphere, the
// average mid-latitude sky that balloon predictors calibrate against. A
// parachute's fall speed follows the air's density, so the landing
// prediction asks it for nothing else; temperature and pressure come along
// because they are what a sounding or a table can be checked against.
#pragma once

struct air_state {
    double temperature = 0;  // kelvin
    double pressure = 0;  // pascals
    double density = 0;  // kilograms per cubic metre
};

// Promises: the standard's values (its seven layers of fixed temperature
// gradient, up to 84.852 km of geopotential height, about 86 km above the
// sea) for a geometric altitude in metres above mean sea level; below the
// sea the lowest layer goes on, above the top the highest. Every value is
// finite and positive for any finite altitude from -5 km to 100 km.
air_state standard_atmosphere(double altitude);

// The density at sea level, 1.225 kg/m3.
inline constexpr double sea_level_density = 1.225;
