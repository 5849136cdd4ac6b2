#include "console/key_decoder.h"

#include <algorithm>
#include <array>

namespace {

constexpr char escape = 27;

// Longer than any key sequence a terminal sends; a run this long without a
// final byte is noise and is thrown away.
constexpr std::size_t longest_sequence = 32;

// PC scan codes of the letter keys, 'a' to 'z'.
constexpr std::array<unsigned char, 26> letter_scan_codes = {
    0x1E, 0x30, 0x2E, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17, 0x24, 0x25, 0x26, 0x32,
    0x31, 0x18, 0x19, 0x10, 0x13, 0x1F, 0x14, 0x16, 0x2F, 0x11, 0x2D, 0x15, 0x2C,
};

constexpr unsigned char unknown_key = 0x00;
constexpr unsigned char key_up = 0x48, key_down = 0x50, key_left = 0x4B, key_right = 0x4D;
constexpr unsigned char key_home = 0x47, key_end = 0x4F, key_centre = 0x4C;
constexpr unsigned char key_page_up = 0x49, key_page_down = 0x51;
constexpr unsigned char key_insert = 0x52, key_delete = 0x53, key_back_tab = 0x0F;
constexpr unsigned char key_f1 = 0x3B, key_f11 = 0x85, key_f12 = 0x86;

key_parse scan_key(std::size_t consumed, unsigned char scan_code)
{
    return key_parse{key_parse_status::complete, consumed, byte_string{'\0', static_cast<char>(scan_code)}};
}

key_parse discarded(std::size_t consumed)
{
    return key_parse{key_parse_status::complete, consumed, byte_string{}};
}

key_parse partial()
{
    return key_parse{key_parse_status::partial, 0, byte_string{}};
}

// ESC followed by a key that is not the start of a sequence: Alt held.
key_parse alt_key(char key)
{
    const char lower = (key >= 'A' && key <= 'Z') ? static_cast<char>(key - 'A' + 'a') : key;
    if (lower >= 'a' && lower <= 'z') {
        return scan_key(2, letter_scan_codes[static_cast<std::size_t>(lower - 'a')]);
    }
    return key_parse{key_parse_status::complete, 2, byte_string(1, key)};
}

// The keys behind CSI n ~ (VT220 editing and function keys).
unsigned char tilde_key(int number)
{
    switch (number) {
    case 1: case 7: return key_home;
    case 2: return key_insert;
    case 3: return key_delete;
    case 4: case 8: return key_end;
    case 5: return key_page_up;
    case 6: return key_page_down;
    case 11: case 12: case 13: case 14: case 15:
        return static_cast<unsigned char>(key_f1 + (number - 11));
    case 17: case 18: case 19: case 20: case 21:
        return static_cast<unsigned char>(key_f1 + 5 + (number - 17));
    case 23: return key_f11;
    case 24: return key_f12;
    default: return unknown_key;
    }
}

// Keys named by a final letter alone, after CSI or SS3.
unsigned char letter_key(char final)
{
    switch (final) {
    case 'A': return key_up;
    case 'B': return key_down;
    case 'C': return key_right;
    case 'D': return key_left;
    case 'H': return key_home;
    case 'F': return key_end;
    case 'E': return key_centre;
    case 'Z': return key_back_tab;
    case 'P': case 'Q': case 'R': case 'S':
        return static_cast<unsigned char>(key_f1 + (final - 'P'));
    default: return unknown_key;
    }
}

bool is_parameter(char c) { return c >= 0x30 && c <= 0x3F; }
bool is_intermediate(char c) { return c >= 0x20 && c <= 0x2F; }
bool is_final(char c) { return c >= 0x40 && c <= 0x7E; }

// The first decimal parameter of a CSI sequence, 0 when absent; stops
// counting at a size no key uses, so long digit runs cannot overflow.
int first_parameter(byte_view parameters)
{
    int value = 0;
    for (char c : parameters) {
        if (c < '0' || c > '9') {
            break;
        }
        if (value < 1000) {
            value = value * 10 + (c - '0');
        }
    }
    return value;
}

// bytes[0..1] are ESC [.
key_parse parse_csi(byte_view bytes, bool nothing_follows)
{
    if (bytes.size() >= 3 && bytes[2] == '[') {
        // The Linux console's F1-F5: ESC [ [ A to ESC [ [ E.
        if (bytes.size() < 4) {
            return nothing_follows ? discarded(bytes.size()) : partial();
        }
        const char which = bytes[3];
        const bool function_key = which >= 'A' && which <= 'E';
        return scan_key(4, function_key ? static_cast<unsigned char>(key_f1 + (which - 'A')) : unknown_key);
    }
    if (bytes.size() >= 3 && bytes[2] == 'M') {
        // An X10 mouse report: three raw bytes follow.
        if (bytes.size() < 6) {
            return nothing_follows ? discarded(bytes.size()) : partial();
        }
        return discarded(6);
    }
    // The noise is cut at the same length however the reads split it, so
    // that the keys after it do not depend on how many bytes had arrived.
    const std::size_t end = std::min(bytes.size(), longest_sequence);
    std::size_t at = 2;
    while (at < end && is_parameter(bytes[at])) {
        ++at;
    }
    const byte_view parameters = bytes.substr(2, at - 2);
    while (at < end && is_intermediate(bytes[at])) {
        ++at;
    }
    if (at >= longest_sequence) {
        return scan_key(at, unknown_key);
    }
    if (at >= bytes.size()) {
        return nothing_follows ? scan_key(bytes.size(), unknown_key) : partial();
    }
    const char final = bytes[at];
    if (!is_final(final)) {
        // A control byte inside the sequence: the sequence ends before it.
        return scan_key(at, unknown_key);
    }
    const std::size_t length = at + 1;
    const bool private_marker = !parameters.empty() && (parameters[0] == '<' || parameters[0] == '?' ||
                                                        parameters[0] == '>' || parameters[0] == '=');
    if (private_marker) {
        return discarded(length);  // mouse and other reports, never a key
    }
    if ((final == 'I' || final == 'O') && parameters.empty()) {
        return discarded(length);  // focus in and out
    }
    if (final == '~') {
        return scan_key(length, tilde_key(first_parameter(parameters)));
    }
    return scan_key(length, letter_key(final));
}

// Digits from `at` on, as a number that stops growing at a size no screen
// has; false when there is no digit.
bool read_number(byte_view bytes, std::size_t& at, int& value)
{
    const std::size_t first = at;
    value = 0;
    for (; at < bytes.size() && bytes[at] >= '0' && bytes[at] <= '9'; ++at) {
        if (value < 100000) {
            value = value * 10 + (bytes[at] - '0');
        }
    }
    return at > first;
}

// Whether `bytes` are exactly ESC [ row ; column R.
bool read_position_report(byte_view bytes, int& row, int& column)
{
    if (bytes.size() < 6 || bytes[0] != escape || bytes[1] != '[' || bytes.back() != 'R') {
        return false;
    }
    std::size_t at = 2;
    if (!read_number(bytes, at, row) || bytes[at] != ';') {
        return false;
    }
    ++at;
    return read_number(bytes, at, column) && at + 1 == bytes.size();
}

// Where the first device attributes report (ESC [ ? digits and semicolons c)
// begins, and its length; npos when there is none.
std::size_t find_attributes_report(byte_view bytes, std::size_t& length)
{
    for (std::size_t start = bytes.find(escape); start != byte_view::npos; start = bytes.find(escape, start + 1)) {
        if (bytes.substr(start, 3) != "\x1b[?") {
            continue;
        }
        std::size_t at = start + 3;
        while (at < bytes.size() && ((bytes[at] >= '0' && bytes[at] <= '9') || bytes[at] == ';')) {
            ++at;
        }
        if (at < bytes.size() && bytes[at] == 'c') {
            length = at + 1 - start;
            return start;
        }
    }
    return byte_view::npos;
}

}  // namespace

