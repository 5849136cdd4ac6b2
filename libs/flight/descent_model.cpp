#include "descent_model.h"

#include <algorithm>
#include <cmath>

#include "atmosphere.h"

namespace {

constexpr double constant_drag_exponent = 0.5;
constexpr double lowest_exponent = 0.4;
constexpr double highest_exponent = 0.8;
// How firmly the exponent is held at 1/2: the squared ratio of the scatter
// of the measurements (about 10 % of the speed, from vertical air motion and
// swinging, alike over some ten measurements in a row) to how far the
// exponent may plausibly stray (about 0.1), in units of the measurements'
// spread in x.
constexpr double speed_scatter = 0.05;
constexpr double measurements_alike = 6;
constexpr double exponent_spread = 0.1;
constexpr double exponent_holding =
    speed_scatter * speed_scatter * measurements_alike / (exponent_spread * exponent_spread);
// Measurements a kilometre farther above count 1/e^(1/4) as much.
constexpr double recency_height = 4000;  // metres
// The given rate counts as half a minute of measurement at first, and ever
// less as the fall's own measurements come in.
constexpr double given_rate_measurements = 3;

}  // namespace

double thinning_at(double altitude)
{
    return std::log(sea_level_density / standard_atmosphere(altitude).density);
}

void add_descent_rate(descent_calibration& calibration, double altitude, double rate)
{
    if (!(rate >= 0.5) || !std::isfinite(rate) || !std::isfinite(altitude)) return;
    const double x = thinning_at(altitude);
    const double y = std::log(rate);
    descent_sums& band = calibration.bands[wind_band_at(altitude)];
    band.count += 1;
    band.x += x;
    band.y += y;
    band.xx += x * x;
    band.xy += x * y;
    calibration.count += 1;
}

descent_law fitted_descent_law(const descent_calibration& calibration, double altitude,
                               double given_sea_level_rate)
{
    descent_law law{given_sea_level_rate, constant_drag_exponent};
    if (calibration.count == 0 || !(given_sea_level_rate > 0)) return law;
    descent_sums all;
    for (std::size_t b = 0; b < wind_band_count; ++b) {
        const descent_sums& band = calibration.bands[b];
        if (band.count == 0) continue;
        const double above = std::max(0.0, wind_band_middle(b) - altitude);
        const double weight = std::exp(-above / recency_height);
        all.count += weight * band.count;
        all.x += weight * band.x;
        all.y += weight * band.y;
        all.xx += weight * band.xx;
        all.xy += weight * band.xy;
    }
    // The given rate, as measurements on its own law at the measurements'
    // mean height.
    const double mean_x = all.x / all.count;
    const double given_y = std::log(given_sea_level_rate) + constant_drag_exponent * mean_x;
    const double given = given_rate_measurements / (1 + calibration.count / given_rate_measurements);
    all.count += given;
    all.x += given * mean_x;
    all.y += given * given_y;
    all.xx += given * mean_x * mean_x;
    all.xy += given * mean_x * given_y;

    const double spread_xx = all.xx - all.x * all.x / all.count;
    const double spread_xy = all.xy - all.x * all.y / all.count;
    const double exponent =
        std::clamp((spread_xy + exponent_holding * constant_drag_exponent) / (spread_xx + exponent_holding),
                   lowest_exponent, highest_exponent);
    law.exponent = exponent;
    law.sea_level_rate = std::exp((all.y - exponent * all.x) / all.count);
    return law;
}

double descent_rate_at(const descent_law& law, double altitude)
{
    return law.sea_level_rate * std::exp(law.exponent * thinning_at(altitude));
}
