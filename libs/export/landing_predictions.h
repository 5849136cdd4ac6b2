// What the landing prediction said as the flight went on, read back from a
// finished log: the predicted landing beside every frame (so a team can see
// how it converged), and the three moments a chase is planned on, held
// against where the payload came down.
#pragma once

#include <cstddef>
#include <optional>

#include "flight_model.h"
#include "landing_prediction.h"

// The CSV's predictions are made anew at most this often in flight time
// (each takes about a tenth of a millisecond); the frames between carry
// the one made last.
inline constexpr double csv_prediction_interval = 10;  // seconds

struct predicted_landing {
    std::int64_t time = 0;  // UTC seconds
    double latitude = 0;
    double longitude = 0;
    double radius = 0;  // metres
};

// The flight's points in order, each fed to one predictor.
class prediction_walk {
public:
    prediction_walk(const flight& f, const prediction_settings& settings, double interval);
    // The prediction as it stood after point `index`; indices must not go
    // back. Empty before the liftoff.
    const std::optional<predicted_landing>& at(std::size_t index);

private:
    const flight& flight_;
    landing_predictor predictor_;
    double interval_;
    std::size_t next_ = 0;
    std::optional<double> made_at_;
    std::optional<predicted_landing> latest_;
};

// What the prediction said at one moment, and how far from the landing.
struct prediction_said {
    std::size_t point = 0;  // the frame it was made after
    predicted_landing landing;
    std::optional<double> miss;  // metres over the ground; none without a landing
};

struct prediction_review {
    // The first prediction from the liftoff on; the one at the burst; the
    // last one ten minutes or more before the landing.
    std::optional<prediction_said> liftoff;
    std::optional<prediction_said> burst;
    std::optional<prediction_said> before_landing;
};

inline constexpr std::int64_t review_before_landing = 600;  // seconds

prediction_review review_predictions(const flight& f, const prediction_settings& settings);
