#include "format/mask.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "format/mask_fields.h"
#include "format/number_text.h"
#include "format/small_copy.h"

namespace {

// The digit string the formatter works from: 18 significant digits and a
// zero, enough for every value the receiver shows.
constexpr std::size_t digit_count = full_digit_count;

// How the literal scan treats each byte: most bytes are plain text, a few
// always start a field, and the rest start one only in some company.
enum class byte_class : unsigned char { literal, field, maybe_field, escape };

constexpr std::array<byte_class, 256> byte_classes = [] {
    std::array<byte_class, 256> classes{};
    for (const unsigned char c : {'#', '&', '!'}) classes[c] = byte_class::field;
    for (const unsigned char c : {'.', '\\', '+', '*', '$'}) classes[c] = byte_class::maybe_field;
    classes['_'] = byte_class::escape;
    return classes;
}();

byte_class class_of(char c)
{
    return byte_classes[static_cast<unsigned char>(c)];
}

}  // namespace

// Whether a field starts at `start`, and which; when none does, the
// characters there are literal text. A run is a field only when it holds at
// least one digit position, so a lone "+", "$", "*" or "," reads as literal
// text. The field is filled in place: building it aside and copying it costs
// more than the parse.
bool read_mask_field(byte_view mask, std::size_t start, mask_field& field)
{
    field = mask_field{};
    const char first = mask[start];
    const byte_class kind = class_of(first);
    if (kind == byte_class::literal || kind == byte_class::escape) return false;
    const auto at = [mask](std::size_t i) { return i < mask.size() ? mask[i] : '\0'; };

    if (first == '&' || first == '!') {
        field.kind = first == '&' ? field_kind::whole_text : field_kind::first_character;
        field.length = 1;
        return true;
    }
    if (first == '\\') {
        std::size_t close = start + 1;
        while (at(close) == ' ') ++close;
        if (at(close) != '\\') return false;
        field.kind = field_kind::fixed_text;
        field.length = close - start + 1;
        return true;
    }

    std::size_t i = start;
    if (first == '+') {
        field.plus_in_front = true;
        ++i;
    }
    if (at(i) == '*' && at(i + 1) == '*') {
        field.star_fill = true;
        field.integer_positions = 2;
        i += 2;
        if (at(i) == '$') {
            field.currency = true;
            ++i;
        }
    } else if (at(i) == '$' && at(i + 1) == '$') {
        field.currency = true;
        field.integer_positions = 1;
        i += 2;
    }
    // Runs are measured by index alone: the field may alias the mask's
    // bytes as far as the compiler knows, so counting in it would store on
    // every character.
    for (;;) {
        if (at(i) == '#') {
            const std::size_t run = i;
            while (at(i) == '#') ++i;
            field.integer_positions += i - run;
            continue;
        }
        // Commas belong to the field only between its integer positions and
        // the digits or point that follow, so "##, ##" keeps its comma.
        if (at(i) == ',' && field.integer_positions > 0) {
            std::size_t after = i;
            while (at(after) == ',') ++after;
            if (at(after) == '#' || (at(after) == '.' && at(after + 1) == '#')) {
                field.integer_positions += after - i;
                field.grouping = true;
                i = after;
                continue;
            }
        }
        break;
    }
    // A point is the field's only when digit positions follow it: "#.#" is
    // one field with one decimal place, "#." a field and a literal ".".
    if (at(i) == '.' && at(i + 1) == '#') {
        field.has_point = true;
        const std::size_t run = ++i;
        while (at(i) == '#') ++i;
        field.decimal_places = i - run;
    }
    if (field.integer_positions == 0 && field.decimal_places == 0) {
        field = mask_field{};
        return false;
    }

    int carets = 0;
    while (carets < 6 && at(i + static_cast<std::size_t>(carets)) == '^') ++carets;
    if (carets >= 3) {
        field.exponent_digits = carets - 2;
        i += static_cast<std::size_t>(carets);
    }
    // A sign shown in front leaves no room for a trailing one; otherwise a
    // "+" or "-" right after the field is its sign, even where "+#" would
    // start the next field.
    if (!field.plus_in_front && (at(i) == '+' || at(i) == '-')) {
        field.trailing_sign = at(i);
        ++i;
    }
    field.kind = field_kind::number;
    field.length = i - start;
    field.plain = !field.plus_in_front && field.trailing_sign == 0 && !field.star_fill && !field.currency &&
                  !field.grouping && field.exponent_digits == 0 && field.length <= plain_field_limit;
    // A minus sign takes an integer position, or widens a field that has
    // none to spare, as in lay_out_number_field.
    const bool widens = field.integer_positions == 0 || (field.integer_positions == 1 && field.decimal_places == 0);
    field.fraction_length = static_cast<std::size_t>(field.has_point) + field.decimal_places;
    field.negative_width = field.length + static_cast<std::size_t>(widens);
    field.negative_shows_zero = (widens ? field.integer_positions : field.integer_positions - 1) >= 1;
    return true;
}

