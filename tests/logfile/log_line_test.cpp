#include <gtest/gtest.h>

#include "console/clock.h"
#include "logfile/log_file.h"

namespace {

decoded_frame sample_frame()
{
    decoded_frame frame;
    frame.counter = 1234;
    frame.time_text = "12:34:56";
    frame.latitude = -23.55052f;
    frame.longitude = -46.63331f;
    frame.altitude = 760;
    frame.speed = 50.004f;
    frame.satellites = 9;
    frame.temperature = -10;
    frame.battery_voltage = 4.02f;
    frame.climb_rate = 6;
    return frame;
}

}  // namespace

TEST(log_line, lays_out_the_items_in_their_print_forms)
{
    decoded_frame worked = sample_frame();
    decoded_frame small = sample_frame();
    small.temperature = -6;
    small.battery_voltage = 0.98f;
    small.climb_rate = -0.5f;
    small.latitude = 0;
    decoded_frame limits = sample_frame();
    limits.counter = -2147483647 - 1;
    limits.altitude = -32768;
    limits.satellites = 255;
    limits.speed = 1234567.0f;
    decoded_frame largest = sample_frame();
    largest.counter = 2147483647;  // 7 digits would turn it into 2.147484E+9

    const struct {
        decoded_frame frame;
        byte_view line;
    } cases[] = {
        {worked, " 1234 ,12:34:56,-23.55052 ,-46.63331 , 760 , 50.004 , 9 ,-10 , 4.02 , 6 \r\n"},
        {small, " 1234 ,12:34:56, 0 ,-46.63331 , 760 , 50.004 , 9 ,-6 , .98 ,-.5 \r\n"},
        {limits, "-2147483648 ,12:34:56,-23.55052 ,-46.63331 ,-32768 , 1234567 , 255 ,-10 , 4.02 , 6 \r\n"},
        {largest, " 2147483647 ,12:34:56,-23.55052 ,-46.63331 , 760 , 50.004 , 9 ,-10 , 4.02 , 6 \r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(log_line(c.frame), c.line);
    }
    EXPECT_EQ(log_line(worked).size(), 72U + 2U);
}

TEST(log_file_name, is_built_from_the_local_date)
{
    EXPECT_EQ(log_file_name_for_date("12-08-2026"), "QLT_20261208.txt");
    EXPECT_EQ(log_file_name_for_date("01-31-1999"), "QLT_19990131.txt");

    const byte_string date = local_date_text();
    const byte_string name = make_log_file_name();
    EXPECT_EQ(name, log_file_name_for_date(date));
    EXPECT_EQ(name.size(), 16U);
}
