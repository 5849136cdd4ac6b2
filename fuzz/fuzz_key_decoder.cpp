// The key decoder over random byte streams, read the way the keyboard reads
// them: into a bounded buffer, a chunk at a time. When the chunks follow
// each other promptly the keys must be the same as for the stream read
// whole; when a pause follows each chunk an unfinished sequence is settled
// there, and only the decoder's own promises are checked.
#include <algorithm>
#include <vector>

#include "console/key_decoder.h"
#include "console/key_input.h"
#include "fuzz_input.h"

namespace {

constexpr char escape = 27;
constexpr std::size_t longest_unfinished = 32;

struct keyboard {
    byte_string pending;
    std::size_t limit = key_input{}.limit;
    std::vector<byte_string> keys;
};

void check_parse(const key_parse& parsed, byte_view bytes, bool nothing_follows)
{
    FUZZ_CHECK((parsed.status == key_parse_status::empty) == bytes.empty());
    if (parsed.status == key_parse_status::partial) {
        // Only the start of a sequence waits, and never long enough to fill
        // the buffer; once nothing follows, it is settled.
        FUZZ_CHECK(!nothing_follows && bytes[0] == escape && bytes.size() < longest_unfinished);
    }
    if (parsed.status != key_parse_status::complete) {
        FUZZ_CHECK(parsed.consumed == 0 && parsed.key.empty());
        return;
    }
    FUZZ_CHECK(parsed.consumed >= 1 && parsed.consumed <= bytes.size());
    FUZZ_CHECK(parsed.key.size() <= 2);
    if (parsed.key.size() == 2) FUZZ_CHECK(parsed.key[0] == '\0');
    // Nothing but a lone ESC is the ESC key.
    if (parsed.key == byte_view("\x1b", 1)) {
        FUZZ_CHECK(bytes[0] == escape && parsed.consumed == 1);
        FUZZ_CHECK(bytes.size() == 1 ? nothing_follows : bytes[1] == escape);
    }
}

void take_key(keyboard& k, const key_parse& parsed)
{
    k.pending.erase(0, parsed.consumed);
    if (!parsed.key.empty()) k.keys.push_back(parsed.key);
}

// Parses keys off the front of the buffer while more may follow; false
// when a sequence waits for more bytes.
bool take_keys(keyboard& k)
{
    for (;;) {
        const key_parse parsed = parse_key(k.pending, false);
        check_parse(parsed, k.pending, false);
        if (parsed.status == key_parse_status::empty) return true;
        if (parsed.status == key_parse_status::partial) return false;
        take_key(k, parsed);
    }
}

// Nothing more arrives for now: each waiting sequence is settled as it is.
void settle(keyboard& k)
{
    while (!take_keys(k)) {
        const key_parse parsed = parse_key(k.pending, true);
        check_parse(parsed, k.pending, true);
        take_key(k, parsed);
    }
}

// Feeds the stream in chunks as far as the buffer has room; the bytes that
// do not fit wait for the next read.
void feed_in_chunks(keyboard& k, byte_view stream, const std::uint8_t* sizes, bool pause_after_each)
{
    for (std::size_t i = 0; !stream.empty(); ++i) {
        std::size_t chunk = sizes[i % 4] % 64u + 1u;
        chunk = std::min({chunk, stream.size(), k.limit - k.pending.size()});
        FUZZ_CHECK(chunk > 0);  // a waiting sequence never fills the buffer
        k.pending.append(stream.substr(0, chunk));
        stream.remove_prefix(chunk);
        if (pause_after_each) {
            settle(k);
        } else {
            take_keys(k);
        }
    }
    settle(k);
}

void check_cursor_report(byte_view bytes)
{
    const cursor_report report = find_cursor_report(bytes);
    if (!report.found) return;
    FUZZ_CHECK(report.length >= 6 && report.start + report.length <= bytes.size());
    const byte_view text = bytes.substr(report.start, report.length);
    FUZZ_CHECK(text[0] == escape && text[1] == '[' && text.back() == 'R');
    const byte_view numbers = text.substr(2, text.size() - 3);
    const std::size_t semicolon = numbers.find(';');
    FUZZ_CHECK(semicolon != byte_view::npos && semicolon > 0 && semicolon + 1 < numbers.size());
    FUZZ_CHECK(numbers.substr(0, semicolon).find_first_not_of("0123456789") == byte_view::npos);
    FUZZ_CHECK(numbers.substr(semicolon + 1).find_first_not_of("0123456789") == byte_view::npos);
    FUZZ_CHECK(report.row >= 0 && report.row <= 1000000 && report.column >= 0 && report.column <= 1000000);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_input input{data, size};
    const bool pauses = (take_byte(input) & 1u) != 0;
    std::uint8_t sizes[4];
    take_exact(input, sizes, sizeof sizes);
    const byte_view stream = take_bytes(input, size);
    check_cursor_report(stream);

    keyboard chunked;
    feed_in_chunks(chunked, stream, sizes, pauses);
    std::size_t escapes = 0;
    for (const char c : stream) escapes += c == escape;
    std::size_t escape_keys = 0;
    for (const byte_string& key : chunked.keys) escape_keys += key == byte_view("\x1b", 1);
    FUZZ_CHECK(escape_keys <= escapes);
    if (pauses || stream.size() > chunked.limit) return 0;

    keyboard whole;
    whole.pending = byte_string(stream);
    settle(whole);
    FUZZ_CHECK(whole.keys == chunked.keys);
    return 0;
}
