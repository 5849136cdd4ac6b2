// What the landing prediction said along a real flight: beside every frame
// from the liftoff on, and in the summary at the moments a chase is
// planned on, with how far each was from the landing.
#include <gtest/gtest.h>

#include <cmath>

#include "landing_predictions.h"
#include "summary.h"
#include "support/real_flight_log.h"

namespace {

flight real_flight_until(const std::string& until)
{
    const std::string text = real_flight_log();
    std::size_t end = 0;
    while (end < text.size() && text.compare(text.find(',', end) + 1, 8, until) <= 0) end = text.find('\n', end) + 1;
    return build_flight({read_log_text(real_flight_log_name, text.substr(0, end))}, -360);
}

}  // namespace

TEST(landing_predictions, every_frame_from_the_liftoff_carries_one_made_at_most_every_interval)
{
    const flight f = real_flight_until("23:59:59");
    ASSERT_TRUE(f.liftoff && f.landing);
    prediction_walk walk(f, prediction_settings{}, csv_prediction_interval);
    std::optional<predicted_landing> before;
    std::int64_t changed_at = 0;
    for (std::size_t i = 0; i < f.points.size(); ++i) {
        const std::optional<predicted_landing> now = walk.at(i);
        if (i <= *f.liftoff) {
            ASSERT_FALSE(now) << "before the liftoff, at " << i;
        } else if (i > *f.liftoff + 60) {
            ASSERT_TRUE(now) << "a minute after the liftoff, at " << i;
        }
        if (now && before && (now->latitude != before->latitude || now->time != before->time)) {
            EXPECT_GE(f.points[i].utc_time - changed_at, csv_prediction_interval) << i;
            changed_at = f.points[i].utc_time;
        }
        if (now && !before) changed_at = f.points[i].utc_time;
        before = now;
    }
}

TEST(landing_predictions, the_summary_says_what_was_predicted_and_how_far_it_missed)
{
    struct cut {
        const char* until;
        bool burst;
        bool landed;  // the miss and the last ten minutes are known
    };
    for (const cut& c : {cut{"13:15:00", false, false}, cut{"15:00:00", true, false}, cut{"23:59:59", true, true}}) {
        const flight f = real_flight_until(c.until);
        const prediction_review review = review_predictions(f, prediction_settings{});
        const std::string text = summary_text(f, summarize(f), {}, {}, review);
        const nlohmann::json json = summary_json(f, summarize(f), {}, {}, review, prediction_settings{});
        const nlohmann::json& said = json.at("landing_prediction");
        EXPECT_EQ(review.liftoff.has_value(), f.liftoff.has_value()) << c.until;
        EXPECT_EQ(review.burst.has_value(), c.burst) << c.until;
        EXPECT_EQ(review.before_landing.has_value(), c.landed) << c.until;
        EXPECT_EQ(said.at("burst").is_null(), !c.burst) << c.until;
        EXPECT_EQ(text.find("at liftoff: ") != std::string::npos, f.liftoff.has_value()) << text;
        EXPECT_EQ(text.find("from the landing") != std::string::npos, c.landed) << text;
        if (!c.landed) continue;
        const std::int64_t landing = f.points[*f.landing].utc_time;
        const std::int64_t made = f.points[review.before_landing->point].utc_time;
        EXPECT_LE(made, landing - review_before_landing);
        EXPECT_GT(made, landing - review_before_landing - 10);
        // The prediction converges: ten minutes out it is far nearer than at the liftoff.
        EXPECT_LT(*review.before_landing->miss, *review.liftoff->miss / 4);
        EXPECT_DOUBLE_EQ(said.at("before_landing").at("miss"), std::round(*review.before_landing->miss * 10) / 10);
        EXPECT_NE(text.find("10 min before landing: "), std::string::npos) << text;
    }
}
