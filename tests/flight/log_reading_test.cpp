#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include "log_reading.h"
#include "receiver_lines.h"

namespace {

constexpr float infinity = std::numeric_limits<float>::infinity();

std::string without_line_end(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

std::int64_t on_day(const civil_date& date, int hours, int minutes, int seconds)
{
    return local_seconds(date, hours * 3600 + minutes * 60 + seconds);
}

}  // namespace

// Every number the receiver writes stands between a sign position and a
// blank, in the shortest of its plain and exponent forms.
TEST(log_line, reads_every_form_the_receiver_writes)
{
    struct row {
        frame_values values;
        const char* form;  // the awkward text the line must hold
    };
    const row rows[] = {
        {{}, " 1 ,12:00:00,-23.55052 ,-46.63331 , 760 , 50.004 , 9 ,-10 , 4.02 , 6 "},
        {{.battery = 0.98f, .climb = -0.25f}, ", .98 ,-.25 "},
        {{.latitude = 0.00012345f, .longitude = 0.00001f}, ", 1.2345E-4 , .00001 ,"},
        {{.latitude = infinity, .longitude = -infinity}, ", 9.999999E+998 ,-9.999999E+998 ,"},
        {{.counter = -32768, .time = "00:00:00", .altitude = -32768}, "-32768 ,00:00:00,"},
        {{.counter = 32767, .time = "23:59:59", .altitude = 32767}, " 32767 ,23:59:59,"},
        {{.speed = 472.26f, .satellites = 255, .temperature = 127}, " 472.26 , 255 , 127 ,"},
        {{.speed = 0, .satellites = 0, .temperature = -128, .battery = 0}, " 0 , 0 ,-128 , 0 ,"},
        {{.climb = 12345680}, " 1.234568E+7 "},
        {{.latitude = -0.5f, .longitude = 0, .climb = 0}, "-.5 , 0 ,"},
    };
    for (const row& r : rows) {
        const std::string line = receiver_line(r.values);
        ASSERT_NE(line.find(r.form), std::string::npos) << line;
        const parsed_line parsed = parse_log_line(without_line_end(line));
        ASSERT_TRUE(parsed.record) << line << ": " << parsed.reason;
        const log_record& got = *parsed.record;
        const frame_values& v = r.values;
        EXPECT_EQ(got.counter, v.counter) << line;
        EXPECT_EQ(got.seconds_of_day, (v.time[0] - '0') * 36000 + (v.time[1] - '0') * 3600 +
                                          (v.time[3] - '0') * 600 + (v.time[4] - '0') * 60 +
                                          (v.time[6] - '0') * 10 + (v.time[7] - '0'))
            << line;
        EXPECT_EQ(static_cast<float>(got.latitude), v.latitude) << line;
        EXPECT_EQ(static_cast<float>(got.longitude), v.longitude) << line;
        EXPECT_EQ(got.altitude, v.altitude) << line;
        EXPECT_EQ(static_cast<float>(got.speed), v.speed) << line;
        EXPECT_EQ(got.satellites, v.satellites) << line;
        EXPECT_EQ(got.temperature, v.temperature) << line;
        EXPECT_EQ(static_cast<float>(got.battery_voltage), v.battery) << line;
        EXPECT_EQ(static_cast<float>(got.climb_rate), v.climb) << line;
    }
    // The decimal value of the text, not the single behind it.
    const parsed_line worked = parse_log_line(without_line_end(receiver_line({})));
    ASSERT_TRUE(worked.record);
    EXPECT_EQ(worked.record->latitude, -23.55052);
}

TEST(log_line, takes_the_blanks_a_hand_edit_leaves)
{
    for (const char* line : {"1234,12:34:56,-23.55052,-46.63331,760,50.004,9,-10,4.02,6",
                             "  1234  , 12:34:56 ,\t-23.55052\t,-46.63331 ,760, 50.004,9 ,-10,4.02,6  ",
                             " 1234 ,12:34:56,-23.55052 ,-46.63331 , 760 , 50.004 , 9 ,-10 , 4.02 , 6 \r"}) {
        const parsed_line parsed = parse_log_line(line);
        ASSERT_TRUE(parsed.record) << line << ": " << parsed.reason;
        EXPECT_EQ(parsed.record->counter, 1234);
        EXPECT_EQ(parsed.record->seconds_of_day, 45296);
        EXPECT_EQ(parsed.record->longitude, -46.63331);
        EXPECT_EQ(parsed.record->climb_rate, 6);
    }
}

TEST(log_line, refuses_a_line_and_says_why)
{
    const std::string good = " 1 ,12:00:00,-23.5 ,-46.6 , 760 , 50 , 9 ,-10 , 4.02 , 6 ";
    struct row {
        std::string line;
        const char* reason;
    };
    const auto with_field = [&](int index, const std::string& text) {
        std::string line;
        std::size_t start = 0;
        for (int i = 0; i < 10; ++i) {
            const std::size_t comma = good.find(',', start);
            const std::string field = good.substr(start, comma - start);
            line += (i == index ? text : field) + (i < 9 ? "," : "");
            start = comma + 1;
        }
        return line;
    };
    const row rows[] = {
        {"garbage", "fewer than 10"},
        {good + ", 7 ", "more than 10"},
        {with_field(0, " 32768 "), "counter"},
        {with_field(0, " 1.5 "), "counter"},
        {with_field(0, ""), "counter"},
        {with_field(1, "24:00:00"), "time"},
        {with_field(1, "12:60:00"), "time"},
        {with_field(1, "12:00:60"), "time"},
        {with_field(1, "1:00:00"), "time"},
        {with_field(1, "12-00-00"), "time"},
        {with_field(2, " north "), "latitude"},
        {with_field(2, " "), "latitude"},
        {with_field(3, "-46,6"), "more than 10"},
        {with_field(3, "-46.6x"), "longitude"},
        {with_field(4, " 760.5 "), "altitude"},
        {with_field(4, " 40000 "), "altitude"},
        {with_field(5, "-1 "), "speed"},
        {with_field(6, " 256 "), "satellites"},
        {with_field(7, " 128 "), "temperature"},
        {with_field(8, "-.1 "), "battery"},
        {with_field(9, " 9.999999E+998 "), "climb"},
        {with_field(9, " fast "), "climb"},
        // Beyond any number the receiver writes (28 characters at most).
        {with_field(2, std::string(309, '9')), "latitude is too long"},
        {with_field(3, "-0." + std::string(40, '0') + "1"), "longitude is too long"},
        {with_field(0, " " + std::string(33, '0') + " "), "counter is too long"},
    };
    ASSERT_TRUE(parse_log_line(good).record);
    for (const row& r : rows) {
        const parsed_line parsed = parse_log_line(r.line);
        EXPECT_FALSE(parsed.record) << r.line;
        ASSERT_NE(parsed.reason, nullptr) << r.line;
        EXPECT_NE(std::string(parsed.reason).find(r.reason), std::string::npos)
            << r.line << ": " << parsed.reason;
    }
}

TEST(log_file_name, carries_the_date_of_the_log)
{
    struct row {
        const char* path;
        bool dated;
        civil_date date;
    };
    const row rows[] = {
        {"QLT_20261208.txt", true, {2026, 12, 8}},
        {"/var/log/zarim/QLT_20240229.txt", true, {2024, 2, 29}},
        {"station-b_QLT_20261231.txt", true, {2026, 12, 31}},
        {"QLT_x_QLT_20260101-restart.txt", true, {2026, 1, 1}},
        {"QLT_20230229.txt", false, {}},
        {"QLT_21000229.txt", false, {}},
        {"QLT_20261308.txt", false, {}},
        {"QLT_20261200.txt", false, {}},
        {"QLT_2026120.txt", false, {}},
        {"QLT_20261208/log.txt", false, {}},
        {"flight.txt", false, {}},
    };
    for (const row& r : rows) {
        const std::optional<civil_date> date = log_file_date(r.path);
        ASSERT_EQ(date.has_value(), r.dated) << r.path;
        if (!date) continue;
        EXPECT_EQ(date->year, r.date.year) << r.path;
        EXPECT_EQ(date->month, r.date.month) << r.path;
        EXPECT_EQ(date->day, r.date.day) << r.path;
    }
}

TEST(log_file_name, days_count_from_1970_both_ways)
{
    EXPECT_EQ(days_from_civil({1970, 1, 1}), 0);
    EXPECT_EQ(days_from_civil({2000, 3, 1}), 11017);
    EXPECT_EQ(days_from_civil({1969, 12, 31}), -1);
    EXPECT_EQ(local_seconds({2026, 12, 8}, 45296), 1796733296);
    for (std::int64_t day = -800000; day <= 800000; day += 97) {
        const civil_date date = civil_from_days(day);
        ASSERT_EQ(days_from_civil(date), day) << date.year << "-" << date.month << "-" << date.day;
    }
}

TEST(log_reading, takes_crlf_lf_and_a_last_line_still_being_written)
{
    const std::string a = receiver_line({.counter = 1, .time = "10:00:00"});
    const std::string b = without_line_end(receiver_line({.counter = 2, .time = "10:00:01"})) + "\n";
    const std::string c = without_line_end(receiver_line({.counter = 3, .time = "10:00:02"}));
    struct row {
        std::string content;
        std::size_t records;
        std::size_t unfinished;
    };
    const row rows[] = {
        {a + b + c, 3, 0},  // a whole last line without its line end
        {a + "\r\n" + b + "\n", 2, 0},  // empty lines are passed over
        {a + b + c.substr(0, 30), 2, 1},  // the receiver is appending right now
        {a + b + c.substr(0, 2), 2, 1},
        {a + b + " ", 2, 0},  // blanks alone are no line
        {"", 0, 0},
    };
    for (const row& r : rows) {
        const log_reading reading = read_log_text("QLT_20261208.txt", r.content);
        EXPECT_TRUE(reading.failure.empty());
        EXPECT_TRUE(reading.problems.empty()) << r.content;
        EXPECT_EQ(reading.records.size(), r.records) << r.content;
        EXPECT_EQ(reading.unfinished_lines, r.unfinished) << r.content;
        for (std::size_t i = 0; i < reading.records.size(); ++i) {
            EXPECT_EQ(reading.records[i].frame.counter, static_cast<int>(i + 1));
            EXPECT_EQ(reading.records[i].local_time,
                      on_day({2026, 12, 8}, 10, 0, static_cast<int>(i)));
        }
    }
}

// A receiver that stopped inside a line leaves its start behind; the next
// run appends its first line right after it.
TEST(log_reading, a_restart_behind_a_cut_line_keeps_the_next_whole_frame)
{
    const std::string first = receiver_line({.counter = 1, .time = "10:00:00"});
    const std::string cut = without_line_end(
        receiver_line({.counter = -2, .time = "10:00:01", .latitude = 0.00012345f, .battery = 0.98f,
                       .climb = -0.25f}));
    for (const int next_counter : {3, -3, 32767}) {
        const std::string next = receiver_line({.counter = next_counter, .time = "10:05:00"});
        for (std::size_t length = 1; length <= cut.size(); ++length) {
            const std::string content = first + cut.substr(0, length) + next + first;
            const log_reading reading = read_log_text("QLT_20261208.txt", content);
            const bool whole = length == cut.size();
            const std::string shown = cut.substr(0, length) + "|" + next;
            ASSERT_TRUE(reading.problems.empty()) << shown << ": " << reading.problems[0].reason;
            ASSERT_EQ(reading.records.size(), whole ? 4U : 3U) << shown;
            EXPECT_EQ(reading.unfinished_lines, whole ? 0U : 1U) << shown;
            if (whole) {
                EXPECT_EQ(reading.records[1].frame.counter, -2);
            }
            const dated_record& joined = reading.records[whole ? 2 : 1];
            EXPECT_EQ(joined.frame.counter, next_counter) << shown;
            EXPECT_EQ(joined.frame.seconds_of_day, 36300) << shown;
            EXPECT_EQ(joined.line, 2U);
            EXPECT_EQ(reading.records.back().line, 3U);
        }
    }
    // The same shape around a line that is bad in itself is still reported.
    const std::string bad_next = " 4 ,10:05:00,-23.5 ,-46.6 , 760.5 , 50 , 9 ,-10 , 4.02 , 6 \r\n";
    const log_reading reading = read_log_text("QLT_20261208.txt", first + cut.substr(0, 20) + bad_next);
    ASSERT_EQ(reading.problems.size(), 1U);
    EXPECT_EQ(reading.problems[0].line, 2U);
}

TEST(log_reading, a_time_back_by_more_than_an_hour_is_the_next_day)
{
    const civil_date day{2026, 12, 31};
    const civil_date next{2027, 1, 1};
    const char* times[] = {"23:59:50", "23:59:59", "00:00:05", "00:00:03", "01:00:03",
                           "00:00:03", "00:00:02", "12:00:00", "11:00:00", "09:59:59"};
    const std::int64_t expected[] = {
        on_day(day, 23, 59, 50), on_day(day, 23, 59, 59), on_day(next, 0, 0, 5),
        on_day(next, 0, 0, 3),  // two seconds back: a late frame, same day
        on_day(next, 1, 0, 3),
        on_day(next, 0, 0, 3),  // exactly an hour back: still the same day
        on_day(next, 0, 0, 2), on_day(next, 12, 0, 0), on_day(next, 11, 0, 0),
        on_day({2027, 1, 2}, 9, 59, 59),  // an hour and a second back
    };
    std::string content;
    for (const char* time : times) content += receiver_line({.time = time});
    const log_reading reading = read_log_text("QLT_20261231.txt", content);
    ASSERT_EQ(reading.records.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i)
        EXPECT_EQ(reading.records[i].local_time, expected[i]) << times[i];
}

TEST(log_reading, reports_bad_lines_by_number_and_reads_on)
{
    const std::string content = receiver_line({.counter = 1, .time = "10:00:00"}) +
                                "garbage\r\n" + receiver_line({.counter = 2, .time = "10:00:10"}) +
                                " 3 ,10:00:20,-23.5 ,-46.6 , 760 , 50 , 300 ,-10 , 4.02 , 6 \r\n" +
                                "\r\n" + "xyz" + receiver_line({.counter = 4, .time = "10:00:30"}) +
                                "12:00";
    const log_reading reading = read_log_text("QLT_20261208.txt", content);
    ASSERT_EQ(reading.problems.size(), 4U);
    EXPECT_EQ(reading.problems[0].line, 2U);
    EXPECT_EQ(reading.problems[0].reason, "fewer than 10 comma-separated fields");
    EXPECT_EQ(reading.problems[1].line, 4U);
    EXPECT_NE(reading.problems[1].reason.find("satellites"), std::string::npos);
    EXPECT_EQ(reading.problems[2].line, 6U);  // not a fragment of a log line before it
    EXPECT_EQ(reading.problems[3].line, 7U);  // an unfinished last line can only be a line's start
    ASSERT_EQ(reading.records.size(), 2U);
    EXPECT_EQ(reading.records[1].frame.counter, 2);
    EXPECT_EQ(reading.records[1].line, 3U);
}

TEST(log_reading, a_file_that_cannot_be_read_says_why)
{
    EXPECT_NE(read_log_file("/nonexistent/QLT_20261208.txt").failure.find("cannot open"),
              std::string::npos);
    EXPECT_NE(read_log_file("/etc/hostname").failure.find("QLT_yyyymmdd"), std::string::npos);
    char directory[] = "/tmp/zarim_flight_XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string dated = std::string(directory) + "/QLT_20261208.txt";
    ASSERT_EQ(mkdir(dated.c_str(), 0700), 0);
    EXPECT_NE(read_log_file(dated).failure.find("cannot read"), std::string::npos);
    rmdir(dated.c_str());
    rmdir(directory);
}
