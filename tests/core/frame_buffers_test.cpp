// The receive loop keeps the frame bytes in one buffer from frame to frame
// and views the frame data in it; what it gets must be what the plain
// conversions give.
#include <gtest/gtest.h>

#include <string>

#include "core/frame.h"
#include "format/number_text.h"

namespace {

TEST(frame_buffers, every_pair_of_characters_converts_by_the_pair_rule)
{
    byte_string bytes = "left over from an earlier, longer frame";
    for (int first = 0; first < 256; ++first) {
        byte_string text(1, static_cast<char>(first));
        frame_text_to_bytes(text, bytes);
        ASSERT_EQ(bytes, byte_string(1, static_cast<char>(hex_pair_value(text)))) << first;
        for (int second = 0; second < 256; ++second) {
            text = {static_cast<char>(first), static_cast<char>(second)};
            frame_text_to_bytes(text, bytes);
            ASSERT_EQ(bytes, byte_string(1, static_cast<char>(hex_pair_value(text)))) << first << " " << second;
        }
    }
}

// Runs of digits are converted many at a time; any character anywhere in a
// run must still fall to the pair rule.
TEST(frame_buffers, every_character_within_a_long_text_converts_by_the_pair_rule)
{
    const byte_string digits = "0123456789ABCDEFabcdef0123456789FEDCBAfedcba98";
    byte_string bytes;
    for (std::size_t position = 0; position < 34; ++position) {
        for (int c = 0; c < 256; ++c) {
            byte_string text = digits;
            text[position] = static_cast<char>(c);
            frame_text_to_bytes(text, bytes);
            byte_string expected;
            for (std::size_t pair = 0; pair < text.size(); pair += 2) {
                expected.push_back(static_cast<char>(hex_pair_value(byte_view(text).substr(pair, 2))));
            }
            ASSERT_EQ(bytes, expected) << position << " " << c;
        }
    }
}

TEST(frame_buffers, a_kept_buffer_holds_only_the_latest_frame)
{
    const byte_string texts[] = {"0102030405060708090A0B0C0D0E0F1011121314FFFF", "A", "", "4f ff0aG11G 1",
                                 byte_string(32766, 'F'), byte_string(32767, 'F'), "1234"};
    byte_string bytes;
    for (const byte_string& text : texts) {
        frame_text_to_bytes(text, bytes);
        EXPECT_EQ(bytes, frame_text_to_bytes(text)) << text.size();
    }
}

TEST(frame_buffers, the_viewed_frame_data_is_the_copied_frame_data)
{
    bit_mask_table masks{};
    fill_bit_mask_table(masks);
    const byte_string frames[] = {"", "\x01", "\x01\x02", "\xAB\xCD\xEF", byte_string(22, '\x7F')};
    for (const byte_string& frame : frames) {
        receiver_state viewed_state;
        receiver_state copied_state;
        byte_view viewed;
        byte_string copied;
        EXPECT_EQ(verify_frame(masks, frame, viewed_state, viewed), verify_frame(masks, frame, copied_state, copied));
        EXPECT_EQ(viewed, copied);
        EXPECT_EQ(viewed.data(), frame.data()) << "a view of the bytes, not a copy";
        EXPECT_EQ(viewed_state.crc_error_count, copied_state.crc_error_count);
    }
}

}  // namespace
