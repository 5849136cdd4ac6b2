#include "text_safety.h"

namespace {

// The length of the well-formed UTF-8 sequence at text[at], or 0.
std::size_t sequence_length(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[at + k]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;  // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;  // overlong
        if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    if (byte(1) < low || byte(1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(k) < 0x80 || byte(k) > 0xBF) return 0;
    }
    return length;
}

}  // namespace

bool is_utf8(std::string_view text)
{
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = sequence_length(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::string utf8_text(std::string_view text)
{
    std::string safe;
    safe.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = sequence_length(text, at);
        if (length == 0) {
            safe += "\xEF\xBF\xBD";
            ++at;
        } else {
            safe.append(text.substr(at, length));
            at += length;
        }
    }
    return safe;
}

std::string shown_text(std::string_view text)
{
    static const char digits[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = sequence_length(text, at);
        const auto lead = static_cast<unsigned char>(text[at]);
        // C1 controls (U+0080 to U+009F) are commands to a terminal too.
        const bool control = length == 1 ? (lead < 0x20 || lead == 0x7F)
                                         : length == 2 && lead == 0xC2 &&
                                               static_cast<unsigned char>(text[at + 1]) < 0xA0;
        if (length == 0 || control) {
            const std::size_t count = length == 0 ? 1 : length;
            for (std::size_t k = 0; k < count; ++k) {
                const auto b = static_cast<unsigned char>(text[at + k]);
                shown += "\\x";
                shown += digits[b >> 4];
                shown += digits[b & 15];
            }
            at += count;
        } else if (lead == '\\') {
            shown += "\\\\";
            ++at;
        } else {
            shown.append(text.substr(at, length));
            at += length;
        }
    }
    return shown;
}
