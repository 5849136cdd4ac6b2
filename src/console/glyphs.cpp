#include "console/glyphs.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr std::array<char32_t, 256> code_points = {
    0x2400, 0x263A, 0x263B, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022,
    0x25D8, 0x25CB, 0x25D9, 0x2642, 0x2640, 0x266A, 0x266B, 0x263C,
    0x25BA, 0x25C4, 0x2195, 0x203C, 0x00B6, 0x00A7, 0x25AC, 0x21A8,
    0x2191, 0x2193, 0x2192, 0x2190, 0x221F, 0x2194, 0x25B2, 0x25BC,
    0x0020, 0x0021, 0x0022, 0x0023, 0x0024, 0x0025, 0x0026, 0x0027,
    0x0028, 0x0029, 0x002A, 0x002B, 0x002C, 0x002D, 0x002E, 0x002F,
    0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037,
    0x0038, 0x0039, 0x003A, 0x003B, 0x003C, 0x003D, 0x003E, 0x003F,
    0x0040, 0x0041, 0x0042, 0x0043, 0x0044, 0x0045, 0x0046, 0x0047,
    0x0048, 0x0049, 0x004A, 0x004B, 0x004C, 0x004D, 0x004E, 0x004F,
    0x0050, 0x0051, 0x0052, 0x0053, 0x0054, 0x0055, 0x0056, 0x0057,
    0x0058, 0x0059, 0x005A, 0x005B, 0x005C, 0x005D, 0x005E, 0x005F,
    0x0060, 0x0061, 0x0062, 0x0063, 0x0064, 0x0065, 0x0066, 0x0067,
    0x0068, 0x0069, 0x006A, 0x006B, 0x006C, 0x006D, 0x006E, 0x006F,
    0x0070, 0x0071, 0x0072, 0x0073, 0x0074, 0x0075, 0x0076, 0x0077,
    0x0078, 0x0079, 0x007A, 0x007B, 0x007C, 0x007D, 0x007E, 0x2302,
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

struct encoded_glyph {
    char bytes[3];
    std::uint8_t length;
};

constexpr encoded_glyph encode(char32_t code_point)
{
    encoded_glyph glyph{};
    if (code_point < 0x80) {
        glyph.bytes[0] = static_cast<char>(code_point);
        glyph.length = 1;
    } else if (code_point < 0x800) {
        glyph.bytes[0] = static_cast<char>(0xC0 | (code_point >> 6));
        glyph.bytes[1] = static_cast<char>(0x80 | (code_point & 0x3F));
        glyph.length = 2;
    } else {
        glyph.bytes[0] = static_cast<char>(0xE0 | (code_point >> 12));
        glyph.bytes[1] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        glyph.bytes[2] = static_cast<char>(0x80 | (code_point & 0x3F));
        glyph.length = 3;
    }
    return glyph;
}

constexpr std::array<encoded_glyph, 256> make_utf8_table()
{
    std::array<encoded_glyph, 256> table{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        table[i] = encode(code_points[i]);
    }
    return table;
}

constexpr std::array<encoded_glyph, 256> utf8_glyphs = make_utf8_table();

bool names_utf8(const char* value)
{
    // "UTF-8", "utf8", "Utf-8" ...: compare letters without case, skip '-'.
    for (const char* start = value; *start != '\0'; ++start) {
        const char* p = start;
        const char* want = "utf8";
        while (*want != '\0' && *p != '\0') {
            if (*p == '-' && *want == '8') {
                ++p;
                continue;
            }
            const char lower = (*p >= 'A' && *p <= 'Z') ? static_cast<char>(*p - 'A' + 'a') : *p;
            if (lower != *want) {
                break;
            }
            ++p;
            ++want;
        }
        if (*want == '\0') {
            return true;
        }
    }
    return false;
}

// 32-126 are shown as themselves on any terminal.
bool stands_for_itself(char byte)
{
    return static_cast<unsigned char>(static_cast<unsigned char>(byte) - 32u) < 95u;
}

