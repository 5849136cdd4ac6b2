// The key decoder and the key queue over random byte streams, read the way
// the keyboard reads them: a chunk at a time, each chunk stamped with the
// time it came. When the chunks follow each other within the gap the keys
// must be the same as for the stream read whole; when a pause follows each
// chunk an unfinished sequence is settled there, and only the decoder's own
// promises are checked. A queue of bounded size must keep the oldest keys
// and never lose an ESC.
#include <algorithm>
#include <vector>

#include "console/key_decoder.h"
#include "console/key_queue.h"
#include "fuzz_input.h"

namespace {

constexpr char escape = 27;
constexpr std::size_t longest_unfinished = 32;

bool is_escape_key(byte_view key)
{
    return key == byte_view("\x1b", 1);
}

void check_parse(const key_parse& parsed, byte_view bytes, bool nothing_follows)
{
    FUZZ_CHECK((parsed.status == key_parse_status::empty) == bytes.empty());
    if (parsed.status == key_parse_status::partial) {
        // Only the start of a sequence waits, and never for long; once
        // nothing follows, it is settled.
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
    if (is_escape_key(parsed.key)) {
        FUZZ_CHECK(bytes[0] == escape && parsed.consumed == 1);
        FUZZ_CHECK(bytes.size() == 1 ? nothing_follows : bytes[1] == escape);
    }
}

// The whole stream decoded at once, every parse checked: the keys a
// terminal that sent it in one write would give.
std::vector<byte_string> keys_of_whole(byte_view stream)
{
    std::vector<byte_string> keys;
    while (!stream.empty()) {
        key_parse parsed = parse_key(stream, false);
        check_parse(parsed, stream, false);
        if (parsed.status == key_parse_status::partial) {
            parsed = parse_key(stream, true);
            check_parse(parsed, stream, true);
        }
        if (!parsed.key.empty()) keys.push_back(parsed.key);
        stream.remove_prefix(parsed.consumed);
    }
    return keys;
}

void take_all(key_queue& queue, std::vector<byte_string>& keys)
{
    for (byte_string key = take_key(queue); !key.empty(); key = take_key(queue)) {
        keys.push_back(key);
    }
}

// Feeds the stream in chunks of at most 32 bytes, stamped `step` apart (plus
// the gap after each chunk when `pauses`); with `take_as_they_come` the keys
// are taken after each chunk, as the receive loop would.
std::vector<byte_string> keys_of_chunks(byte_view stream, const std::uint8_t* sizes, bool pauses,
                                        std::size_t capacity, bool take_as_they_come)
{
    key_queue queue;
    queue.capacity = capacity;
    std::vector<byte_string> keys;
    std::int64_t now = 0;
    for (std::size_t i = 0; !stream.empty(); ++i) {
        const std::size_t chunk = std::min<std::size_t>(sizes[i % 4] % 32u + 1u, stream.size());
        add_key_bytes(queue, stream.substr(0, chunk), now);
        FUZZ_CHECK(queue.unfinished.size() < longest_unfinished);
        FUZZ_CHECK(queue.count <= capacity);
        stream.remove_prefix(chunk);
        now += sizes[(i + 1) % 4] % key_gap_us + (pauses ? key_gap_us : 0);
        if (take_as_they_come) take_all(queue, keys);
    }
    settle_keys(queue, now + key_gap_us);
    FUZZ_CHECK(queue.unfinished.empty());
    take_all(queue, keys);
    return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_input input{data, size};
    const std::uint8_t mode = take_byte(input);
    const bool pauses = (mode & 1u) != 0;
    const std::size_t capacity = 1u + (mode >> 1u) % key_queue_size;
    std::uint8_t sizes[4];
    take_exact(input, sizes, sizeof sizes);
    const byte_view stream = take_bytes(input, size);

    const position_answer answer = find_position_answer(stream);
    if (answer.complete) {
        FUZZ_CHECK(answer.length >= 4 && answer.start + answer.length <= stream.size());
        const byte_view text = stream.substr(answer.start, answer.length);
        FUZZ_CHECK(text.substr(0, 2) == "\x1b[" && text.back() == 'c');
        FUZZ_CHECK(text.substr(1).find(escape) == (answer.has_position ? text.find("\x1b[?") - 1 : byte_view::npos));
        FUZZ_CHECK(!answer.has_position || (answer.row >= 0 && answer.row <= 1000000 && answer.column >= 0 &&
                                            answer.column <= 1000000));
    } else {
        FUZZ_CHECK(!answer.has_position);
    }

    const std::vector<byte_string> whole = keys_of_whole(stream);
    const std::vector<byte_string> taken = keys_of_chunks(stream, sizes, pauses, key_queue_size, true);
    std::size_t escapes = 0;
    for (const char c : stream) escapes += c == escape;
    std::size_t escape_keys = 0;
    for (const byte_string& key : taken) escape_keys += is_escape_key(key);
    FUZZ_CHECK(escape_keys <= escapes);
    if (!pauses) FUZZ_CHECK(taken == whole);

    // Nothing taken until the end: the bound holds, the oldest keys stay,
    // and an ESC is never lost, at worst taking the newest key's place.
    const std::vector<byte_string> bounded = keys_of_chunks(stream, sizes, pauses, capacity, false);
    FUZZ_CHECK(bounded.size() <= capacity);
    FUZZ_CHECK(bounded.size() == std::min(capacity, taken.size()));
    const auto first_escape = std::find_if(taken.begin(), taken.end(), is_escape_key);
    const bool escape_kept = std::any_of(bounded.begin(), bounded.end(), is_escape_key);
    FUZZ_CHECK(escape_kept == (first_escape != taken.end()));
    for (std::size_t i = 0; i < bounded.size(); ++i) {
        const bool escape_in_last_place = i + 1 == capacity && is_escape_key(bounded[i]);
        FUZZ_CHECK(bounded[i] == taken[i] || escape_in_last_place);
    }
    return 0;
}
