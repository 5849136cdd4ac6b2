#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "flight_model.h"
#include "receiver_lines.h"

namespace {

constexpr int brasilia = -180;  // minutes east of UTC

std::string time_text(int seconds_of_day)
{
    std::string text;
    for (const int part : {seconds_of_day / 3600, seconds_of_day / 60 % 60, seconds_of_day % 60}) {
        if (!text.empty()) text += ':';
        text += static_cast<char>('0' + part / 10);
        text += static_cast<char>('0' + part % 10);
    }
    return text;
}

// A log of frames given by counter, time, altitude and position.
struct frame_at {
    int counter;
    int seconds_of_day;
    int altitude = 1000;
    float latitude = -23.5f;
    float longitude = -46.6f;
    float speed = 20;
};

log_reading log_of(const char* name, const std::vector<frame_at>& frames)
{
    std::string content;
    for (const frame_at& f : frames) {
        const std::string time = time_text(f.seconds_of_day);
        content += receiver_line({.counter = f.counter, .time = time.c_str(), .latitude = f.latitude,
                                  .longitude = f.longitude, .altitude = f.altitude, .speed = f.speed});
    }
    return read_log_text(name, content);
}

std::vector<int> counters(const flight& f)
{
    std::vector<int> result;
    for (const flight_point& p : f.points) result.push_back(p.frame.counter);
    return result;
}

}  // namespace

// Two stations heard the same flight, each with a gap; a receiver restart
// after midnight began a new day's file.
TEST(flight, merges_logs_in_time_order_and_counts_a_frame_heard_twice_once)
{
    const log_reading station_a = log_of("a/QLT_20261208.txt", {{1, 86370}, {2, 86380}, {3, 86390},
                                                               {5, 10}, {6, 20}});
    const log_reading station_b = log_of("b/QLT_20261208.txt", {{2, 86380}, {4, 0}, {5, 10}, {5, 10}});
    const log_reading restarted = log_of("a/QLT_20261209.txt", {{6, 20}, {7, 30}, {8, 30}, {7, 40}});
    const flight f = build_flight({restarted, station_a, station_b}, brasilia);

    EXPECT_EQ(counters(f), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 7}));
    EXPECT_EQ(f.counts.frames_read, 13U);
    EXPECT_EQ(f.counts.duplicates, 4U);  // 2 and 5 from b, 5 again, 6 from the restart
    EXPECT_EQ(f.counts.missing, 0U);
    // Equal times keep the order the logs were given in.
    EXPECT_EQ(f.points[5].source, 0U);
    EXPECT_EQ(f.points[4].source, 1U);
    const std::int64_t midnight = local_seconds({2026, 12, 9}, 0);
    EXPECT_EQ(f.points[3].local_time, midnight);
    EXPECT_EQ(f.points[3].utc_time, midnight + 3 * 3600);
    EXPECT_EQ(f.points[3].line, 2U);
}

TEST(flight, leaves_out_positions_that_cannot_be_real_and_counts_them)
{
    const float infinity = std::numeric_limits<float>::infinity();
    struct row {
        float latitude;
        float longitude;
        bool possible;
    };
    const row rows[] = {
        {0, 0, false},          {-0.0f, 0, false},       {90.5f, 10, false},
        {-90.0001f, 10, false},  {10, 180.0001f, false}, {10, -181, false},
        {infinity, 10, false},  {10, -infinity, false},  {90, 180, true},
        {-90, -180, true},      {0, 5, true},            {-23.55052f, -46.63331f, true},
    };
    std::vector<frame_at> frames;
    std::size_t possible = 0;
    for (const row& r : rows) {
        EXPECT_EQ(is_possible_position(r.latitude, r.longitude), r.possible)
            << r.latitude << "," << r.longitude;
        frames.push_back({static_cast<int>(frames.size()) + 1, 36000 + static_cast<int>(frames.size()),
                          1000, r.latitude, r.longitude});
        if (r.possible) ++possible;
    }
    const flight f = build_flight({log_of("QLT_20261208.txt", frames)}, 0);
    EXPECT_EQ(f.points.size(), possible);
    EXPECT_EQ(f.counts.impossible, std::size(rows) - possible);
    EXPECT_EQ(f.counts.frames_read, std::size(rows));
    EXPECT_EQ(f.counts.missing, 0U);  // left out, but not missing: they were received
}

TEST(flight, counts_frames_missing_from_the_counter_across_its_wrap)
{
    struct row {
        std::vector<int> counters;
        std::size_t missing;
    };
    const row rows[] = {
        {{1, 2, 3}, 0},
        {{1, 4, 5}, 2},
        {{32766, 32767, -32768, -32767}, 0},
        {{32765, -32767}, 3},
        {{-1, 0, 1}, 0},
        {{500, 501, 1, 2}, 0},  // the tracker restarted
        {{10, 10, 11}, 0},  // the same counter at another time
    };
    for (const row& r : rows) {
        std::vector<frame_at> frames;
        for (const int counter : r.counters)
            frames.push_back({counter, 36000 + 10 * static_cast<int>(frames.size())});
        const flight f = build_flight({log_of("QLT_20261208.txt", frames)}, 0);
        EXPECT_EQ(f.counts.missing, r.missing) << r.counters.front() << ".." << r.counters.back();
    }
}