namespace {

// The result never holds more than mask_result_limit characters; whatever
// would go beyond is dropped here, so no caller can overrun it.
std::size_t room(const mask_state& state)
{
    return mask_result_limit - state.length;
}

void append_char(mask_state& state, char c)
{
    if (state.length < mask_result_limit) state.text[state.length++] = c;
}

void append_run(mask_state& state, char c, std::size_t count)
{
    if (count == 0) return;
    count = std::min(count, room(state));
    std::memset(state.text + state.length, c, count);
    state.length += count;
}

void append_bytes(mask_state& state, const char* bytes, std::size_t count)
{
    if (count == 0) return;
    count = std::min(count, room(state));
    if (count > 0) std::memcpy(state.text + state.length, bytes, count);
    state.length += count;
}

// Copies literal text from the mask position up to the next field, which is
// not consumed. At the end of the mask it returns false and the position
// rests at the end.
bool copy_literal_text(mask_state& state)
{
    const byte_view mask = state.mask;
    while (state.position < mask.size()) {
        std::size_t end = state.position;
        while (end < mask.size() && class_of(mask[end]) == byte_class::literal) ++end;
        if (end > state.position) {
            append_bytes(state, mask.data() + state.position, end - state.position);
            state.position = end;
            continue;
        }
        switch (class_of(mask[state.position])) {
        case byte_class::field:
            return true;
        case byte_class::escape: {
            // "_" as the very last character stands for itself.
            const std::size_t literal =
                state.position + 1 < mask.size() ? state.position + 1 : state.position;
            append_char(state, mask[literal]);
            state.position = literal + 1;
            continue;
        }
        default: {
            mask_field field;
            if (read_mask_field(mask, state.position, field)) return true;
            append_char(state, mask[state.position]);
            ++state.position;
        }
        }
    }
    return false;
}

// Reads the next step from the mask, and keeps it when its literal text is
// a plain run of the mask, copied as it stands (see next_field). A field not
// kept is read into the state's scratch field.
const mask_field* read_next_field(mask_state& state)
{
    mask_memo& memo = state.memo;
    // Off the remembered path: the steps after this one may not come again.
    memo.count = memo.next;

    const std::size_t from = state.position;
    std::size_t plain_end = from;
    while (plain_end < state.mask.size() && class_of(state.mask[plain_end]) == byte_class::literal) ++plain_end;
    mask_field& scratch = state.scratch;
    scratch = mask_field{};
    const bool found = copy_literal_text(state) && read_mask_field(state.mask, state.position, scratch);
    if (state.position != plain_end || memo.count == mask_memo_steps) {
        return found ? &scratch : nullptr;
    }
    mask_step& step = memo.steps[memo.count];
    step.from = from;
    step.to = state.position;
    step.field_found = found;
    step.literal_kept = step.to - step.from <= sizeof step.literal;
    if (step.literal_kept) copy_up_to_16(step.literal, state.mask.data() + from, step.to - step.from);
    step.field = scratch;
    memo.next = ++memo.count;
    return found ? &step.field : nullptr;
}

// Copies the literal text up to the next field, as copy_literal_text does,
// and reads that field: the field, or nullptr when there is none. What it
// finds depends only on the mask and the position, so a state that formats
// with the same mask again takes each step it took before from its memo, in
// the same order, instead of reading the mask again.
inline const mask_field* next_field(mask_state& state)
{
    mask_memo& memo = state.memo;
    if (memo.next < memo.count && memo.steps[memo.next].from == state.position) {
        const mask_step& step = memo.steps[memo.next++];
        const std::size_t count = step.to - step.from;
        if (step.literal_kept && room(state) >= sizeof step.literal) {
            copy_16(state.text + state.length, step.literal);
            state.length += count;
        } else {
            append_bytes(state, state.mask.data() + step.from, count);
        }
        state.position = step.to;
        return step.field_found ? &step.field : nullptr;
    }
    return read_next_field(state);
}

// Keeps the field the text after a field ran up to for the next argument.
inline void keep_ready(mask_state& state, const mask_field* found)
{
    state.ready = found == &state.scratch ? field_in_scratch : state.memo.next - 1;
}

// The field for the next argument: the one the text after the last field
// ran up to, or else the next one in the mask.
inline const mask_field* take_field(mask_state& state)
{
    const std::size_t ready = state.ready;
    if (ready == no_field_ready) return next_field(state);
    state.ready = no_field_ready;
    return ready == field_in_scratch ? &state.scratch : &state.memo.steps[ready].field;
}

// The text after a field reaches the result at once; when it runs to the end
// of the mask the next argument starts again from the mask's first field.
// The field it runs up to is kept ready for the next argument.
void finish_field(mask_state& state)
{
    const mask_field* found = next_field(state);
    if (found == nullptr) {
        state.position = 0;
    } else {
        keep_ready(state, found);
    }
}

// The pieces of one numeric field's text, left to right. Digits past the
// known ones are zeros: a mantissa or a run of decimals may be longer than
// the 19-digit string.
struct number_text_pieces {
    char front_sign = 0;
    bool currency = false;
    const char* integer_digits = nullptr;
    std::size_t integer_known = 0;
    std::size_t integer_zeros = 0;
    bool point = false;
    const char* fraction_digits = nullptr;
    std::size_t decimal_known = 0;
    std::size_t decimal_zeros = 0;
    const char* exponent = nullptr;
    std::size_t exponent_length = 0;
    char trailing_sign = 0;
};

std::size_t text_length(const number_text_pieces& p)
{
    return (p.front_sign != 0) + static_cast<std::size_t>(p.currency) + p.integer_known +
           p.integer_zeros + static_cast<std::size_t>(p.point) + p.decimal_known +
           p.decimal_zeros + p.exponent_length + (p.trailing_sign != 0);
}

// Right-justified in the field's width, or wider when the text needs it.
void emit_number(mask_state& state, const number_text_pieces& p, std::size_t width, char fill)
{
    const std::size_t length = text_length(p);
    if (width > length) append_run(state, fill, width - length);
    if (p.front_sign != 0) append_char(state, p.front_sign);
    if (p.currency) append_char(state, '$');
    append_bytes(state, p.integer_digits, p.integer_known);
    append_run(state, '0', p.integer_zeros);
    if (p.point) append_char(state, '.');
    append_bytes(state, p.fraction_digits, p.decimal_known);
    append_run(state, '0', p.decimal_zeros);
    append_bytes(state, p.exponent, p.exponent_length);
    if (p.trailing_sign != 0) append_char(state, p.trailing_sign);
}

// Rounds digits[0..kept) on the digit after them, `dropped`: above 5 up;
// 5 up when a later digit is non-zero, else only to make the last kept digit
// even (no kept digit counts as a kept 0). Returns true when the carry ran
// out of the first digit; the digits are then all '0' and the caller puts
// the "1" in front.
bool round_digits(char* digits, std::size_t kept, char dropped, bool later_nonzero)
{
    const bool last_odd = kept > 0 && ((digits[kept - 1] - '0') & 1) != 0;
    if (!(dropped > '5' || (dropped == '5' && (later_nonzero || last_odd)))) return false;
    std::size_t i = kept;
    while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
    if (i == 0) return true;
    ++digits[i - 1];
    return false;
}

// One past the last digit that is not '0' (0 when all are): whether any
// digit from some place on is non-zero is then one comparison. Read from the
// end, it is found at once for most values.
std::size_t significant_end(const char* digits, std::size_t count)
{
    // Whole numbers end in long runs of zeros: eight at a time first.
    while (count >= 8 && std::memcmp(digits + count - 8, "00000000", 8) == 0) count -= 8;
    while (count > 0 && digits[count - 1] == '0') --count;
    return count;
}

// Exponent part "E+dd": at least `minimum` digits, more when the exponent
// needs them. Returns its length.
std::size_t write_exponent(char* out, long long exponent, int minimum)
{
    unsigned long long magnitude =
        exponent < 0 ? 0ULL - static_cast<unsigned long long>(exponent)
                     : static_cast<unsigned long long>(exponent);
    char reversed[24];
    int count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (count < minimum) reversed[count++] = '0';
    std::size_t length = 0;
    out[length++] = 'E';
    out[length++] = exponent < 0 ? '-' : '+';
    while (count > 0) out[length++] = reversed[--count];
    return length;
}

}  // namespace

