#include "receiver_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/frame.h"
#include "frame_encoding.h"
#include "logfile/log_file.h"

std::string make_scratch_directory()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/zarim-map-test-XXXXXX";
    const char* made = ::mkdtemp(pattern.data());
    EXPECT_NE(made, nullptr) << "mkdtemp";
    return pattern;
}

simulated_receiver::simulated_receiver(long double start_time, long double step,
                                       const flight_plan& plan)
{
    flight_.plan = plan;
    flight_.start_time = start_time;
    flight_.step = step;
    fill_bit_mask_table(masks_);
}

long double simulated_receiver::elapsed() const
{
    return last_.sample.elapsed;
}

std::string simulated_receiver::next_line()
{
    last_ = step_flight(flight_);
    return line_for(last_.fields);
}

telemetry_fields simulated_receiver::next_fields()
{
    last_ = step_flight(flight_);
    return last_.fields;
}

std::string simulated_receiver::line_for(const telemetry_fields& fields)
{
    const std::string bytes = encode_frame(fields);
    byte_string data;
    EXPECT_TRUE(verify_frame(masks_, bytes, receiver_, data));
    const decoded_frame frame = decode_frame(data, receiver_);
    update_previous(frame, receiver_);
    return log_line(frame);
}

void append_to(const std::string& path, const std::string& bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

void replace_file(const std::string& path, const std::string& bytes)
{
    const std::string fresh = path + ".new";
    append_to(fresh, bytes);
    ASSERT_EQ(std::rename(fresh.c_str(), path.c_str()), 0);
}

void truncate_file(const std::string& path)
{
    ASSERT_EQ(::truncate(path.c_str(), 0), 0);
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string without_line_end(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}
