#include "core/frame.h"

#include <algorithm>
#include <array>
#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "format/number_text.h"

namespace {

// The datagram's knots become km/h; the battery byte becomes volts. Both are
// single-precision constants, and 0.0196 is deliberately not 5/255.
constexpr float knots_to_kmh = 1.852f;
constexpr float battery_volts_per_step = 0.0196f;
static_assert(std::bit_cast<std::uint32_t>(knots_to_kmh) == 0x3FED0E56u);
static_assert(std::bit_cast<std::uint32_t>(battery_volts_per_step) == 0x3CA0902Eu);

constexpr std::size_t field_bytes = 20;
constexpr int coordinate_places = 5;
constexpr int volt_places = 2;
constexpr int climb_places = 2;
constexpr std::int32_t climb_minimum_gap = 5;

// The text's length and the pair position are signed 16-bit counts. From
// 32,768 characters on the length is negative and no pair is read. At
// exactly 32,767 the position would have to step from 32,767 to 32,769,
// which it cannot hold; rather than stop part-way and hand a frame of
// 16,384 bytes to the CRC test (which a crafted text could pass), such a
// text yields no bytes either, so it always fails the CRC test.
constexpr std::size_t longest_frame_text = 32766;

// One byte through the working value, most significant bit first. This is
// the definition of the CRC; the byte-step table is derived from it.
std::uint32_t crc_byte_by_bits(const bit_mask_table& masks, std::uint32_t working,
                               unsigned char byte)
{
    const auto value = static_cast<std::uint32_t>(byte);
    for (int j = 7; j >= 0; --j) {
        const auto mask = static_cast<std::uint32_t>(masks.mask[static_cast<std::size_t>(j)]);
        const bool data_bit = (value & mask) == mask;
        const bool top_bit = (working & 0x8000u) == 0x8000u;
        working = (working & 0x7FFFu) * 2u;
        if (data_bit != top_bit) working ^= 0x11021u;
    }
    return working;
}

// The CRC is linear, so a byte's effect splits into the old value shifted
// out of the low byte and a table entry for the high byte combined with the
// data byte. Two bytes at a time, the old value combined with both data
// bytes selects two entries that are looked up side by side, which halves
// the chain of dependent look-ups.
std::uint16_t crc_by_bytes(const bit_mask_table& masks, byte_view bytes)
{
    std::uint32_t crc = 0xFFFF;
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        const std::uint32_t pair = crc ^ (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 8 |
                                          static_cast<unsigned char>(bytes[i + 1]));
        crc = static_cast<std::uint32_t>(masks.crc_step_then_zero[pair >> 8] ^ masks.crc_step[pair & 0xFFu]);
    }
    if (i < bytes.size()) {
        const std::uint32_t index = ((crc >> 8) ^ static_cast<unsigned char>(bytes[i])) & 0xFFu;
        crc = ((crc << 8) ^ masks.crc_step[index]) & 0xFFFFu;
    }
    return static_cast<std::uint16_t>(crc);
}

// Each character's hexadecimal value, or no_hex_digit. A frame is a few
// dozen characters; one look-up each keeps their conversion a small part of
// the frame's work.
constexpr int no_hex_digit = -1;
constexpr std::array<std::int8_t, 256> hex_values = [] {
    std::array<std::int8_t, 256> values{};
    values.fill(no_hex_digit);
    for (int c = '0'; c <= '9'; ++c) values[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) values[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) values[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(c - 'a' + 10);
    return values;
}();

int hex_value(char c)
{
    return hex_values[static_cast<unsigned char>(c)];
}

#if defined(__SSE2__)
// The same sixteen bytes as the compiler's own vector type, on which a
// subtraction is written as one.
using byte_lanes = char __attribute__((vector_size(16)));

__m128i minus(__m128i bytes, char value)
{
    return std::bit_cast<__m128i>(std::bit_cast<byte_lanes>(bytes) - value);
}

__m128i bytes_between(__m128i bytes, char low, char high)
{
    return _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8(static_cast<char>(low - 1))),
                         _mm_cmplt_epi8(bytes, _mm_set1_epi8(static_cast<char>(high + 1))));
}