void lay_out_number_field(mask_state& state, const mask_field& field, const digit_string& d)
{
    const char* raw = d.digits;
    const std::size_t nonzero_end = significant_end(raw, digit_count);
    const bool zero = nonzero_end == 0;
    const bool negative = d.negative;
    const std::size_t decimals = field.decimal_places;
    const std::size_t integer = field.integer_positions;

    // A minus sign in front takes one integer position, or widens a field
    // that has none to spare: one lone position, or none at all.
    std::size_t width = field.length;
    std::size_t integer_room = integer;
    const bool sign_in_front = !field.plus_in_front && field.trailing_sign == 0;
    if (negative && sign_in_front) {
        if (integer == 0 || (integer == 1 && decimals == 0)) {
            ++width;
        } else {
            --integer_room;
        }
    }

    number_text_pieces p;
    if (field.plus_in_front) p.front_sign = negative ? '-' : '+';
    // cppcheck-suppress knownConditionTrueFalse ; true for a negative value with neither sign asked for
    else if (sign_in_front && negative) p.front_sign = '-';
    if (field.trailing_sign == '+') p.trailing_sign = negative ? '-' : '+';
    else if (field.trailing_sign == '-') p.trailing_sign = negative ? '-' : ' ';
    p.currency = field.currency;
    p.point = field.has_point;

    // Zero counts as a value below 1: it shows as the single "0".
    std::size_t whole_digits =
        zero || d.exponent <= 0 ? 0 : static_cast<std::size_t>(d.exponent);
    char kept[digit_count + 2];
    char exponent_text[32];
    char grouped[digit_count + 2 + digit_count / 3];

    if (field.exponent_digits == 0 && whole_digits + decimals <= digit_count) {
        // Fixed form. The digit string starts at the first decimal place for
        // values below 1, so a value below 0.1 has zeros put in front.
        const std::size_t lead =
            zero || d.exponent >= 0 ? 0 : static_cast<std::size_t>(-static_cast<long>(d.exponent));
        const auto digit = [&](std::size_t i) {
            return i < lead || i - lead >= digit_count ? '0' : raw[i - lead];
        };
        std::size_t count = whole_digits + decimals;
        if (lead == 0) {
            // The usual case: the digits as they stand (count is at most 19
            // here), copied whole, which costs less than copying count.
            static_assert(sizeof d.digits <= sizeof kept);
            std::memcpy(kept, raw, sizeof d.digits);
        } else {
            for (std::size_t i = 0; i < count; ++i) kept[i] = digit(i);
        }
        const std::size_t later = std::max(count + 1, lead) - lead;
        const bool later_nonzero = later < nonzero_end;
        if (round_digits(kept, count, digit(count), later_nonzero)) {
            std::memmove(kept + 1, kept, count);
            kept[0] = '1';
            ++count;
            ++whole_digits;
        }
        if (whole_digits == 0) {
            p.integer_digits = "0";
            p.integer_known = integer_room >= 1 ? 1 : 0;
        } else if (field.grouping) {
            std::size_t length = 0;
            for (std::size_t i = 0; i < whole_digits; ++i) {
                if (i > 0 && (whole_digits - i) % 3 == 0) grouped[length++] = ',';
                grouped[length++] = kept[i];
            }
            p.integer_digits = grouped;
            p.integer_known = length;
        } else {
            p.integer_digits = kept;
            p.integer_known = whole_digits;
        }
        p.fraction_digits = kept + whole_digits;
        p.decimal_known = decimals;
    } else {
        // Exponent form: a mantissa of as many integer digits as the field
        // has room for and its decimal places, then the exponent. A field
        // without "^" grows by the exponent part, as any text longer than
        // its field does.
        const std::size_t mantissa = integer_room + decimals;
        std::size_t known = std::min(mantissa, digit_count);
        for (std::size_t i = 0; i < known; ++i) kept[i] = raw[i];
        long long exponent = static_cast<long long>(d.exponent) - static_cast<long long>(integer_room);
        const char dropped = mantissa < digit_count ? raw[mantissa] : '0';
        const bool later_nonzero = mantissa + 1 < nonzero_end;
        if (known > 0 && round_digits(kept, known, dropped, later_nonzero)) {
            // All nines became "1000...": same digit count, one more decade.
            kept[0] = '1';
            ++exponent;
        }
        if (zero) exponent = 0;
        const std::size_t integer_known = std::min(integer_room, known);
        if (zero) {
            p.integer_digits = "0";
            p.integer_known = integer_room >= 1 ? 1 : 0;
        } else {
            p.integer_digits = kept;
            p.integer_known = integer_known;
            p.integer_zeros = integer_room - integer_known;
        }
        p.fraction_digits = kept + integer_known;
        p.decimal_known = known - integer_known;
        p.decimal_zeros = decimals - p.decimal_known;
        p.exponent = exponent_text;
        p.exponent_length =
            write_exponent(exponent_text, exponent, field.exponent_digits > 0 ? field.exponent_digits : 2);
    }
    emit_number(state, p, width, field.star_fill ? '*' : ' ');
}

