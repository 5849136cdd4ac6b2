#include "landing_predictions.h"

#include <cmath>

#include "geodesy.h"

namespace {

track_sample sample_of(const flight_point& p)
{
    return {static_cast<double>(p.utc_time), p.frame.latitude, p.frame.longitude,
            static_cast<double>(p.frame.altitude)};
}

std::optional<predicted_landing> landing_of(const std::optional<landing_prediction>& prediction)
{
    if (!prediction) return std::nullopt;
    return predicted_landing{std::llround(prediction->landing.time), prediction->landing.latitude,
                             prediction->landing.longitude, prediction->radius};
}

}  // namespace

prediction_walk::prediction_walk(const flight& f, const prediction_settings& settings, double interval)
    : flight_(f), predictor_(make_landing_predictor(settings)), interval_(interval)
{
}

const std::optional<predicted_landing>& prediction_walk::at(std::size_t index)
{
    bool taken = false;
    for (; next_ <= index && next_ < flight_.points.size(); ++next_)
        taken = add_track_sample(predictor_, sample_of(flight_.points[next_])) || taken;
    const double now = static_cast<double>(flight_.points[index].utc_time);
    if (taken && (!latest_ || !made_at_ || now - *made_at_ >= interval_)) {
        latest_ = landing_of(predict_landing(predictor_));
        if (latest_) made_at_ = now;
    }
    return latest_;
}

prediction_review review_predictions(const flight& f, const prediction_settings& settings)
{
    prediction_review review;
    if (!f.liftoff) return review;
    std::optional<std::size_t> before_landing;
    if (f.landing) {
        const std::int64_t until = f.points[*f.landing].utc_time - review_before_landing;
        for (std::size_t i = *f.landing; i-- > *f.liftoff && !before_landing;) {
            if (f.points[i].utc_time <= until) before_landing = i;
        }
    }
    const auto said = [&](std::size_t i, const landing_prediction& p) {
        prediction_said s{i, *landing_of(p), std::nullopt};
        if (f.landing) {
            const flight_point& down = f.points[*f.landing];
            s.miss = ground_path(s.landing.latitude, s.landing.longitude, down.frame.latitude,
                                 down.frame.longitude)
                         .distance;
        }
        return s;
    };
    landing_predictor predictor = make_landing_predictor(settings);
    for (std::size_t i = 0; i < f.points.size(); ++i) {
        if (!add_track_sample(predictor, sample_of(f.points[i]))) continue;
        const bool first = !review.liftoff && i >= *f.liftoff;
        const bool burst = f.burst && !review.burst && i >= *f.burst;
        const bool before = before_landing && !review.before_landing && i >= *before_landing;
        if (!first && !burst && !before) continue;
        const std::optional<landing_prediction> p = predict_landing(predictor);
        if (!p) continue;
        if (first) review.liftoff = said(i, *p);
        if (burst) review.burst = said(i, *p);
        if (before) review.before_landing = said(i, *p);
    }
    return review;
}
