// Where the payload will come down, from liftoff on, recomputed as fixes
// arrive. The flight is its own weather station: on the way up the balloon
// measures the wind at every height it passes (wind_profile.h); after the
// burst the payload's fall measures how its parachute holds in air of each
// density (descent_model.h), and its drift how the wind has changed since
// the climb. The prediction flies the rest of the flight through both: up
// at the measured rate to the burst height, then down through the winds
// and the air's density to the ground.
//
// Fed one fix at a time, in any units of time that count seconds (the
// receiver's clock, UTC, seconds since launch): every answer is on that
// scale, and nothing here reads a clock, so an old log predicts as it did
// on the day.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <vector>

#include "descent_model.h"
#include "wind_profile.h"

struct track_sample {
    double time = 0;  // seconds
    double latitude = 0;  // degrees north, WGS84
    double longitude = 0;  // degrees east
    double altitude = 0;  // metres above mean sea level
};

struct prediction_settings {
    double burst_altitude = 30000;  // metres; the balloon's own height when it is higher
    double sea_level_descent_rate = 5;  // metres per second, until the descent measures its own
    std::optional<double> ground_altitude;  // metres; the launch height when absent
};

// What has happened so far, each stated once its evidence is in.
enum class flight_progress {
    waiting,  // no fix yet
    pad,  // on the ground before liftoff
    ascent,  // climbing since a liftoff
    descent,  // falling since a burst
    landed,  // lying still after the fall
};

struct predicted_point {
    double time = 0;  // on the samples' scale
    double latitude = 0;
    double longitude = 0;
    double altitude = 0;
};

struct landing_prediction {
    flight_progress progress = flight_progress::ascent;
    predicted_point landing;
    // Metres around `landing` within which the payload comes down in about
    // nine flights of ten (see predicted_radius in the source).
    double radius = 0;
    // From the present fix through the burst (while climbing) to the
    // landing: a point for every kilometre of height, and the burst.
    std::vector<predicted_point> path;
    std::optional<predicted_point> burst;  // where it is expected, or where it was
    double ascent_rate = 0;  // m/s used for the rest of the climb (0 once it is over)
    descent_law descent;  // the law used for the fall
    double ground_altitude = 0;  // where the fall ends
    // Of the flight left, the seconds spent above the highest wind measured
    // so far, where the prediction can only carry that wind on.
    double unmeasured_seconds = 0;
};

struct landing_predictor {
    prediction_settings settings;
    flight_progress progress = flight_progress::waiting;
    // The fixes taken, newest last, for looking back over the last minutes.
    std::array<track_sample, 512> recent{};
    std::size_t recent_count = 0;
    std::size_t recent_next = 0;
    std::size_t rejected_in_row = 0;
    double pad_altitude = 0;
    std::optional<track_sample> launch;
    track_sample highest;
    std::optional<track_sample> burst;
    std::optional<track_sample> landed;
    double last_rate_time = 0;  // when the last fall speed was measured
    bool descent_settled = false;
    wind_profile winds;
    descent_calibration calibration;
};

landing_predictor make_landing_predictor(const prediction_settings& settings);

// Takes the next fix. Promises: a fix no later than the last one taken, or
// with an impossible position (not finite, beyond ±90/±180, exactly 0,0) or
// height, or a jump from the last one faster than anything that flies
// (a GPS glitch) is ignored and false returned; after several jumps in a
// row the track is taken to have moved on and is followed again. The wind
// is measured only between fixes at most a minute apart, from liftoff to
// landing; fall speeds only from the second minute after the burst on,
// once they follow the density of the air again rather than the tumbling
// of a tangled parachute. Memory stays the same however long the flight.
bool add_track_sample(landing_predictor& predictor, const track_sample& sample);

// Promises: nothing before liftoff; from liftoff to landing, the flight
// from the last fix on; once landed, the place where the payload lies.
// Costs about a tenth of a millisecond of CPU (bench/landing measures it),
// the same late in a long flight as early: ask it at most once per fix
// taken, and off any lock a reader waits on.
std::optional<landing_prediction> predict_landing(const landing_predictor& predictor);