namespace {

// The room a plain field needs in the state: up to 16 spaces, the sign and
// 16 bytes of digits on either side of the point, moved whole; then, apart
// from those, the digits it works on.
constexpr std::size_t plain_text_room = 64;
constexpr std::size_t plain_work_room = 48;

// The digits a plain field shows, as the fixed form reads them: zeros on
// either side, rounded on the digit after the first `count`, and with a "1"
// in front, and `whole` one more, when the rounding carries out of them. A
// value below 0.1 starts with zeros after the point, and digits past the 19
// known ones are zeros; sixteen zeros in front hold anything that can show
// in 15 places. They are worked on in the state's text past the room the
// field's own text may take. Given back in registers, so that the caller
// keeps `whole` in one rather than in memory.
struct plain_digits {
    const char* digits;
    std::size_t whole;
};
plain_digits rounded_plain_digits(char* work, const digit_string& d, bool zero, std::size_t count, std::size_t whole)
{
    const char* const raw = d.digits;
    fill_16(work, '0');
    fill_16(work + 32, '0');
    copy_16(work + 16, raw);
    std::memcpy(work + 16 + 15, raw + 15, 4);
    const int e = d.exponent;
    const std::size_t lead = zero || e >= 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(-e), 16);
    char* digits = work + 16 - lead;

