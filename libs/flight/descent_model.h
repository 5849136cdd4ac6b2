// How fast a payload falls under its parachute. Its weight is held by the
// drag of the air, which grows with the air's density and the square of
// the speed, so with a constant drag area the fall speed goes as
// 1/sqrt(density): 5 m/s near the sea is 9 m/s at 11 km and 40 m/s at
// 30 km. Real descents lean further from that the thinner the air (a
// canopy half open among the burst balloon's shreds holds less), so the law
// is rate(h) = v0 * (density(0) / density(h))^k, with k = 1/2 for a constant
// drag area, and v0 and k learnt from the descent itself.
#pragma once

#include <array>

#include "wind_profile.h"

// Sums of the measured fall speeds by height band, in the plane of
// x = ln(density(0) / density(h)) and y = ln(rate), where the law is a line
// of slope k through ln(v0).
struct descent_sums {
    double count = 0;
    double x = 0;
    double y = 0;
    double xx = 0;
    double xy = 0;
};

struct descent_calibration {
    std::array<descent_sums, wind_band_count> bands;
    double count = 0;  // measurements in all bands
};

// One measured fall speed (metres per second, downwards) at the middle
// height of its measurement. Speeds below 0.5 m/s tell nothing about a
// parachute and are left out.
void add_descent_rate(descent_calibration& calibration, double altitude, double rate);

struct descent_law {
    double sea_level_rate = 5;  // v0, metres per second
    double exponent = 0.5;  // k
};

// The law for the fall below `altitude`. Promises: the given sea-level rate
// and k = 1/2 while nothing is measured; then a weighted least-squares line
// through the measurements, weighted by how close above `altitude` they were
// taken (the speed just above tells most about the speed below), its slope
// held towards 1/2 unless the measurements span enough of the air's density
// to show otherwise, and kept within [0.4, 0.8]; the given rate counts as
// half a minute of measurement at first, and ever less as the fall's own
// measurements come in.
descent_law fitted_descent_law(const descent_calibration& calibration, double altitude,
                               double given_sea_level_rate);

// Metres per second downwards at an altitude.
double descent_rate_at(const descent_law& law, double altitude);

// x of the sums above: ln(density(0) / density(h)).
double thinning_at(double altitude);
