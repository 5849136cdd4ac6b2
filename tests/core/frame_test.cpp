// Frames are built here from chosen field values, with a CRC worked out the
// common table-driven way rather than the receiver's, and must come back as
// those values. Texts of every shape must end as a frame or a CRC failure.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/frame.h"
#include "format/number_text.h"

namespace {

const byte_string worked_example = "01D2040C22387767BCC182883AC2F8021B09F6CD3018";

std::uint16_t reference_crc(byte_view bytes)
{
    static const std::array<std::uint16_t, 256> table = [] {
        std::array<std::uint16_t, 256> t{};
        for (unsigned i = 0; i < 256; ++i) {
            unsigned crc = i << 8;
            for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1;
            t[i] = static_cast<std::uint16_t>(crc);
        }
        return t;
    }();
    unsigned crc = 0xFFFF;
    for (const unsigned char c : bytes) crc = ((crc << 8) ^ table[((crc >> 8) ^ c) & 0xFF]) & 0xFFFF;
    return static_cast<std::uint16_t>(crc);
}

byte_string with_crc(byte_string data)
{
    const std::uint16_t crc = reference_crc(data);
    data.push_back(static_cast<char>(crc & 0xFF));
    data.push_back(static_cast<char>(crc >> 8));
    return data;
}

// Each digit in upper or lower case as `lower` says, bit by bit.
byte_string hex_text(byte_view bytes, std::uint64_t lower = 0)
{
    byte_string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        const char* digits = (lower >> (i % 64) & 1) != 0 ? "0123456789abcdef" : "0123456789ABCDEF";
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

struct fields {
    std::int16_t counter = 0;
    std::uint8_t hours = 0, minutes = 0, seconds = 0;
    float latitude = 0, longitude = 0;
    std::int16_t altitude = 0;
    std::uint8_t speed = 0, satellites = 0;
    std::int8_t temperature = 0;
    std::uint8_t battery = 0;
};

byte_string encode(const fields& f)
{
    byte_string data;
    const auto put = [&data](std::uint32_t value, int width) {
        for (int i = 0; i < width; ++i) data.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
    };
    put(0x01, 1);
    put(static_cast<std::uint16_t>(f.counter), 2);
    put(f.hours, 1);
    put(f.minutes, 1);
    put(f.seconds, 1);
    put(std::bit_cast<std::uint32_t>(f.latitude), 4);
    put(std::bit_cast<std::uint32_t>(f.longitude), 4);
    put(static_cast<std::uint16_t>(f.altitude), 2);
    put(f.speed, 1);
    put(f.satellites, 1);
    put(static_cast<std::uint8_t>(f.temperature), 1);
    put(f.battery, 1);
    return with_crc(data);
}

class frame_decoding : public testing::Test {
protected:
    void SetUp() override { fill_bit_mask_table(masks); }

    // What one pass of the receive loop does with one frame text.
    std::optional<decoded_frame> receive(byte_view text)
    {
        byte_string data;
        if (!verify_frame(masks, frame_text_to_bytes(text), state, data)) return std::nullopt;
        decoded_frame frame = decode_frame(data, state);
        update_previous(frame, state);
        return frame;
    }

    decoded_frame receive_valid(const fields& f)
    {
        const std::optional<decoded_frame> frame = receive(hex_text(encode(f)));
        EXPECT_TRUE(frame.has_value());
        return frame.value_or(decoded_frame{});
    }

    bit_mask_table masks;
    receiver_state state;
};

TEST_F(frame_decoding, crc_matches_the_common_computation)
{
    for (std::size_t i = 0; i < masks.mask.size(); ++i) EXPECT_EQ(masks.mask[i], 1 << i);
    EXPECT_EQ(frame_crc16(masks, "123456789"), 0x29B1);
    EXPECT_EQ(frame_crc16(masks, ""), 0xFFFF);

    std::mt19937 random(7);
    for (int i = 0; i < 500; ++i) {
        byte_string data(random() % 70, '\0');
        for (char& c : data) c = static_cast<char>(random());
        ASSERT_EQ(frame_crc16(masks, data), reference_crc(data));

        // verify_frame takes its own route to the CRC; any one flipped bit
        // must fail it and count.
        const byte_string frame = with_crc(data);
        byte_string frame_data;
        ASSERT_TRUE(verify_frame(masks, frame, state, frame_data));
        ASSERT_EQ(frame_data, data);
        byte_string damaged = frame;
        damaged[random() % damaged.size()] ^= static_cast<char>(1 << random() % 8);
        ASSERT_FALSE(verify_frame(masks, damaged, state, frame_data));
        ASSERT_EQ(state.crc_error_count, i + 1);
    }
}

TEST_F(frame_decoding, decodes_the_worked_example)
{
    state.previous_seconds = 12 * 3600 + 34 * 60 + 46;
    state.previous_altitude = 700;
    byte_string bytes = frame_text_to_bytes(worked_example);
    ASSERT_EQ(bytes.size(), 22u);
    EXPECT_EQ(frame_crc16(masks, bytes.substr(0, 20)), 0x1830);

    const std::optional<decoded_frame> f = receive(worked_example);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->counter, 1234);
    EXPECT_EQ(f->time_text, "12:34:56");
    EXPECT_EQ(f->seconds_of_day, 45296);
    EXPECT_EQ(f->latitude, -23.55052f);
    EXPECT_EQ(f->longitude, -46.63331f);
    EXPECT_EQ(f->altitude, 760);
    EXPECT_EQ(print_form(f->speed, 7), " 50.004 ");
    EXPECT_EQ(f->satellites, 9);
    EXPECT_EQ(f->temperature, -10);
    EXPECT_EQ(f->battery_voltage, 4.02f);
    EXPECT_EQ(f->climb_rate, 6.0f);
    EXPECT_EQ(f->time_gap, 10);
    EXPECT_EQ(state.previous_seconds, 45296);
    EXPECT_EQ(state.previous_altitude, 760);
    EXPECT_EQ(state.crc_error_count, 0);
}

TEST_F(frame_decoding, converts_any_text_pair_by_pair)
{
    struct text_case {
        byte_string text;
        byte_string bytes;  // as upper-case hexadecimal
        bool valid;
    };
    const text_case cases[] = {
        {"", "", false},
        {"FFFF", "FFFF", true},
        {"ffff", "FFFF", true},
        {"ABC", "AB0C", false},
        {"G11G 11 ", "00010001", false},
        {byte_string("1\0" "2F\0", 5), "012F00", false},
        {worked_example + "\r\n", worked_example + "00", false},
        {worked_example + "\n", worked_example + "00", false},
        {"01d2040c22387767bcc182883ac2f8021b09f6cd3018", worked_example, true},
    };
    for (const text_case& c : cases) {
        const byte_string bytes = frame_text_to_bytes(c.text);
        EXPECT_EQ(hex_text(bytes), c.bytes) << hex_text(c.text);
        EXPECT_EQ(receive(c.text).has_value(), c.valid) << hex_text(c.text);
    }
    EXPECT_EQ(state.crc_error_count, 6);
}

TEST_F(frame_decoding, reads_missing_bytes_as_zero_and_ignores_extra_ones)
{
    const decoded_frame zero = receive("FFFF").value();
    EXPECT_EQ(zero.counter, 0);
    EXPECT_EQ(zero.time_text, "00:00:00");
    EXPECT_EQ(zero.seconds_of_day, 0);
    EXPECT_EQ(zero.latitude, 0);
    EXPECT_EQ(zero.longitude, 0);
    EXPECT_EQ(zero.altitude, 0);
    EXPECT_EQ(zero.speed, 0);
    EXPECT_EQ(zero.satellites, 0);
    EXPECT_EQ(zero.temperature, 0);
    EXPECT_EQ(zero.battery_voltage, 0);
    EXPECT_EQ(zero.climb_rate, 0);
    EXPECT_EQ(zero.time_gap, 0);

    // A field cut by the end keeps its low bytes.
    const byte_string example = frame_text_to_bytes(worked_example);
    EXPECT_EQ(decode_frame(example.substr(0, 2), state).counter, 0xD2);
    EXPECT_EQ(decode_frame(example.substr(0, 15), state).altitude, 0xF8);
    EXPECT_EQ(decode_frame(example.substr(0, 15), state).longitude, -46.63331f);

    const byte_string longer = with_crc(example.substr(0, 20) + "\x12\x34\x56");
    const std::optional<decoded_frame> f = receive(hex_text(longer));
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->counter, 1234);
    EXPECT_EQ(f->battery_voltage, 4.02f);
}