    // Rounded as round_digits does. Only a value with fewer than 16 zeros in
    // front can round up, so a zero always stands before the first digit: a
    // carry stops there, and a carry out of the first digit makes it a "1".
    const char dropped = digits[count];
    if (dropped >= '5') {
        bool up = dropped > '5' || (count > 0 && (digits[count - 1] & 1) != 0);
        for (const char* later = digits + count + 1; !up && later < work + plain_work_room; ++later) {
            up = *later != '0';
        }
        if (up) {
            char* end = digits + count;
            while (end[-1] == '9') *--end = '0';
            ++end[-1];
            if (end == digits) {
                --digits;
                ++whole;
            }
        }
    }
    return {digits, whole};
}

// A plain field's text at `out`, which has plain_text_room bytes and the
// work room past them: the end of the text, or nullptr, with nothing of it
// written, where the shortcut does not apply. Inlined where the row's fields
// are laid out: a call would cost as much as a third of the work.
[[gnu::always_inline]] inline char* plain_number_text(char* out, const mask_field& field, const digit_string& d)
{
    const char* const raw = d.digits;
    const bool zero = raw[0] == '0' && significant_end(raw, digit_count) == 0;
    const std::size_t decimals = field.decimal_places;
    const int e = d.exponent;
    std::size_t whole = zero || e <= 0 ? 0 : static_cast<std::size_t>(e);
    if (whole + decimals > 15) return nullptr;
    const std::size_t count = whole + decimals;

    // Most values need neither zeros in front nor rounding up, and their
    // digits are read where they stand, as long as the pieces moved whole
    // stay within the string.
    const char* digits = raw;
    if (whole == 0 || raw[count] >= '5' || (decimals != 0 && whole + 16 > sizeof d.digits)) {
        const plain_digits rounded = rounded_plain_digits(out + plain_text_room, d, zero, count, whole);
        digits = rounded.digits;
        whole = rounded.whole;
    }

    const bool negative = d.negative;
    const bool shows_zero = negative ? field.negative_shows_zero : field.integer_positions != 0;
    const std::size_t integer_length = whole != 0 ? whole : static_cast<std::size_t>(shows_zero);
    const std::size_t length = static_cast<std::size_t>(negative) + integer_length + field.fraction_length;
    const std::size_t width = negative ? field.negative_width : field.length;

    fill_16(out, ' ');
    out += width > length ? width - length : 0;
    *out = '-';
    out += static_cast<std::size_t>(negative);
    if (whole != 0) {
        copy_16(out, digits);
    } else {
        *out = '0';
    }
    out += integer_length;
    if (field.has_point) {
        *out = '.';
        copy_16(out + 1, digits + whole);
        out += 1 + decimals;
    }
    return out;
}

