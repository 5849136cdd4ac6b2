// The wind by height, as the balloon itself measured it: a free balloon and
// a payload under its parachute both drift with the air, so the ground
// track between two fixes, divided by the time between them, is the wind
// at their height. Kept in bands of fixed height, the climb's measurement
// and the fall's apart: the fall passes the same heights an hour or two
// later and tens of kilometres away, and where it has been it knows better.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

inline constexpr double wind_band_height = 250;  // metres
inline constexpr std::size_t wind_band_count = 200;  // from sea level to 50 km

struct wind_vector {
    double east = 0;  // metres per second towards the east
    double north = 0;  // metres per second towards the north
};

// Sums rather than means: a leg's displacement is added whole, so the GPS
// jitter of the fixes in between cancels, and only the jitter at a band's
// two ends is left, spread over the band's whole time.
struct wind_sums {
    double east = 0;  // metres
    double north = 0;  // metres
    double seconds = 0;
};

struct wind_profile {
    std::array<wind_sums, wind_band_count> rising;
    std::array<wind_sums, wind_band_count> falling;
};

enum class leg_phase { rising, falling };

// One leg between consecutive fixes: `east` and `north` metres over the
// ground in `seconds`, between two altitudes. Promises: the leg is shared
// among the bands it crosses in proportion to the height it spends in each
// (a leg that keeps its height counts in its band); heights outside the
// bands count in the lowest or highest; `sign` -1 takes back a leg added
// before (a fall that was still counted as climb until it was certain).
void add_wind_leg(wind_profile& profile, leg_phase phase, double altitude1, double altitude2,
                  double seconds, double east, double north, double sign = 1);

// A band's height range is [index * wind_band_height, (index + 1) * ...).
std::size_t wind_band_at(double altitude);
double wind_band_middle(std::size_t band);

// How long a band must have been flown through for its wind to count.
inline constexpr double least_band_seconds = 5;

// A band's mean wind, once it has been flown through long enough; what the
// map and the export show of the winds measured.
std::optional<wind_vector> band_wind(const wind_sums& band);

// The winds to fly a prediction through, every band filled.
struct wind_table {
    std::array<wind_vector, wind_band_count> bands;
    bool measured = false;  // false: nothing was measured, every band is calm
    std::size_t highest_measured = 0;  // the highest band with a measurement
};

// Promises: in each band the fall's own wind where it has one, else the
// climb's; when `descending_from` is a height (the payload's, while it
// falls), the bands below it that the fall has not reached yet get the
// climb's wind plus the change the fall found over the last 2 km it
// passed (its winds against the climb's at the same heights), fading with
// the distance below the payload (the change in a wind profile over an
// hour or two is alike over a kilometre or two of height, not over ten).
// Between measured bands the wind goes linearly; above the highest and
// below the lowest it stays as there.
wind_table make_wind_table(const wind_profile& profile, std::optional<double> descending_from);

// The wind at an altitude, linearly between the middles of the bands.
wind_vector wind_at(const wind_table& table, double altitude);