// Ten-second frames: up at 5 m/s from the first fix, burst at 1760 m, down
// at 10 m/s, and on the ground with the height wandering for a minute.
TEST(flight, finds_launch_burst_landing_and_the_figures_of_the_flight)
{
    std::vector<frame_at> frames;
    int counter = 1;
    int t = 36000;
    int moving = 0;  // seconds of the flight so far, which take it north
    const auto add = [&](int altitude, float speed) {
        frames.push_back({counter++, t, altitude, -23.5f + static_cast<float>(moving) * 1e-4f, -46.6f, speed});
        t += 10;
        if (speed > 0) moving += 10;
    };
    for (int altitude = 760; altitude < 1760; altitude += 50) add(altitude, 20);  // 20 points
    add(1760, 30);  // burst, index 20
    for (int altitude = 1660; altitude > 760; altitude -= 100) add(altitude, 40);  // 9 points
    add(762, 0);  // landing, index 30: the first of a still minute near its lowest
    for (const int altitude : {765, 758, 766, 760, 763, 759}) add(altitude, 0);
    const flight f = build_flight({log_of("QLT_20261208.txt", frames)}, brasilia);
    ASSERT_EQ(f.points.size(), 37U);
    EXPECT_EQ(f.liftoff, 0U);
    EXPECT_EQ(f.burst, 20U);
    EXPECT_EQ(f.landing, 30U);
    EXPECT_EQ(f.last, 36U);
    EXPECT_EQ(stage_at(f, 0), flight_stage::ascent);
    EXPECT_EQ(stage_at(f, 20), flight_stage::ascent);
    EXPECT_EQ(stage_at(f, 21), flight_stage::descent);
    EXPECT_EQ(stage_at(f, 30), flight_stage::descent);
    EXPECT_EQ(stage_at(f, 31), flight_stage::landed);
    EXPECT_DOUBLE_EQ(f.points[10].climb_rate, 5.0);
    EXPECT_DOUBLE_EQ(f.points[25].climb_rate, -10.0);

    const flight_summary s = summarize(f);
    ASSERT_TRUE(s.has_points);
    EXPECT_EQ(s.duration, 300);
    ASSERT_TRUE(s.mean_ascent_rate);
    EXPECT_DOUBLE_EQ(*s.mean_ascent_rate, 5.0);
    ASSERT_TRUE(s.mean_descent_rate);
    EXPECT_DOUBLE_EQ(*s.mean_descent_rate, 9.98);  // 1760 down to 762 in 100 s
    EXPECT_EQ(s.greatest_speed, 40);
    EXPECT_EQ(s.greatest_speed_at, 21U);
    // Due north all the way: 0.030 degrees of latitude, about 3.32 km.
    EXPECT_NEAR(s.track_length, s.launch_to_last.distance, 1e-6);
    EXPECT_NEAR(s.launch_to_last.distance, 3322, 5);
    EXPECT_NEAR(s.launch_to_last.azimuth, 0, 1e-9);
}

TEST(flight, a_flight_still_rising_or_empty_has_no_descent)
{
    const flight rising =
        build_flight({log_of("QLT_20261208.txt", {{1, 100, 800}, {2, 110, 850}, {3, 120, 900}})}, 0);
    EXPECT_EQ(rising.liftoff, 0U);
    EXPECT_FALSE(rising.burst);
    EXPECT_FALSE(rising.landing);
    EXPECT_EQ(rising.highest, 2U);
    const flight_summary s = summarize(rising);
    ASSERT_TRUE(s.mean_ascent_rate);
    EXPECT_DOUBLE_EQ(*s.mean_ascent_rate, 5.0);  // to the highest point so far
    EXPECT_FALSE(s.mean_descent_rate);
    EXPECT_EQ(s.duration, 20);

    const flight single = build_flight({log_of("QLT_20261208.txt", {{1, 100, 800}})}, 0);
    EXPECT_FALSE(summarize(single).mean_ascent_rate);
    EXPECT_EQ(single.points[0].climb_rate, 0);

    const flight none = build_flight({log_of("QLT_20261208.txt", {})}, 0);
    EXPECT_FALSE(summarize(none).has_points);
}

TEST(flight, takes_the_utc_offset_given_or_the_machines_on_the_log_date)
{
    const char* saved = getenv("TZ");
    const std::string before = saved != nullptr ? saved : "";
    // Central European time: +01:00 in winter, +02:00 in summer.
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    const flight winter = build_flight({log_of("QLT_20261208.txt", {{1, 43200}})}, std::nullopt);
    const flight summer = build_flight({log_of("QLT_20260708.txt", {{1, 43200}})}, std::nullopt);
    const flight empty = build_flight({log_of("QLT_20260708.txt", {})}, std::nullopt);
    const flight given = build_flight({log_of("QLT_20260708.txt", {{1, 43200}})}, 330);
    if (saved != nullptr) {
        setenv("TZ", before.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    EXPECT_EQ(winter.utc_offset, 60);
    EXPECT_EQ(winter.points[0].utc_time, winter.points[0].local_time - 3600);
    EXPECT_EQ(summer.utc_offset, 120);
    EXPECT_EQ(empty.utc_offset, 120);
    EXPECT_EQ(given.utc_offset, 330);
    EXPECT_EQ(given.points[0].utc_time, given.points[0].local_time - 330 * 60);
}
