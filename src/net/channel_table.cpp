#include "net/channel_table.h"

#include <unistd.h>

#include <algorithm>
#include <new>
#include <vector>

namespace {

inline constexpr channel_number highest_channel = 32767;

// Kept sorted by number, so a lookup is a binary search and a record, once
// entered, stays at the same address until it is removed.
std::vector<std::unique_ptr<channel_record>> channel_table;

int hand_out_counter = 0;

// The last record handed back, to be entered again instead of a new one.
std::unique_ptr<channel_record> spare_record;

std::vector<std::unique_ptr<channel_record>>::iterator position_of(channel_number number)
{
    return std::lower_bound(channel_table.begin(), channel_table.end(), number,
                            [](const std::unique_ptr<channel_record>& record, channel_number n) {
                                return record->number < n;
                            });
}

}  // namespace

channel_record* find_channel(channel_number number)
{
    const auto at = position_of(number);
    if (at == channel_table.end() || (*at)->number != number) {
        return nullptr;
    }
    return at->get();
}

channel_record* insert_channel(channel_record&& record)
{
    const auto at = position_of(record.number);
    if (at != channel_table.end() && (*at)->number == record.number) {
        return nullptr;
    }
    std::unique_ptr<channel_record> held;
    if (spare_record) {
        // Assigned, not built: a name that fits the spare's room stays in it.
        held = std::move(spare_record);
        *held = std::move(record);
    } else {
        held.reset(new (std::nothrow) channel_record(std::move(record)));
        if (!held) {
            return nullptr;
        }
    }
    channel_record* entered = held.get();
    // The vector's own growth is the one allocation that cannot be asked for
    // without an exception; a failure there leaves the table as it was.
    try {
        channel_table.insert(at, std::move(held));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return entered;
}

std::unique_ptr<channel_record> remove_channel(channel_number number)
{
    const auto at = position_of(number);
    if (at == channel_table.end() || (*at)->number != number) {
        return nullptr;
    }
    std::unique_ptr<channel_record> record = std::move(*at);
    channel_table.erase(at);
    return record;
}

void recycle_channel_record(std::unique_ptr<channel_record> record)
{
    if (record && !spare_record) {
        spare_record = std::move(record);
    }
}

channel_number next_free_channel()
{
    // At most one full round: when every number is open there is none to
    // give, and the negative answer makes any open under it fail cleanly.
    for (int tries = 0; tries < highest_channel; ++tries) {
        hand_out_counter += 1;
        if (hand_out_counter > highest_channel) {
            hand_out_counter = 1;
        }
        const auto candidate = static_cast<channel_number>(hand_out_counter);
        if (find_channel(candidate) == nullptr) {
            return candidate;
        }
    }
    return no_free_channel;
}

void reset_channel_table()
{
    for (const auto& record : channel_table) {
        if (record->handle >= 0) {
            ::close(record->handle);
        }
    }
    channel_table.clear();
    spare_record.reset();
    hand_out_counter = 0;
}
