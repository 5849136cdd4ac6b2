// The receiver's own decoder and log line, applied to what the sender made:
// the sender shares no code with them, so agreement is a real check.
#pragma once

#include <string>
#include <string_view>

#include "core/frame.h"
#include "core/zarim.h"

// Whether the text passes the CRC test; a valid frame is decoded into
// `frame` and becomes the reference for the next one.
inline bool receive_frame_text(std::string_view text, receiver_state& state, decoded_frame& frame)
{
    static const bit_mask_table masks = [] {
        bit_mask_table table;
        fill_bit_mask_table(table);
        return table;
    }();
    byte_string data;
    if (!verify_frame(masks, frame_text_to_bytes(text), state, data)) return false;
    frame = decode_frame(data, state);
    update_previous(frame, state);
    return true;
}