TEST_F(frame_decoding, decodes_the_limits_of_each_field)
{
    struct field_case {
        fields in;
        int counter, temperature, seconds_of_day;
        const char* time_text;
        float battery;
    };
    const field_case cases[] = {
        {{.counter = -1}, -1, 0, 0, "00:00:00", 0},
        {{.counter = -32768}, -32768, 0, 0, "00:00:00", 0},
        {{.counter = 32767, .temperature = 127}, 32767, 127, 0, "00:00:00", 0},
        {{.temperature = -128}, 0, -128, 0, "00:00:00", 0},
        {{.temperature = -1}, 0, -1, 0, "00:00:00", 0},
        {{.hours = 123, .minutes = 7, .seconds = 255}, 0, 0, 123 * 3600 + 7 * 60 + 255, "23:07:55", 0},
        {{.battery = 81}, 0, 0, 0, "00:00:00", 1.59f},
        {{.battery = 82}, 0, 0, 0, "00:00:00", 1.61f},
        {{.battery = 255}, 0, 0, 0, "00:00:00", 5},
        {{.battery = 1}, 0, 0, 0, "00:00:00", 0.02f},
    };
    for (const field_case& c : cases) {
        const decoded_frame f = receive_valid(c.in);
        EXPECT_EQ(f.counter, c.counter);
        EXPECT_EQ(f.temperature, c.temperature);
        EXPECT_EQ(f.seconds_of_day, c.seconds_of_day);
        EXPECT_EQ(f.time_text, c.time_text);
        EXPECT_EQ(f.battery_voltage, c.battery);
    }

    // Every byte's time part is the number text's last two digits.
    for (int v = 0; v < 256; ++v) {
        const auto part = [](int byte) {
            const byte_string text = "0" + left_trim(signed_number_text(byte));
            return text.substr(text.size() - 2);
        };
        const auto b = static_cast<std::uint8_t>(v);
        const decoded_frame f = decode_frame(
            frame_text_to_bytes(hex_text(encode({.hours = b, .minutes = b, .seconds = b}))), state);
        EXPECT_EQ(f.time_text, part(v) + ":" + part(v) + ":" + part(v));
        EXPECT_EQ(f.seconds_of_day, v * 3661);
    }

    const float inf = std::numeric_limits<float>::infinity();
    const decoded_frame odd = receive_valid({.latitude = -inf, .longitude = std::nanf("")});
    EXPECT_EQ(odd.latitude, -inf);
    EXPECT_TRUE(std::isnan(odd.longitude));
}

