// The log line made from a frame's 19-digit strings against the line made
// item by item from the values, and the way a line goes to the file when no
// other line waits.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <limits>
#include <random>

#include "logfile/file_calls.h"
#include "logfile/log_file.h"

namespace {

decoded_frame random_frame(std::mt19937& random)
{
    std::uniform_int_distribution<int> int16(-32768, 32767);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<std::uint32_t> any32;
    std::uniform_real_distribution<float> degrees(-200.0f, 200.0f);
    decoded_frame frame;
    frame.counter = int16(random);
    frame.time_text = "01:02:03";
    const bool wild = byte(random) < 32;
    frame.latitude = wild ? std::bit_cast<float>(any32(random)) : degrees(random);
    frame.longitude = wild ? std::bit_cast<float>(any32(random)) : degrees(random);
    frame.altitude = static_cast<std::int16_t>(int16(random));
    frame.speed = static_cast<float>(static_cast<long double>(1.852f) * byte(random));
    frame.satellites = static_cast<std::uint8_t>(byte(random));
    frame.temperature = static_cast<std::int16_t>(byte(random) - 128);
    frame.battery_voltage = static_cast<float>(byte(random)) * 0.0196f;
    frame.climb_rate = wild ? std::bit_cast<float>(any32(random)) : degrees(random) * 10;
    return frame;
}

TEST(line_from_digits, is_the_line_made_from_the_values)
{
    std::mt19937 random(3000);
    frame_digits digits;
    byte_string line = "whatever the last frame left";
    for (int i = 0; i < 20000; ++i) {
        decoded_frame frame = random_frame(random);
        if (i % 1000 == 0) frame.time_text = std::string(static_cast<std::size_t>(i / 1000 * 3), ':');
        make_frame_digits(frame, digits);
        make_log_line(frame, digits, line);
        ASSERT_EQ(line, log_line(frame)) << i;
    }
    // The extremes of every field at once, the infinite and undefined ones
    // included.
    decoded_frame extreme;
    extreme.counter = std::numeric_limits<std::int32_t>::min();
    extreme.latitude = -std::numeric_limits<float>::infinity();
    extreme.longitude = std::numeric_limits<float>::quiet_NaN();
    extreme.altitude = -32768;
    extreme.speed = std::numeric_limits<float>::max();
    extreme.satellites = 255;
    extreme.temperature = -128;
    extreme.battery_voltage = std::numeric_limits<float>::denorm_min();
    extreme.climb_rate = -std::numeric_limits<float>::max();
    extreme.time_text = "23:59:59";
    make_frame_digits(extreme, digits);
    make_log_line(extreme, digits, line);
    EXPECT_EQ(line, log_line(extreme));
}

// Half a line's room, then a full disk.
std::size_t room = 0;

ssize_t half_then_full(int handle, const void* bytes, std::size_t count)
{
    if (room == 0) {
        errno = ENOSPC;
        return -1;
    }
    const std::size_t allowed = count < room ? count : room;
    const ssize_t written = ::write(handle, bytes, allowed);
    room -= static_cast<std::size_t>(written > 0 ? written : 0);
    return written;
}

byte_string file_content(const char* name)
{
    byte_string content;
    const int handle = ::open(name, O_RDONLY | O_CLOEXEC);
    char buffer[4096];
    ssize_t count;
    while (handle >= 0 && (count = ::read(handle, buffer, sizeof buffer)) > 0) {
        content.append(buffer, static_cast<std::size_t>(count));
    }
    if (handle >= 0) ::close(handle);
    return content;
}

TEST(line_from_digits, a_line_alone_that_the_disk_takes_only_part_of_waits_whole)
{
    char previous[PATH_MAX] = {};
    char directory[] = "/tmp/zarim-line-XXXXXX";
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    ASSERT_NE(::mkdtemp(directory), nullptr);
    ASSERT_EQ(::chdir(directory), 0);
    reset_channel_table();
    const byte_string name = "QLT_20261208.txt";

    decoded_frame first;
    first.counter = 1;
    first.time_text = "00:00:01";
    decoded_frame second = first;
    second.counter = 2;
    log_backlog backlog;
    room = log_line(first).size() / 2;
    file_calls.write = half_then_full;
    error_number error = 0;
    append_log_line(2, name, first, backlog, error);
    EXPECT_EQ(error, error::disk_full);
    EXPECT_EQ(file_content(name.c_str()), "") << "the half line is taken back";
    ASSERT_EQ(backlog.lines.size(), 1U);
    EXPECT_EQ(backlog.lines.front(), log_line(first));
    EXPECT_EQ(find_channel(2), nullptr);

    file_calls = real_file_calls();
    error = 0;
    append_log_line(2, name, second, backlog, error);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(file_content(name.c_str()), log_line(first) + log_line(second));
    EXPECT_TRUE(backlog.lines.empty());

    reset_channel_table();
    ::unlink(name.c_str());
    ASSERT_EQ(::chdir(previous), 0);
    ::rmdir(directory);
}

}  // namespace
