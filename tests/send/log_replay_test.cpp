#include <gtest/gtest.h>

#include "log_replay.h"

// Lines as the receiver writes them are checked by replaying them through
// the sender; these are the forms it never writes.
TEST(log_replay, reads_forms_a_hand_edited_log_may_hold)
{
    telemetry_fields f;
    std::string problem;
    // Exponent forms, missing or extra blanks, and the limits of each field.
    ASSERT_TRUE(parse_log_line("-32768,00:00:00,1.2345E-4,-1E+2,7.6E+2, 472.26 ,255,-128, .98 ,-1.5E-3",
                               f, problem))
        << problem;
    EXPECT_EQ(f.counter, -32768);
    EXPECT_EQ(f.latitude, 1.2345e-4f);
    EXPECT_EQ(f.longitude, -100.0f);
    EXPECT_EQ(f.altitude, 760);
    EXPECT_EQ(f.speed, 255);
    EXPECT_EQ(f.satellites, 255);
    EXPECT_EQ(f.temperature, -128);
    EXPECT_EQ(f.battery, 50);
}

TEST(log_replay, refuses_lines_it_cannot_turn_into_a_frame)
{
    const std::string good[] = {" 1", "12:34:56", " 1", " 1", " 1", " 1", " 1", " 1", " 1", " 1"};
    struct row {
        int field;  // replaced in the good line; -1 for a whole-line change
        const char* text;
        const char* problem;
    };
    const row rows[] = {
        {-1, " 1 ,12:34:56, 1 ", "fewer than 10"},
        {-1, "", "fewer than 10"},
        {-1, " 1 ,12:34:56, 1 , 1 , 1 , 1 , 1 , 1 , 1 , 1 , 1 ", "more than 10"},
        {0, " 32768 ", "counter"},
        {0, " 1.5 ", "counter"},
        {0, " ", "counter"},
        {1, "12:34", "time"},
        {1, "1a:34:56", "time"},
        {1, " 12:34:56", "time"},
        {2, " north ", "latitude"},
        {2, " inf ", "latitude"},
        {2, " 1.5.2 ", "latitude"},
        {3, " nan ", "longitude"},
        {4, " 32768 ", "altitude"},
        {5, "-1 ", "speed"},
        {5, " 500 ", "speed"},
        {6, " 256 ", "satellites"},
        {7, "-129 ", "temperature"},
        {7, " +5 ", "temperature"},
        {8, " 6 ", "battery"},
        {9, " up ", "climb"},
    };
    for (const row& r : rows) {
        std::string line;
        if (r.field < 0) {
            line = r.text;
        } else {
            for (int i = 0; i < 10; ++i) {
                if (i > 0) line.push_back(',');
                line.append(i == r.field ? r.text : good[i]);
            }
        }
        telemetry_fields f;
        std::string problem;
        EXPECT_FALSE(parse_log_line(line, f, problem)) << line;
        EXPECT_NE(problem.find(r.problem), std::string::npos) << line << " -> " << problem;
    }
}

TEST(log_replay, the_log_clock_counts_from_the_first_line_across_midnight)
{
    struct row {
        const char* time;
        std::int64_t seconds;
    };
    const row rows[] = {
        {"23:58:20", 0},
        {"23:59:59", 99},
        {"23:59:50", 90},  // arrived late: earlier, on the same day
        {"00:00:01", 101},  // more than an hour back: the next day
        {"23:00:02", 82902},
        {"00:00:00", 86500},  // the day after that
    };
    log_clock clock;
    for (const row& r : rows) {
        telemetry_fields f;
        std::string problem;
        ASSERT_TRUE(parse_log_line(std::string(" 1 ,") + r.time + ", 1 , 1 , 1 , 1 , 1 , 1 , 1 , 1 ", f, problem))
            << problem;
        advance_log_clock(clock, f);
        EXPECT_EQ(clock.seconds, r.seconds) << r.time;
    }
}