// Sixteen characters into eight bytes at once, when every one of them is a
// hexadecimal digit; otherwise nothing is written and the pairs are left
// to the rule one by one.
bool sixteen_digits_to_bytes(const char* text, char* out)
{
    const __m128i characters = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    // Setting bit 5 makes "A"-"F" into "a"-"f", and nothing else into them.
    const __m128i folded = _mm_or_si128(characters, _mm_set1_epi8(0x20));
    const __m128i decimal = bytes_between(characters, '0', '9');
    const __m128i letter = bytes_between(folded, 'a', 'f');
    if (_mm_movemask_epi8(_mm_or_si128(decimal, letter)) != 0xFFFF) return false;
    const __m128i values =
        _mm_or_si128(_mm_and_si128(decimal, minus(characters, '0')), _mm_and_si128(letter, minus(folded, 'a' - 10)));
    // Each 16-bit lane holds a pair, its first digit in the low byte.
    const __m128i first = _mm_and_si128(values, _mm_set1_epi16(0x00FF));
    const __m128i second = _mm_srli_epi16(values, 8);
    const __m128i pairs = _mm_or_si128(_mm_slli_epi16(first, 4), second);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(pairs, pairs));
    return true;
}
#endif

// hex_pair_value's rule for a pair of digit values (the second one
// no_hex_digit when the text ends after the first): reading stops at the
// first character that is not a digit.
int pair_value(int first, int second)
{
    if (first == no_hex_digit) return 0;
    return second == no_hex_digit ? first : first * 16 + second;
}

std::uint32_t read_unsigned(const unsigned char* field, int width)
{
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | field[i];
    return value;
}

// The two decimal digits of the byte's last two places, "07" for 7 and "23"
// for 123: the same as the last two characters of "0" followed by the
// byte's number text, without building that text three times a frame.
void put_time_part(char* text, unsigned char value)
{
    text[0] = static_cast<char>('0' + value / 10 % 10);
    text[1] = static_cast<char>('0' + value % 10);
}

float rounded_single(long double value, int places)
{
    return static_cast<float>(round_to_places(value, places));
}

std::int32_t wrapping_difference(std::int32_t later, std::int32_t earlier)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(later) -
                                     static_cast<std::uint32_t>(earlier));
}

// Returns the time gap; previous time, previous altitude and climb rate
// change as the rule says.
std::int32_t apply_climb_rule(std::int32_t seconds, std::int16_t altitude, receiver_state& state)
{
    if (state.previous_altitude == 0) state.previous_altitude = altitude;
    if (state.previous_seconds == 0) {
        state.previous_seconds = seconds;
    } else {
        const std::int32_t gap = wrapping_difference(seconds, state.previous_seconds);
        if (gap > climb_minimum_gap) {
            const long double gain = altitude - state.previous_altitude;
            state.climb_rate = rounded_single(gain / static_cast<long double>(gap), climb_places);
        }
    }
    return wrapping_difference(seconds, state.previous_seconds);
}

}  // namespace

void fill_bit_mask_table(bit_mask_table& masks)
{
    for (std::size_t i = 0; i < masks.mask.size(); ++i) {
        masks.mask[i] = static_cast<std::int32_t>(power(2.0L, static_cast<long double>(i)));
    }
    for (std::size_t byte = 0; byte < masks.crc_step.size(); ++byte) {
        const std::uint32_t step = crc_byte_by_bits(masks, 0, static_cast<unsigned char>(byte));
        masks.crc_step[byte] = static_cast<std::uint16_t>(step & 0xFFFFu);
        const std::uint32_t then_zero = crc_byte_by_bits(masks, step, 0);
        masks.crc_step_then_zero[byte] = static_cast<std::uint16_t>(then_zero & 0xFFFFu);
    }
}

byte_string frame_text_to_bytes(byte_view frame_text)
{
    byte_string bytes;
    frame_text_to_bytes(frame_text, bytes);
    return bytes;
}

