#include "wind_profile.h"

#include <algorithm>
#include <cmath>

namespace {

// How far below the falling payload a change it measured still counts, and
// over how much height above it that change is measured.
constexpr double change_fading_height = 1500;  // metres
constexpr double change_measuring_height = 500;  // metres

void add_to(wind_sums& band, double share, double seconds, double east, double north)
{
    band.seconds += share * seconds;
    band.east += share * east;
    band.north += share * north;
    // A leg taken back leaves rounding behind, never a negative time.
    if (band.seconds < 1e-9) band = wind_sums{};
}

// The mean of (fall - climb) over the bands from `from` up through
// `change_measuring_height` where both were measured, weighted by the fall's
// time in each.
wind_vector fall_against_climb(const wind_profile& profile, double from)
{
    const std::size_t lowest = wind_band_at(from);
    const std::size_t highest = wind_band_at(from + change_measuring_height);
    double seconds = 0;
    wind_vector change;
    for (std::size_t b = lowest; b <= highest; ++b) {
        const std::optional<wind_vector> fall = band_wind(profile.falling[b]);
        const std::optional<wind_vector> climb = band_wind(profile.rising[b]);
        if (!fall || !climb) continue;
        const double weight = profile.falling[b].seconds;
        change.east += weight * (fall->east - climb->east);
        change.north += weight * (fall->north - climb->north);
        seconds += weight;
    }
    if (seconds > 0) {
        change.east /= seconds;
        change.north /= seconds;
    }
    return change;
}

}  // namespace

std::optional<wind_vector> band_wind(const wind_sums& band)
{
    if (band.seconds < least_band_seconds) return std::nullopt;
    return wind_vector{band.east / band.seconds, band.north / band.seconds};
}

std::size_t wind_band_at(double altitude)
{
    if (!(altitude > 0)) return 0;
    const double band = std::floor(altitude / wind_band_height);
    return band >= static_cast<double>(wind_band_count) ? wind_band_count - 1 : static_cast<std::size_t>(band);
}

double wind_band_middle(std::size_t band)
{
    return (static_cast<double>(band) + 0.5) * wind_band_height;
}

void add_wind_leg(wind_profile& profile, leg_phase phase, double altitude1, double altitude2,
                  double seconds, double east, double north, double sign)
{
    auto& bands = phase == leg_phase::rising ? profile.rising : profile.falling;
    const double low = std::min(altitude1, altitude2);
    const double high = std::max(altitude1, altitude2);
    const std::size_t first = wind_band_at(low);
    const std::size_t last = wind_band_at(high);
    if (first == last || high - low <= 0) {
        add_to(bands[first], sign, seconds, east, north);
        return;
    }
    for (std::size_t b = first; b <= last; ++b) {
        // The lowest and highest bands also take what lies beyond the bands.
        const double bottom = b == first ? low : static_cast<double>(b) * wind_band_height;
        const double top = b == last ? high : static_cast<double>(b + 1) * wind_band_height;
        const double share = (top - bottom) / (high - low);
        if (share > 0) add_to(bands[b], sign * share, seconds, east, north);
    }
}

wind_table make_wind_table(const wind_profile& profile, std::optional<double> descending_from)
{
    wind_table table;
    std::array<bool, wind_band_count> known{};
    const wind_vector change =
        descending_from ? fall_against_climb(profile, *descending_from) : wind_vector{};
    for (std::size_t b = 0; b < wind_band_count; ++b) {
        std::optional<wind_vector> wind = band_wind(profile.falling[b]);
        if (!wind) {
            wind = band_wind(profile.rising[b]);
            if (wind && descending_from && wind_band_middle(b) < *descending_from) {
                const double fading = std::exp(-(*descending_from - wind_band_middle(b)) / change_fading_height);
                wind->east += change.east * fading;
                wind->north += change.north * fading;
            }
        }
        if (!wind) continue;
        table.bands[b] = *wind;
        known[b] = true;
    }
    // Fill the gaps: linearly between measured bands, flat beyond them.
    std::size_t previous = wind_band_count;
    for (std::size_t b = 0; b < wind_band_count; ++b) {
        if (!known[b]) continue;
        if (previous == wind_band_count) {
            for (std::size_t below = 0; below < b; ++below) table.bands[below] = table.bands[b];
        } else {
            const double span = static_cast<double>(b - previous);
            for (std::size_t between = previous + 1; between < b; ++between) {
                const double f = static_cast<double>(between - previous) / span;
                table.bands[between].east = table.bands[previous].east * (1 - f) + table.bands[b].east * f;
                table.bands[between].north = table.bands[previous].north * (1 - f) + table.bands[b].north * f;
            }
        }
        previous = b;
    }
    if (previous == wind_band_count) return table;
    for (std::size_t above = previous + 1; above < wind_band_count; ++above) table.bands[above] = table.bands[previous];
    table.measured = true;
    table.highest_measured = previous;
    return table;
}

wind_vector wind_at(const wind_table& table, double altitude)
{
    const double position = altitude / wind_band_height - 0.5;
    if (!(position > 0)) return table.bands.front();
    const double last = static_cast<double>(wind_band_count - 1);
    if (position >= last) return table.bands.back();
    const auto below = static_cast<std::size_t>(position);
    const double f = position - static_cast<double>(below);
    const wind_vector& a = table.bands[below];
    const wind_vector& b = table.bands[below + 1];
    return wind_vector{a.east + (b.east - a.east) * f, a.north + (b.north - a.north) * f};
}
