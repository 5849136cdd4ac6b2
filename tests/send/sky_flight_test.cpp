#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "flight_simulation.h"
#include "received_frame.h"
#include "sky_flight.h"

namespace {

double fall_speed_at(const sky_flight& flight, double altitude)
{
    auto s = static_cast<std::size_t>(flight.burst);
    while (flight.seconds[s].altitude > altitude) ++s;
    return (flight.seconds[s - 15].altitude - flight.seconds[s + 15].altitude) / 30;
}

}  // namespace

TEST(sky_flight, climbs_bursts_tumbles_and_falls_as_the_air_thickens)
{
    sky_plan plan;
    plan.winds = {level_from_sounding(0, 10, 270)};  // a west wind: the flight goes east
    plan.vertical_air = 0;
    const sky_flight flight = fly_sky(plan);

    const sky_fix pad = sky_fix_at(flight, 30);
    EXPECT_EQ(pad.stage, sky_stage::pad);
    EXPECT_DOUBLE_EQ(pad.truth.altitude, plan.launch_altitude);
    EXPECT_NEAR(flight.burst - flight.liftoff, (plan.burst_altitude - plan.launch_altitude) / plan.ascent_rate,
                0.05 * flight.burst);
    EXPECT_NEAR(sky_fix_at(flight, flight.burst - 1).truth.altitude, plan.burst_altitude, 10);

    // Tumbling: faster than the open canopy at the same height.
    const double tumbling = (sky_fix_at(flight, flight.burst + 20).truth.altitude -
                             sky_fix_at(flight, flight.burst + 60).truth.altitude) / 40;
    const double open = plan.sea_level_descent_rate * std::sqrt(sky_density(0) / sky_density(plan.burst_altitude - 1500));
    EXPECT_GT(tumbling, 1.1 * open);
    // Then the density's law: 5 m/s at the sea, faster where the air is thin.
    for (const double h : {20000.0, 10000.0, 3000.0}) {
        EXPECT_NEAR(fall_speed_at(flight, h), 5 * std::sqrt(sky_density(0) / sky_density(h)), 0.02 * fall_speed_at(flight, h))
            << h;
    }

    // Drifting east with the wind all the way, and lying where it came down.
    const double airborne = flight.landing - flight.liftoff;
    const double east = (flight.landing_point.longitude - plan.launch_longitude) * 111320 *
                        std::cos(plan.launch_latitude * M_PI / 180);
    EXPECT_NEAR(east / airborne, 10, 0.1);
    EXPECT_NEAR(flight.landing_point.latitude, plan.launch_latitude, 0.001);
    EXPECT_DOUBLE_EQ(flight.landing_point.altitude, plan.ground_altitude);
    const sky_fix down = sky_fix_at(flight, flight.landing + 600);
    EXPECT_EQ(down.stage, sky_stage::landed);
    EXPECT_DOUBLE_EQ(down.truth.longitude, flight.landing_point.longitude);

    // The GPS wanders by metres, not by tens of metres, and alike every run.
    const sky_fix fix = sky_fix_at(flight, flight.burst + 600);
    EXPECT_NE(fix.reported.latitude, fix.truth.latitude);
    EXPECT_LT(std::fabs(fix.reported.latitude - fix.truth.latitude) * 111000, 3 * plan.gps_noise);
    EXPECT_LT(std::fabs(fix.reported.altitude - fix.truth.altitude), 6 * plan.gps_noise);
    EXPECT_EQ(sky_fix_at(fly_sky(plan), flight.burst + 600).reported.latitude, fix.reported.latitude);
}

// Frames of a sky flight carry the tracker's fixes through the receiver's
// decoder, and its stages in order.
TEST(sky_flight, frames_decode_to_the_trackers_fixes)
{
    flight_state state;
    state.sky = std::make_shared<const sky_flight>(fly_sky(sky_plan{}));
    state.step = 20;
    receiver_state receiver;
    flight_phase last = flight_phase::pad;
    while (static_cast<double>(state.frames) * 20 < state.sky->landing + 200) {
        const flight_frame frame = step_flight(state);
        decoded_frame d;
        ASSERT_TRUE(receive_frame_text(frame_hex_text(encode_frame(frame.fields)), receiver, d));
        EXPECT_NEAR(d.latitude, frame.sample.latitude, 1e-5);
        EXPECT_NEAR(d.longitude, frame.sample.longitude, 1e-5);
        EXPECT_NEAR(d.altitude, frame.sample.altitude, 0.5);
        EXPECT_GE(static_cast<int>(frame.sample.phase), static_cast<int>(last));
        last = frame.sample.phase;
    }
    EXPECT_EQ(last, flight_phase::landed);
}

TEST(sky_flight, reads_wind_profiles_as_soundings_give_them)
{
    struct row {
        const char* text;
        std::size_t levels;
        std::size_t bad_line;
        const char* problem;
    };
    const row rows[] = {
        {"# height speed direction\n0 5 270\r\n\n 1000\t10  180 # a comment\n", 2, 0, ""},
        {"0 5 270\n1000 10\n", 0, 2, "expected three numbers"},
        {"0 5 270\n-2000 10 90\n", 0, 2, "height must be"},
        {"0 five 270\n", 0, 1, "speed must be"},
        {"0 5 361\n", 0, 1, "direction must be"},
        {"0 5 nan\n", 0, 1, "direction must be"},
        {"1000 5 90\n1000 6 90\n", 0, 2, "heights must rise"},
        {"# nothing\n\n", 0, 0, "no wind levels"},
    };
    for (const row& r : rows) {
        std::vector<wind_level> levels;
        std::size_t bad_line = 99;
        std::string problem;
        EXPECT_EQ(read_wind_profile(r.text, levels, bad_line, problem), r.levels > 0) << r.text;
        EXPECT_EQ(levels.size(), r.levels) << r.text;
        EXPECT_EQ(bad_line, r.bad_line) << r.text;
        EXPECT_NE(problem.find(r.problem), std::string::npos) << r.text << problem;
    }
    std::vector<wind_level> levels;
    std::size_t bad_line = 0;
    std::string problem;
    ASSERT_TRUE(read_wind_profile("0 10 270\n2000 20 180\n", levels, bad_line, problem));
    // From the west blows east; from the south blows north; between, linear.
    EXPECT_NEAR(levels[0].east, 10, 1e-9);
    EXPECT_NEAR(levels[1].north, 20, 1e-9);
    const wind_vector_mps middle = wind_between_levels(levels, 1000);
    EXPECT_NEAR(middle.east, 5, 1e-9);
    EXPECT_NEAR(middle.north, 10, 1e-9);
    EXPECT_NEAR(wind_between_levels(levels, 9000).north, 20, 1e-9);
}
