#include "format/masks.h"

#include <array>
#include <tuple>

#include "format/mask.h"

byte_string format_table_row(const decoded_frame& frame)
{
    mask_state state = begin_mask(row_mask);
    add_number(state, frame.counter);
    add_text(state, frame.time_text);
    add_number(state, frame.latitude);
    add_number(state, frame.longitude);
    add_number(state, frame.altitude);
    add_number(state, frame.speed);
    add_number(state, frame.satellites);
    add_number(state, frame.temperature);
    add_number(state, frame.battery_voltage);
    add_number(state, frame.climb_rate);
    return end_mask(state);
}

byte_view format_table_row(const decoded_frame& frame, const frame_digits& digits, mask_state& state)
{
    begin_mask(state, row_mask);
    // The counter, the time text, then the eight values: one call for the
    // whole row.
    const digit_string* const v = digits.values.data();
    const mask_argument arguments[] = {
        {&digits.counter, {}}, {nullptr, frame.time_text}, {v, {}}, {v + 1, {}}, {v + 2, {}},
        {v + 3, {}}, {v + 4, {}}, {v + 5, {}}, {v + 6, {}}, {v + 7, {}},
    };
    static_assert(std::tuple_size_v<decltype(digits.values)> == 8);
    add_arguments(state, arguments);
    return mask_text(state);
}

byte_string format_address_text(const std::uint8_t (&address_bytes)[4])
{
    mask_state state = begin_mask(address_mask);
    for (const std::uint8_t byte : address_bytes) add_number(state, byte);
    return end_mask(state);
}