// How many of the bytes from the start stand for themselves. Nearly every
// byte a frame shows does, so they are tested many at a time.
std::size_t printable_prefix(const char* bytes, std::size_t count)
{
    std::size_t i = 0;
#if defined(__SSE2__)
    // Sixteen at once: as signed bytes, 32-126 are exactly those above 31
    // and below 127 (128-255 are negative). A bit for each byte that is.
    const auto printable_lanes = [](__m128i word) {
        const __m128i in_range =
            _mm_and_si128(_mm_cmpgt_epi8(word, _mm_set1_epi8(31)), _mm_cmplt_epi8(word, _mm_set1_epi8(127)));
        return static_cast<unsigned>(_mm_movemask_epi8(in_range));
    };
    const auto printable_mask = [&](const char* at) {
        return printable_lanes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
    };
    for (; count - i >= 16; i += 16) {
        const unsigned found = printable_mask(bytes + i);
        if (found != 0xFFFFu) return i + static_cast<std::size_t>(std::countr_one(found));
    }
    if (i == count) return count;
    if (count >= 16) {
        // The last sixteen bytes, which overlap the ones already passed:
        // those are marked as found, so the first byte missing is the answer.
        const std::size_t last = count - 16;
        const unsigned passed = (1u << (i - last)) - 1u;
        const unsigned found = printable_mask(bytes + last) | passed;
        return last + static_cast<std::size_t>(std::countr_one(found));
    }
    if (count >= 8) {
        // Eight and eight, the second eight overlapping the first.
        const auto eight_mask = [&](const char* at) {
            return printable_lanes(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at))) & 0xFFu;
        };
        const unsigned first = eight_mask(bytes);
        if (first != 0xFFu) return static_cast<std::size_t>(std::countr_one(first));
        const std::size_t last = count - 8;
        const unsigned found = eight_mask(bytes + last) | ((1u << (8 - last)) - 1u);
        return last + static_cast<std::size_t>(std::countr_one(found));
    }
#else
    // Eight at once in a 64-bit word: whether any byte is below 32
    // (subtracting 32 from each borrows into its top bit, and the byte's own
    // top bit is clear) or above 126 (adding 1 reaches the top bit, or it was
    // set already). A borrow or carry that crosses into the next byte only
    // ever starts at a byte that is itself found, so the answer for the word
    // is exact.
    constexpr std::uint64_t ones = 0x0101010101010101u;
    constexpr std::uint64_t tops = 0x8080808080808080u;
    for (; count - i >= 8; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes + i, sizeof word);
        const std::uint64_t below_32 = (word - ones * 32u) & ~word & tops;
        const std::uint64_t above_126 = ((word + ones) | word) & tops;
        if ((below_32 | above_126) != 0) break;
    }
#endif
    while (i < count && stands_for_itself(bytes[i])) ++i;
    return i;
}

}  // namespace

char32_t glyph_code_point(unsigned char byte)
{
    return code_points[byte];
}

void append_glyph(byte_string& out, char byte, bool utf8)
{
    const auto code = static_cast<unsigned char>(byte);
    if (stands_for_itself(byte)) {
        out.push_back(byte);
    } else if (utf8) {
        const encoded_glyph& glyph = utf8_glyphs[code];
        out.append(glyph.bytes, glyph.length);
    } else {
        out.push_back('?');
    }
}

void append_glyphs(byte_string& out, byte_view bytes, bool utf8)
{
    const char* start = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const std::size_t run = printable_prefix(start, left);
        out.append(start, run);
        if (run == left) {
            break;
        }
        append_glyph(out, start[run], utf8);
        start += run + 1;
        left -= run + 1;
    }
}

bool locale_is_utf8(const char* lc_all, const char* lc_ctype, const char* lang)
{
    for (const char* value : {lc_all, lc_ctype, lang}) {
        if (value != nullptr && *value != '\0') {
            return names_utf8(value);
        }
    }
    return false;
}