bool plain_number_field(mask_state& state, const mask_field& field, const digit_string& d)
{
    if (room(state) < plain_text_room + plain_work_room) return false;
    char* const end = plain_number_text(state.text + state.length, field, d);
    if (end == nullptr) return false;
    state.length = static_cast<std::size_t>(end - state.text);
    return true;
}

}  // namespace

bool lay_out_plain_number_field(mask_state& state, const mask_field& field, const digit_string& d)
{
    return plain_number_field(state, field, d);
}

namespace {

// A text argument in a field of any kind; a number that meets a string
// field arrives here as its plain number text.
void place_text(mask_state& state, const mask_field& field, byte_view text)
{
    switch (field.kind) {
    case field_kind::whole_text:
        // The row's time text is eight bytes: moved in fixed-size pieces.
        if (text.size() <= 16 && room(state) >= 16) {
            copy_up_to_16(state.text + state.length, text.data(), text.size());
            state.length += text.size();
        } else {
            append_bytes(state, text.data(), text.size());
        }
        break;
    case field_kind::first_character:
        append_char(state, text.empty() ? ' ' : text.front());
        break;
    case field_kind::fixed_text: {
        const std::size_t shown = std::min(text.size(), field.length);
        append_bytes(state, text.data(), shown);
        append_run(state, ' ', field.length - shown);
        break;
    }
    case field_kind::number:
        // Kept whole and right-justified, like a number that widens.
        if (field.length > text.size()) {
            append_run(state, field.star_fill ? '*' : ' ', field.length - text.size());
        }
        append_bytes(state, text.data(), text.size());
        break;
    case field_kind::none:
        break;
    }
}

// Every field but a plain one a number can meet. Out of the way of the
// plain fields, whose path then needs no text buffer of its own.
[[gnu::noinline]] void place_digits(mask_state& state, const mask_field& field, const digit_string& digits)
{
    if (field.kind == field_kind::number) {
        lay_out_number_field(state, field, digits);
        return;
    }
    // The number's text: its print form at 15 digits without the blanks.
    char text[print_form_limit];
    std::size_t length = lay_out_print_form(shorter_digits(digits, 15), std::span(text));
    const std::size_t start = text[0] == ' ' ? 1 : 0;
    length -= 1;
    place_text(state, field, byte_view(text + start, length - start));
}

}  // namespace

mask_state begin_mask(byte_view mask)
{
    mask_state state;
    begin_mask(state, mask);
    return state;
}

void begin_mask(mask_state& state, byte_view mask)
{
    state.mask = mask;
    state.position = 0;
    state.length = 0;
    state.ready = no_field_ready;
    mask_memo& memo = state.memo;
    if (memo.mask_data != mask.data() || memo.mask_size != mask.size()) {
        memo.mask_data = mask.data();
        memo.mask_size = mask.size();
        memo.count = 0;
    }
    memo.next = 0;
}

mask_state begin_mask(const char* mask)
{
    return begin_mask(byte_view(mask));
}

// Each argument goes to the next field, whatever its kind, so that one
// mismatched argument cannot shift all the later ones.
void add_number(mask_state& state, long double value)
{
    add_digits(state, decimal_digits(value, full_digit_count));
}

namespace {

[[gnu::always_inline]] inline void lay_out_digits(mask_state& state, const mask_field& field,
                                                  const digit_string& digits)
{
    state.position += field.length;
    if (!field.plain || !plain_number_field(state, field, digits)) place_digits(state, field, digits);
}

}  // namespace

void add_digits(mask_state& state, const digit_string& digits)
{
    const mask_argument argument{&digits, {}};
    add_arguments(state, std::span(&argument, 1));
}