key_parse parse_key(byte_view bytes, bool nothing_follows)
{
    if (bytes.empty()) {
        return key_parse{};
    }
    if (bytes[0] != escape) {
        return key_parse{key_parse_status::complete, 1, byte_string(1, bytes[0])};
    }
    if (bytes.size() == 1) {
        if (nothing_follows) {
            return key_parse{key_parse_status::complete, 1, byte_string(1, escape)};
        }
        return partial();
    }
    const char second = bytes[1];
    if (second == escape) {
        return key_parse{key_parse_status::complete, 1, byte_string(1, escape)};
    }
    if (second == '[') {
        if (bytes.size() == 2) {
            return nothing_follows ? alt_key('[') : partial();
        }
        return parse_csi(bytes, nothing_follows);
    }
    if (second == 'O') {
        if (bytes.size() == 2) {
            return nothing_follows ? alt_key('O') : partial();
        }
        if (!is_final(bytes[2])) {
            return alt_key('O');  // Alt+O, then an unrelated byte
        }
        return scan_key(3, letter_key(bytes[2]));
    }
    return alt_key(second);
}

position_answer find_position_answer(byte_view bytes)
{
    position_answer answer;
    const std::size_t fence = find_attributes_report(bytes, answer.length);
    if (fence == byte_view::npos) {
        return answer;
    }
    answer.complete = true;
    answer.start = fence;
    // A position report holds one ESC, at its start.
    const std::size_t report = fence == 0 ? byte_view::npos : bytes.rfind(escape, fence - 1);
    if (report != byte_view::npos &&
        read_position_report(bytes.substr(report, fence - report), answer.row, answer.column)) {
        answer.has_position = true;
        answer.length += fence - report;
        answer.start = report;
    }
    return answer;
}
