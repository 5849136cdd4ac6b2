#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "flight_simulation.h"
#include "received_frame.h"

namespace {

// Frame times are local times; pin the zone so that they can be written down.
void use_utc()
{
    setenv("TZ", "UTC0", 1);
    tzset();
}

}  // namespace

// A whole flight at 10 simulated seconds a frame, every frame through the
// receiver's decoder, checked against what the simulation meant.
TEST(flight_simulation, frames_decode_to_what_the_flight_meant)
{
    use_utc();
    flight_state flight;
    flight.start_time = 12 * 3600;  // 12:00:00 UTC on the first day of the epoch
    flight.step = 10;
    const auto frames = static_cast<int>(landing_time(flight.plan) / flight.step) + 20;

    receiver_state state;
    flight_phase last_phase = flight_phase::ascent;
    long double highest = 0;
    for (int i = 0; i < frames; ++i) {
        const flight_frame frame = step_flight(flight);
        const flight_sample& s = frame.sample;
        decoded_frame d;
        ASSERT_TRUE(receive_frame_text(frame_hex_text(encode_frame(frame.fields)), state, d)) << i;

        EXPECT_EQ(d.counter, i + 1);
        const long double seconds = 12 * 3600 + 10.0L * i;
        EXPECT_EQ(d.seconds_of_day, static_cast<std::int32_t>(seconds) % 86400) << i;
        EXPECT_NEAR(d.altitude, s.altitude, 0.5) << i;
        EXPECT_NEAR(d.latitude, s.latitude, 1e-5) << i;
        EXPECT_NEAR(d.longitude, s.longitude, 1e-5) << i;
        EXPECT_NEAR(d.speed / 1.852, s.speed_knots, 0.5) << i;
        EXPECT_EQ(d.satellites, s.satellites) << i;
        EXPECT_GE(d.satellites, 6);
        EXPECT_LE(d.satellites, 12);
        EXPECT_NEAR(d.temperature, std::fmax(s.temperature, -128), 0.5) << i;
        EXPECT_NEAR(d.battery_voltage, s.battery_voltage, 0.0098 + 0.005) << i;
        // 10 s between frames is more than the receiver's 5 s, so it derives
        // the rate of climb the flight had (rounded altitudes aside).
        if (i > 0 && s.phase == last_phase && s.phase == flight_phase::ascent) {
            EXPECT_NEAR(d.climb_rate, flight.plan.ascent_rate, 0.11) << i;
        } else if (i > 0 && s.phase == last_phase && s.phase == flight_phase::descent) {
            EXPECT_NEAR(d.climb_rate, -flight.plan.descent_rate, 0.11) << i;
        }

        EXPECT_LE(static_cast<int>(s.phase), static_cast<int>(flight_phase::landed));
        EXPECT_GE(static_cast<int>(s.phase), static_cast<int>(last_phase)) << "phases go one way";
        last_phase = s.phase;
        highest = std::fmax(highest, s.altitude);
        if (s.phase == flight_phase::landed) {
            EXPECT_EQ(d.altitude, 760);
            EXPECT_EQ(d.speed, 0);
        }
    }
    EXPECT_EQ(last_phase, flight_phase::landed);
    EXPECT_GT(highest, flight.plan.burst_altitude - 10 * flight.plan.ascent_rate);
    EXPECT_LE(highest, flight.plan.burst_altitude);
}

TEST(flight_simulation, counter_starts_at_one_and_wraps_as_signed_16_bit)
{
    struct row {
        std::uint64_t frames_before;
        std::int16_t counter;
    };
    const row rows[] = {{0, 1}, {32766, 32767}, {32767, -32768}, {65534, -1}, {65535, 0}, {65536, 1}};
    for (const row& r : rows) {
        flight_state flight;
        flight.frames = r.frames_before;
        EXPECT_EQ(step_flight(flight).fields.counter, r.counter) << r.frames_before;
    }
}

// At four frames a second the time of day changes every fourth frame, on
// whole seconds of the simulated clock.
TEST(flight_simulation, frame_time_follows_the_simulated_clock)
{
    use_utc();
    flight_state flight;
    flight.start_time = 45296.5L;  // 12:34:56.5
    flight.step = 0.25L;
    const int expected_seconds[] = {56, 56, 57, 57, 57, 57, 58};
    for (const int second : expected_seconds) {
        const telemetry_fields f = step_flight(flight).fields;
        EXPECT_EQ(f.hours, 12);
        EXPECT_EQ(f.minutes, 34);
        EXPECT_EQ(f.seconds, second);
    }
}