void add_digits(mask_state& state, std::span<const digit_string> values)
{
    // In pieces, so that the arguments are made on the stack.
    constexpr std::size_t piece = 16;
    mask_argument arguments[piece];
    for (std::size_t start = 0; start < values.size(); start += piece) {
        const std::size_t count = std::min(piece, values.size() - start);
        for (std::size_t i = 0; i < count; ++i) arguments[i].digits = &values[start + i];
        add_arguments(state, std::span(arguments, count));
    }
}

namespace {

// The room one argument of a run may take: its field's text, at most 18
// characters, and the literal text after it, moved as 16 bytes.
constexpr std::size_t plain_run_room = 64;

// Lays arguments out from arguments[i] on, as long as each value meets a
// plain field, each text of up to 16 bytes the whole text field, and the
// text after the field is a step of the memo kept whole. Returns whether it
// laid any out; `field` and `i` are then those of the next argument, and
// `field` is nullptr where the text ran to the end of the mask. One room
// check covers the arguments the run may take, and the text's length, the
// mask position and the memo's next step stay in registers until it ends.
bool lay_out_plain_run(mask_state& state, const mask_field*& field, std::span<const mask_argument> arguments,
                       std::size_t& i)
{
    const std::size_t first = i;
    const std::size_t left = room(state);
    if (left < plain_work_room) return false;
    const std::size_t end_of_run = i + std::min(arguments.size() - i, (left - plain_work_room) / plain_run_room);
    const mask_memo& memo = state.memo;
    const std::size_t kept = memo.count;
    std::size_t next = memo.next;
    std::size_t position = state.position;
    char* out = state.text + state.length;
    const mask_field* f = field;
    while (i < end_of_run && next < kept) {
        const mask_step& step = memo.steps[next];
        if (step.from != position + f->length || !step.literal_kept) break;
        const mask_argument& argument = arguments[i];
        char* end = nullptr;
        if (argument.digits != nullptr) {
            if (f->plain) end = plain_number_text(out, *f, *argument.digits);
        } else if (f->kind == field_kind::whole_text && argument.text.size() <= 16) {
            copy_up_to_16(out, argument.text.data(), argument.text.size());
            end = out + argument.text.size();
        }
        if (end == nullptr) break;
        copy_16(end, step.literal);
        out = end + (step.to - step.from);
        position = step.to;
        ++next;
        ++i;
        f = step.field_found ? &step.field : nullptr;
        if (f == nullptr) break;
    }
    if (i == first) return false;
    state.length = static_cast<std::size_t>(out - state.text);
    state.position = position;
    state.memo.next = next;
    field = f;
    return true;
}

// One argument the general way, and the field after it: out of line, so
// that the code a row runs through is the run's alone.
[[gnu::noinline]] const mask_field* lay_out_argument(mask_state& state, const mask_field& field,
                                                     const mask_argument& argument)
{
    if (argument.digits != nullptr) {
        lay_out_digits(state, field, *argument.digits);
    } else {
        state.position += field.length;
        place_text(state, field, argument.text);
    }
    return next_field(state);
}

}  // namespace

void add_arguments(mask_state& state, std::span<const mask_argument> arguments)
{
    // As add_digits and add_text argument by argument, with the field for
    // the next argument held here rather than in the state.
    if (arguments.empty()) return;
    const mask_field* field = take_field(state);
    std::size_t i = 0;
    while (field != nullptr && i < arguments.size()) {
        if (!lay_out_plain_run(state, field, arguments, i)) {
            field = lay_out_argument(state, *field, arguments[i]);
            ++i;
        }
        if (field == nullptr) {
            // The text ran to the end of the mask: the next argument starts
            // again from its first field, and only if there is one.
            state.position = 0;
            if (i < arguments.size()) field = next_field(state);
        }
    }
    if (field != nullptr) keep_ready(state, field);
}

void add_text(mask_state& state, byte_view text)
{
    const mask_field* found = take_field(state);
    if (found == nullptr) return;
    const mask_field& field = *found;
    state.position += field.length;
    place_text(state, field, text);
    finish_field(state);
}

byte_view mask_text(const mask_state& state)
{
    return {state.text, state.length};
}

byte_string end_mask(mask_state& state)
{
    byte_string result(state.text, state.length);
    state.mask = byte_view();
    state.position = 0;
    state.length = 0;
    state.ready = no_field_ready;
    return result;
}
