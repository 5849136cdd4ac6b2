// The receiver's two masks and the texts made with them.
#pragma once

#include <cstdint>

#include "core/types.h"
#include "core/zarim.h"
#include "format/frame_digits.h"
#include "format/mask.h"

// One table row: counter, time text, latitude, longitude, altitude, speed,
// satellites, temperature, battery voltage, climb rate. 78 characters when
// no field widens; the screen cuts it at fixed positions.
inline constexpr byte_view row_mask =
    " ######  & ###.######  ###.###### #####  ##.#   ##   ###    #.## ###.##";

// Four one-position fields: every byte shows as its plain digits, and "_"
// keeps each point literal instead of a decimal point.
inline constexpr byte_view address_mask = "#_.#_.#_.#";

// The table row of a decoded frame.
byte_string format_table_row(const decoded_frame& frame);

// The same row from the frame's digits, built in `state`, which the caller
// keeps from frame to frame; the text lives there until the next row.
byte_view format_table_row(const decoded_frame& frame, const frame_digits& digits, mask_state& state);

// The dotted address, first byte first: "192.168.1.10".
byte_string format_address_text(const std::uint8_t (&address_bytes)[4]);