TEST_F(frame_decoding, random_frames_come_back_as_sent)
{
    std::mt19937_64 random(42);
    const auto below = [&random](std::int64_t n) { return static_cast<std::int64_t>(random() % n); };
    for (int i = 0; i < 2000; ++i) {
        // Decimals of five places that a single can carry: below 128.
        const std::int64_t lat = below(18000001) - 9000000, lon = below(25599999) - 12799999;
        const fields in{.counter = static_cast<std::int16_t>(random()),
                        .hours = static_cast<std::uint8_t>(below(24)),
                        .minutes = static_cast<std::uint8_t>(below(60)),
                        .seconds = static_cast<std::uint8_t>(below(60)),
                        .latitude = static_cast<float>(lat / 100000.0L),
                        .longitude = static_cast<float>(lon / 100000.0L),
                        .altitude = static_cast<std::int16_t>(random()),
                        .speed = static_cast<std::uint8_t>(random()),
                        .satellites = static_cast<std::uint8_t>(random()),
                        .temperature = static_cast<std::int8_t>(random()),
                        .battery = static_cast<std::uint8_t>(random())};
        const std::optional<decoded_frame> f = receive(hex_text(encode(in), random()));
        ASSERT_TRUE(f.has_value());
        const std::string time = std::to_string(1000000 + in.hours * 10000 + in.minutes * 100 + in.seconds);
        EXPECT_EQ(f->counter, in.counter);
        EXPECT_EQ(f->time_text, time.substr(1, 2) + ":" + time.substr(3, 2) + ":" + time.substr(5, 2));
        EXPECT_EQ(f->seconds_of_day, in.hours * 3600 + in.minutes * 60 + in.seconds);
        EXPECT_EQ(f->latitude, in.latitude) << lat;
        EXPECT_EQ(f->longitude, in.longitude) << lon;
        EXPECT_EQ(f->altitude, in.altitude);
        EXPECT_EQ(f->speed, static_cast<float>(static_cast<double>(1.852f) * in.speed));
        EXPECT_EQ(f->satellites, in.satellites);
        EXPECT_EQ(f->temperature, in.temperature);
        // 0.0196 of a byte never lies near a half cent, so the cents are
        // those of the exact decimal product.
        EXPECT_EQ(f->battery_voltage, static_cast<float>((in.battery * 196 + 50) / 100 / 100.0L));
    }
}

