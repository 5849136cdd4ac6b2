#include "console/key_queue.h"

#include <algorithm>

#include "console/key_decoder.h"

namespace {

constexpr char escape = 27;

bool is_escape(const key_press& key)
{
    return key.length == 1 && key.bytes[0] == escape;
}

key_press& slot(key_queue& queue, std::size_t position)
{
    return queue.keys[(queue.oldest + position) % queue.keys.size()];
}

// A full queue loses the newest keys, never an ESC: a waiting ESC ends the
// loop before any later key would be read, so nothing after it is lost by
// dropping; without one, an ESC takes the place of the newest key.
void push_key(key_queue& queue, byte_view text)
{
    key_press key;
    key.length = static_cast<std::uint8_t>(std::min(text.size(), key.bytes.size()));
    std::copy_n(text.begin(), key.length, key.bytes.begin());
    const std::size_t capacity = std::clamp<std::size_t>(queue.capacity, 1, queue.keys.size());
    if (queue.count < capacity) {
        slot(queue, queue.count) = key;
        queue.count += 1;
    } else if (queue.escapes == 0 && is_escape(key)) {
        slot(queue, queue.count - 1) = key;
    } else {
        return;
    }
    queue.escapes += is_escape(key) ? 1 : 0;
}

}  // namespace

void add_key_bytes(key_queue& queue, byte_view bytes, std::int64_t arrival_us)
{
    if (bytes.empty()) {
        return;
    }
    settle_keys(queue, arrival_us);
    queue.unfinished.append(bytes);
    queue.unfinished_at_us = arrival_us;
    const byte_view pending = queue.unfinished;
    std::size_t used = 0;
    for (;;) {
        const key_parse parsed = parse_key(pending.substr(used), false);
        if (parsed.status != key_parse_status::complete) {
            break;
        }
        used += parsed.consumed;
        if (!parsed.key.empty()) {
            push_key(queue, parsed.key);
        }
    }
    queue.unfinished.erase(0, used);
}

void settle_keys(key_queue& queue, std::int64_t now_us)
{
    if (!queue.unfinished.empty() && now_us - queue.unfinished_at_us >= key_gap_us) {
        settle_keys(queue);
    }
}

void settle_keys(key_queue& queue)
{
    const byte_view pending = queue.unfinished;
    std::size_t used = 0;
    while (used < pending.size()) {
        const key_parse parsed = parse_key(pending.substr(used), true);
        if (parsed.consumed == 0) {
            break;  // settled bytes are always consumed; this only guards the loop
        }
        used += parsed.consumed;
        if (!parsed.key.empty()) {
            push_key(queue, parsed.key);
        }
    }
    queue.unfinished.clear();
}

byte_string take_key(key_queue& queue)
{
    if (queue.count == 0) {
        return byte_string{};
    }
    const key_press key = slot(queue, 0);
    queue.oldest = (queue.oldest + 1) % queue.keys.size();
    queue.count -= 1;
    queue.escapes -= is_escape(key) ? 1 : 0;
    return {key.bytes.data(), key.length};
}