void frame_text_to_bytes(byte_view frame_text, byte_string& bytes)
{
    const std::size_t n = frame_text.size();
    if (n > longest_frame_text) {
        bytes.clear();
        return;
    }
    // Every byte is written below, so a buffer kept from the last frame,
    // which nearly always has the same length, needs no clearing.
    if (bytes.size() != (n + 1) / 2) bytes.resize((n + 1) / 2);
    char* out = bytes.data();
    std::size_t p = 0;
#if defined(__SSE2__)
    for (; n - p >= 16 && sixteen_digits_to_bytes(frame_text.data() + p, out); p += 16) out += 8;
#endif
    // Pairs of two digits, all of a well-formed frame, need no rule. (The
    // way out also keeps the compiler from a vector loop of single-byte
    // look-ups, which is slower than this one for a frame's 22 pairs.)
    for (; p + 1 < n; p += 2) {
        const int first = hex_value(frame_text[p]);
        const int second = hex_value(frame_text[p + 1]);
        if ((first | second) < 0) break;
        *out++ = static_cast<char>(first * 16 + second);
    }
    for (; p + 1 < n; p += 2) {
        *out++ = static_cast<char>(pair_value(hex_value(frame_text[p]), hex_value(frame_text[p + 1])));
    }
    if (p < n) *out = static_cast<char>(pair_value(hex_value(frame_text[p]), no_hex_digit));
}

std::uint16_t frame_crc16(const bit_mask_table& masks, byte_view bytes)
{
    std::uint32_t working = 0xFFFFFFFFu;
    for (const char c : bytes) working = crc_byte_by_bits(masks, working, static_cast<unsigned char>(c));
    return static_cast<std::uint16_t>(working & 0xFFFFu);
}

bool verify_frame(const bit_mask_table& masks, byte_view frame_bytes, receiver_state& state,
                  byte_string& frame_data)
{
    byte_view data;
    const bool valid = verify_frame(masks, frame_bytes, state, data);
    frame_data.assign(data);
    return valid;
}

bool verify_frame(const bit_mask_table& masks, byte_view frame_bytes, receiver_state& state,
                  byte_view& frame_data)
{
    const std::size_t n = frame_bytes.size();
    std::uint16_t received = 0;
    if (n >= 2) {
        received = static_cast<std::uint16_t>(static_cast<unsigned char>(frame_bytes[n - 2]) |
                                              static_cast<unsigned char>(frame_bytes[n - 1]) << 8);
    } else if (n == 1) {
        received = static_cast<unsigned char>(frame_bytes[0]);
    }
    frame_data = frame_bytes.substr(0, n >= 2 ? n - 2 : 0);

    if (crc_by_bytes(masks, frame_data) == received) return true;
    // The count is shown, not computed with; past its largest value it wraps
    // to the smallest, as a 32-bit two's-complement counter does.
    state.crc_error_count =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(state.crc_error_count) + 1u);
    return false;
}

decoded_frame decode_frame(byte_view frame_data, receiver_state& state)
{
    // Bytes beyond the end of short frame data read as 0; bytes after the
    // 20th are never read.
    unsigned char b[field_bytes] = {};
    const std::size_t present = std::min(frame_data.size(), field_bytes);
    for (std::size_t i = 0; i < present; ++i) b[i] = static_cast<unsigned char>(frame_data[i]);

    decoded_frame frame;
    frame.counter = static_cast<std::int16_t>(read_unsigned(b + 1, 2));

    char time_text[8] = {0, 0, ':', 0, 0, ':', 0, 0};
    put_time_part(time_text, b[3]);
    put_time_part(time_text + 3, b[4]);
    put_time_part(time_text + 6, b[5]);
    frame.time_text.assign(time_text, sizeof time_text);
    frame.seconds_of_day = b[3] * 3600 + b[4] * 60 + b[5];

    frame.latitude = rounded_single(std::bit_cast<float>(read_unsigned(b + 6, 4)), coordinate_places);
    frame.longitude = rounded_single(std::bit_cast<float>(read_unsigned(b + 10, 4)), coordinate_places);
    frame.altitude = static_cast<std::int16_t>(read_unsigned(b + 14, 2));

    frame.time_gap = apply_climb_rule(frame.seconds_of_day, frame.altitude, state);
    frame.climb_rate = state.climb_rate;

    // The product of a single and a byte is exact in extended precision, so
    // this is the one rounding to single.
    frame.speed = static_cast<float>(static_cast<long double>(knots_to_kmh) * b[16]);
    frame.satellites = b[17];
    frame.temperature = static_cast<std::int16_t>(b[18] > 127 ? b[18] - 256 : b[18]);
    frame.battery_voltage =
        rounded_single(static_cast<long double>(battery_volts_per_step) * b[19], volt_places);
    return frame;
}

void update_previous(const decoded_frame& frame, receiver_state& state)
{
    state.previous_seconds = frame.seconds_of_day;
    state.previous_altitude = frame.altitude;
}
