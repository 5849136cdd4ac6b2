// The road of a datagram: frame text, frame bytes, the CRC verdict, the
// decoded frame carried across several frames, its table row and its log
// line. The first input byte picks the mode: frame texts one per line as
// they arrive, or frame data to which the right CRC is appended, because
// random text almost never passes the CRC and the decoder would see little.
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "core/frame.h"
#include "format/mask.h"
#include "format/masks.h"
#include "fuzz_input.h"
#include "logfile/log_file.h"

namespace {

const bit_mask_table masks = [] {
    bit_mask_table table;
    fill_bit_mask_table(table);
    return table;
}();

// CRC-16/CCITT-FALSE the usual table-driven way, independent of the
// receiver's two-bytes-at-a-time tables.
std::uint16_t reference_crc(byte_view bytes)
{
    static const std::array<std::uint16_t, 256> table = [] {
        std::array<std::uint16_t, 256> t{};
        for (unsigned i = 0; i < 256; ++i) {
            unsigned crc = i << 8;
            for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000u) != 0 ? (crc << 1) ^ 0x1021u : crc << 1;
            t[i] = static_cast<std::uint16_t>(crc);
        }
        return t;
    }();
    unsigned crc = 0xFFFF;
    for (const unsigned char c : bytes) crc = ((crc << 8) ^ table[((crc >> 8) ^ c) & 0xFFu]) & 0xFFFFu;
    return static_cast<std::uint16_t>(crc);
}

byte_string hex_text(byte_view bytes)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    byte_string text;
    for (const unsigned char byte : bytes) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 15u]);
    }
    return text;
}

bool only_characters(byte_view text, byte_view allowed)
{
    return text.find_first_not_of(allowed) == byte_view::npos;
}

bool same_frame(const decoded_frame& a, const decoded_frame& b)
{
    const auto bits = [](float f) { return std::bit_cast<std::uint32_t>(f); };
    return a.counter == b.counter && a.time_text == b.time_text && a.seconds_of_day == b.seconds_of_day &&
           bits(a.latitude) == bits(b.latitude) && bits(a.longitude) == bits(b.longitude) &&
           a.altitude == b.altitude && bits(a.speed) == bits(b.speed) && a.satellites == b.satellites &&
           a.temperature == b.temperature && bits(a.battery_voltage) == bits(b.battery_voltage) &&
           bits(a.climb_rate) == bits(b.climb_rate) && a.time_gap == b.time_gap;
}

bool same_state(const receiver_state& a, const receiver_state& b)
{
    return a.previous_seconds == b.previous_seconds && a.previous_altitude == b.previous_altitude &&
           std::bit_cast<std::uint32_t>(a.climb_rate) == std::bit_cast<std::uint32_t>(b.climb_rate) &&
           a.crc_error_count == b.crc_error_count;
}

