#include <gtest/gtest.h>

#include <bit>
#include <cctype>

#include "frame_corruption.h"
#include "frame_encoding.h"
#include "received_frame.h"

namespace {

telemetry_fields known_frame()
{
    telemetry_fields f;
    f.identifier = 0x01;
    f.counter = 1234;
    f.hours = 12;
    f.minutes = 34;
    f.seconds = 56;
    f.latitude = std::bit_cast<float>(0xC1BC6777u);
    f.longitude = std::bit_cast<float>(0xC23A8882u);
    f.altitude = 760;
    f.speed = 27;
    f.satellites = 9;
    f.temperature = -10;
    f.battery = 205;
    return f;
}

constexpr const char* known_frame_text = "01D2040C22387767BCC182883AC2F8021B09F6CD3018";

}  // namespace

TEST(frame_encoding, crc_agrees_with_check_values_and_with_the_receiver)
{
    EXPECT_EQ(crc16_ccitt_false("123456789"), 0x29B1);
    EXPECT_EQ(crc16_ccitt_false(""), 0xFFFF);

    bit_mask_table masks;
    fill_bit_mask_table(masks);
    random_source random{42};
    for (int length = 0; length < 64; ++length) {
        std::string bytes;
        for (int i = 0; i < length; ++i) bytes.push_back(static_cast<char>(next_random(random)));
        EXPECT_EQ(crc16_ccitt_false(bytes), frame_crc16(masks, bytes)) << "length " << length;
    }
}

TEST(frame_encoding, a_known_frame_gives_the_trackers_exact_text)
{
    const std::string bytes = encode_frame(known_frame());
    ASSERT_EQ(bytes.size(), frame_length);
    EXPECT_EQ(frame_hex_text(bytes), known_frame_text);
}

// Each row pushes fields to the edges of their wire types.
TEST(frame_encoding, field_limits_survive_the_receivers_decoder)
{
    struct row {
        telemetry_fields f;
        const char* time_text;
        float voltage;
    };
    const row rows[] = {
        {{.counter = -1, .hours = 23, .minutes = 59, .seconds = 59, .latitude = -90.0f,
          .altitude = -32768, .speed = 255, .satellites = 255, .temperature = -128, .battery = 81},
         "23:59:59", 1.59f},
        {{.counter = -32768, .seconds = 1, .latitude = 89.99999f, .altitude = 32767,
          .temperature = 127, .battery = 82},
         "00:00:01", 1.61f},
        {{.counter = 32767, .hours = 9, .minutes = 8, .seconds = 7, .latitude = 0.00001f,
          .speed = 1, .satellites = 12, .temperature = -1, .battery = 255},
         "09:08:07", 5.0f},
    };
    for (const row& r : rows) {
        receiver_state state;
        decoded_frame d;
        ASSERT_TRUE(receive_frame_text(frame_hex_text(encode_frame(r.f)), state, d)) << r.time_text;
        EXPECT_EQ(d.counter, r.f.counter);
        EXPECT_EQ(d.altitude, r.f.altitude);
        EXPECT_EQ(d.time_text, r.time_text);
        EXPECT_EQ(d.speed, static_cast<float>(1.852f * static_cast<long double>(r.f.speed)));
        EXPECT_EQ(d.satellites, r.f.satellites);
        EXPECT_EQ(d.temperature, r.f.temperature);
        EXPECT_FLOAT_EQ(d.battery_voltage, r.voltage);
        EXPECT_NEAR(d.latitude, r.f.latitude, 0.000005);
    }
}

TEST(frame_corruption, one_changed_digit_always_fails_the_crc)
{
    random_source random{7};
    receiver_state state;
    decoded_frame d;
    for (int i = 0; i < 2000; ++i) {
        std::string text = known_frame_text;
        ASSERT_TRUE(corrupt_frame_text(text, random));
        ASSERT_EQ(text.size(), 44u);
        int changed = 0;
        for (std::size_t p = 0; p < text.size(); ++p) {
            changed += text[p] != known_frame_text[p];
            EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(text[p])) && !std::islower(text[p]));
        }
        EXPECT_EQ(changed, 1) << text;
        EXPECT_FALSE(receive_frame_text(text, state, d)) << text;
    }

    std::string lower = "ab";
    ASSERT_TRUE(corrupt_frame_text(lower, random));
    for (const char c : lower) EXPECT_TRUE(std::isdigit(c) || (c >= 'a' && c <= 'f')) << lower;
    std::string no_digits = "xyz!";
    EXPECT_FALSE(corrupt_frame_text(no_digits, random));
    EXPECT_EQ(no_digits, "xyz!");
}