TEST_F(frame_decoding, climb_rate_follows_valid_frames_apart_by_more_than_five_seconds)
{
    struct step {
        int hours, minutes, seconds, altitude;
        bool valid;
        float climb_rate;
        int time_gap;
    };
    const std::vector<std::vector<step>> sequences = {
        {{10, 0, 0, 100, true, 0, 0}, {10, 0, 5, 200, true, 0, 5}},
        {{10, 0, 0, 100, true, 0, 0}, {10, 0, 6, 130, true, 5, 6}},
        {{10, 0, 0, 500, true, 0, 0}, {10, 0, 7, 493, true, -1, 7}},
        // A failed frame in between is not a reference.
        {{10, 0, 0, 100, true, 0, 0}, {10, 0, 3, 900, false, 0, 0}, {10, 0, 10, 150, true, 5, 10}},
        // Ties to even in the second decimal.
        {{10, 0, 0, 100, true, 0, 0}, {10, 0, 8, 101, true, 0.12f, 8}, {10, 0, 16, 104, true, 0.38f, 8}},
        // Midnight: a negative gap keeps the rate, then the new day goes on.
        {{23, 59, 40, 900, true, 0, 0},
         {23, 59, 50, 1000, true, 10, 10},
         {0, 0, 10, 1100, true, 10, -86380},
         {0, 0, 20, 1150, true, 5, 10}},
        // A 00:00:00 frame leaves no previous time: the next is a first frame.
        {{10, 0, 0, 100, true, 0, 0},
         {10, 0, 10, 200, true, 10, 10},
         {0, 0, 0, 300, true, 10, -36010},
         {0, 0, 30, 900, true, 10, 0},
         {0, 0, 40, 950, true, 5, 10}},
        // An altitude of 0 leaves no previous altitude either.
        {{10, 0, 0, 0, true, 0, 0}, {10, 0, 10, 50, true, 0, 10}, {10, 0, 20, 80, true, 3, 10}},
    };
    for (std::size_t n = 0; n < sequences.size(); ++n) {
        state = receiver_state{};
        for (const step& s : sequences[n]) {
            const fields in{.hours = static_cast<std::uint8_t>(s.hours),
                            .minutes = static_cast<std::uint8_t>(s.minutes),
                            .seconds = static_cast<std::uint8_t>(s.seconds),
                            .altitude = static_cast<std::int16_t>(s.altitude)};
            byte_string bytes = encode(in);
            if (!s.valid) bytes.back() ^= 1;
            const receiver_state before = state;
            const std::optional<decoded_frame> f = receive(hex_text(bytes));
            ASSERT_EQ(f.has_value(), s.valid) << "sequence " << n;
            if (!f) {
                EXPECT_EQ(state.previous_seconds, before.previous_seconds);
                EXPECT_EQ(state.previous_altitude, before.previous_altitude);
                EXPECT_EQ(state.climb_rate, before.climb_rate);
                EXPECT_EQ(state.crc_error_count, before.crc_error_count + 1);
                continue;
            }
            EXPECT_EQ(f->climb_rate, s.climb_rate) << "sequence " << n << " at " << f->time_text;
            EXPECT_EQ(f->time_gap, s.time_gap) << "sequence " << n << " at " << f->time_text;
        }
    }
}

TEST_F(frame_decoding, texts_too_long_for_the_position_counter_give_no_bytes)
{
    std::mt19937 random(3);
    const auto random_bytes = [&random](std::size_t n) {
        byte_string data(n, '\0');
        for (char& c : data) c = static_cast<char>(random());
        return data;
    };

    // 32,766 characters still convert, and a correct CRC passes.
    const byte_string longest = hex_text(with_crc(random_bytes(16381)));
    ASSERT_EQ(longest.size(), 32766u);
    EXPECT_EQ(frame_text_to_bytes(longest).size(), 16383u);
    EXPECT_TRUE(receive(longest).has_value());

    // At 32,767 the last character alone would be the CRC's high byte; pick
    // data whose CRC lets that work, so that only refusing the text fails it.
    byte_string data = random_bytes(16382);
    while (reference_crc(data) >> 8 > 15) data.back() = static_cast<char>(random());
    const std::uint16_t crc = reference_crc(data);
    byte_string text = hex_text(data + static_cast<char>(crc & 0xFF));
    text += "0123456789ABCDEF"[crc >> 8];
    ASSERT_EQ(text.size(), 32767u);

    const byte_string valid_if_read = hex_text(with_crc(random_bytes(16382)));
    const byte_string too_long[] = {text, byte_string(32767, 'Z'), valid_if_read, byte_string(65536, 'F')};
    for (const byte_string& t : too_long) {
        EXPECT_EQ(frame_text_to_bytes(t), "") << t.size();
        EXPECT_FALSE(receive(t).has_value());
    }
    EXPECT_EQ(state.crc_error_count, 4);
}

TEST_F(frame_decoding, crc_error_count_wraps_without_fault)
{
    state = {.previous_seconds = 3600, .previous_altitude = 9, .climb_rate = 1.5f,
             .crc_error_count = std::numeric_limits<std::int32_t>::max()};
    EXPECT_FALSE(receive("00").has_value());
    EXPECT_EQ(state.crc_error_count, std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(state.previous_seconds, 3600);
    EXPECT_EQ(state.previous_altitude, 9);
    EXPECT_EQ(state.climb_rate, 1.5f);
}

}  // namespace