// The time text is "hh:mm:ss" of two digits each.
bool well_formed_time(byte_view text)
{
    if (text.size() != 8 || text[2] != ':' || text[5] != ':') return false;
    for (const std::size_t i : {0u, 1u, 3u, 4u, 6u, 7u}) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

// Ten items, each a print form (a sign position, the body, a blank) but the
// time text, joined by commas and ended by CR LF alone.
void check_log_line(const decoded_frame& frame, byte_view line)
{
    FUZZ_CHECK(line.size() >= 2 && line.size() <= 256);
    FUZZ_CHECK(line.substr(line.size() - 2) == "\r\n");
    const byte_view items = line.substr(0, line.size() - 2);
    FUZZ_CHECK(only_characters(items, " 0123456789.,:-+E"));
    std::size_t start = 0;
    for (int item = 0; item < 10; ++item) {
        const std::size_t comma = items.find(',', start);
        FUZZ_CHECK((comma == byte_view::npos) == (item == 9));
        const byte_view text = items.substr(start, comma == byte_view::npos ? byte_view::npos : comma - start);
        if (item == 1) {
            FUZZ_CHECK(text == frame.time_text);
        } else {
            FUZZ_CHECK(text.size() >= 3 && (text.front() == ' ' || text.front() == '-') && text.back() == ' ');
            FUZZ_CHECK(text.find(' ', 1) == text.size() - 1);
        }
        start = comma + 1;
    }
}

void check_valid_frame(byte_view frame_data, const receiver_state& before, receiver_state& state)
{
    const decoded_frame frame = decode_frame(frame_data, state);
    FUZZ_CHECK(well_formed_time(frame.time_text));
    FUZZ_CHECK(frame.seconds_of_day >= 0 && frame.seconds_of_day <= 255 * 3600 + 255 * 60 + 255);
    FUZZ_CHECK(std::bit_cast<std::uint32_t>(frame.climb_rate) == std::bit_cast<std::uint32_t>(state.climb_rate));
    FUZZ_CHECK(state.crc_error_count == before.crc_error_count);
    // The first frame has nothing to climb from; later ones move the rate
    // only across a gap of more than five seconds, and an altitude gain of
    // at most 65,535 over six seconds or more keeps it bounded.
    if (before.previous_seconds == 0) FUZZ_CHECK(frame.time_gap == 0);
    if (before.previous_seconds == 0 || frame.time_gap <= 5) {
        FUZZ_CHECK(std::bit_cast<std::uint32_t>(state.climb_rate) ==
                   std::bit_cast<std::uint32_t>(before.climb_rate));
    } else {
        FUZZ_CHECK(std::isfinite(state.climb_rate) && std::fabs(state.climb_rate) <= 65535.0f / 6 + 1);
    }

    receiver_state again = before;
    FUZZ_CHECK(same_frame(decode_frame(frame_data, again), frame) && same_state(again, state));

    // Fields widen, never shrink: 78 characters is the least a row holds.
    const byte_string row = format_table_row(frame);
    FUZZ_CHECK(row.size() >= 78 && row.size() <= mask_result_limit);
    FUZZ_CHECK(only_characters(row, " 0123456789.:-+E"));
    FUZZ_CHECK(format_table_row(frame) == row);

    const byte_string line = log_line(frame);
    check_log_line(frame, line);
    FUZZ_CHECK(log_line(frame) == line);

    // As the receive loop makes them: the digits once, the row in a state
    // kept from frame to frame, the line in a kept buffer.
    static frame_digits digits;
    static mask_state row_state;
    static byte_string kept_line;
    make_frame_digits(frame, digits);
    FUZZ_CHECK(format_table_row(frame, digits, row_state) == row);
    make_log_line(frame, digits, kept_line);
    FUZZ_CHECK(kept_line == line);

    update_previous(frame, state);
}

void check_frame_text(byte_view text, receiver_state& state)
{
    const byte_string bytes = frame_text_to_bytes(text);
    FUZZ_CHECK(bytes.size() == (text.size() <= 32766 ? (text.size() + 1) / 2 : 0));
    static byte_string kept_bytes;
    frame_text_to_bytes(text, kept_bytes);
    FUZZ_CHECK(kept_bytes == bytes);

    // The last two bytes, little-endian, are the CRC of the ones before.
    const std::size_t n = bytes.size();
    const byte_view data = byte_view(bytes).substr(0, n >= 2 ? n - 2 : 0);
    std::uint16_t received = 0;
    if (n >= 2) {
        received = static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[n - 2]) |
                                              static_cast<unsigned char>(bytes[n - 1]) << 8);
    } else if (n == 1) {
        received = static_cast<unsigned char>(bytes[0]);
    }
    const std::uint16_t crc = reference_crc(data);
    FUZZ_CHECK(frame_crc16(masks, data) == crc);

    const receiver_state before = state;
    byte_string frame_data = "left over";
    const bool valid = verify_frame(masks, bytes, state, frame_data);
    FUZZ_CHECK(valid == (crc == received));
    FUZZ_CHECK(frame_data == data);
    receiver_state viewed_state = before;
    byte_view viewed;
    FUZZ_CHECK(verify_frame(masks, bytes, viewed_state, viewed) == valid);
    FUZZ_CHECK(viewed == data && same_state(viewed_state, state));
    if (!valid) {
        receiver_state counted = before;
        counted.crc_error_count = static_cast<std::int32_t>(static_cast<std::uint32_t>(before.crc_error_count) + 1u);
        FUZZ_CHECK(same_state(state, counted));
        return;
    }
    FUZZ_CHECK(same_state(state, before));
    check_valid_frame(frame_data, before, state);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_input input{data, size};
    receiver_state state;
    if (take_byte(input) & 1u) {
        while (input_left(input)) {
            // Mostly whole frames; now and then frame data that is too short
            // or too long, which the decoder must take all the same.
            const std::uint8_t shape = take_byte(input);
            byte_string frame(take_bytes(input, shape < 200 ? 20 : shape - 200u));
            const std::uint16_t crc = reference_crc(frame);
            frame.push_back(static_cast<char>(crc & 0xFFu));
            frame.push_back(static_cast<char>(crc >> 8));
            const std::int32_t errors = state.crc_error_count;
            check_frame_text(hex_text(frame), state);
            FUZZ_CHECK(state.crc_error_count == errors);
        }
    } else {
        // A count near its wrap shows the wrap as well as the counting.
        state.crc_error_count = static_cast<std::int32_t>(take_byte(input) == 0xFF ? 0x7FFFFFFF : 0);
        byte_view rest = take_bytes(input, size);
        while (!rest.empty()) {
            const std::size_t end = rest.find('\n');
            check_frame_text(rest.substr(0, end), state);
            rest.remove_prefix(end == byte_view::npos ? rest.size() : end + 1);
        }
    }
    return 0;
}
