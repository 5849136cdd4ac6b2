#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "flight_time.h"
#include "log_reading.h"

TEST(utc_offset, reads_the_iso_8601_forms)
{
    struct row {
        const char* text;
        std::optional<int> minutes;
    };
    const row rows[] = {
        {"-03:00", -180}, {"+05:30", 330}, {"+00:00", 0}, {"-00:00", 0}, {"Z", 0},
        {"+0545", 345},   {"-09", -540},   {"+18:00", 1080}, {"-12:45", -765},
        {"03:00", std::nullopt},  {"-3:00", std::nullopt},   {"-03:0", std::nullopt},
        {"-03:", std::nullopt},   {"-03:60", std::nullopt},  {"+18:30", std::nullopt},
        {"+19:00", std::nullopt}, {"-03:00:00", std::nullopt}, {"", std::nullopt},
        {"-0300x", std::nullopt}, {"UTC", std::nullopt},
    };
    for (const row& r : rows) EXPECT_EQ(parse_utc_offset(r.text), r.minutes) << r.text;
}

TEST(utc_offset, machine_offset_follows_the_zone_and_its_summer_time)
{
    const char* saved = getenv("TZ");
    const std::string before = saved != nullptr ? saved : "";
    setenv("TZ", "<-03>3", 1);
    tzset();
    const int brasilia = machine_utc_offset(local_seconds({2026, 12, 8}, 45296));
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    const int winter = machine_utc_offset(local_seconds({2026, 1, 15}, 43200));
    const int summer = machine_utc_offset(local_seconds({2026, 7, 15}, 43200));
    // 02:30 on 29 March 2026 does not exist there; the clock jumped to 03:00.
    const int gap = machine_utc_offset(local_seconds({2026, 3, 29}, 9000));
    if (saved != nullptr) {
        setenv("TZ", before.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    EXPECT_EQ(brasilia, -180);
    EXPECT_EQ(winter, 60);
    EXPECT_EQ(summer, 120);
    EXPECT_TRUE(gap == 60 || gap == 120) << gap;
}

TEST(iso8601, writes_utc_and_local_times)
{
    const std::int64_t local = local_seconds({2026, 12, 8}, 45296);
    EXPECT_EQ(iso8601_utc(local + 3 * 3600), "2026-12-08T15:34:56Z");
    EXPECT_EQ(iso8601_local(local, -180), "2026-12-08T12:34:56-03:00");
    EXPECT_EQ(iso8601_local(local, 330), "2026-12-08T12:34:56+05:30");
    EXPECT_EQ(iso8601_utc(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(iso8601_utc(-1), "1969-12-31T23:59:59Z");
    EXPECT_EQ(iso8601_utc(local_seconds({2024, 2, 29}, 86399)), "2024-02-29T23:59:59Z");
    EXPECT_EQ(utc_offset_text(0), "+00:00");
    EXPECT_EQ(utc_offset_text(-765), "-12:45");
}

TEST(iso8601, writes_durations_for_people)
{
    EXPECT_EQ(duration_text(0), "0 s");
    EXPECT_EQ(duration_text(59), "59 s");
    EXPECT_EQ(duration_text(60), "1 min 00 s");
    EXPECT_EQ(duration_text(3599), "59 min 59 s");
    EXPECT_EQ(duration_text(3600 * 26 + 65), "26 h 01 min 05 s");
}
