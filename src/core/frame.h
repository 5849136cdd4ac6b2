// Frame text to frame bytes, the CRC test and the decoding of a valid frame.
// Nothing here fails: every input ends as a decoded frame or a CRC failure.
#pragma once

#include <cstdint>

#include "core/zarim.h"

// Entries 2^0 to 2^7, computed with power().
void fill_bit_mask_table(bit_mask_table& masks);

// One byte per pair of characters (a lone last character gives 0-15); a text
// too long for a signed 16-bit length gives no bytes at all.
byte_string frame_text_to_bytes(byte_view frame_text);

// The same into `bytes`, whose storage serves again for the next frame.
void frame_text_to_bytes(byte_view frame_text, byte_string& bytes);

// CRC-16/CCITT-FALSE, bit by bit against the mask table.
std::uint16_t frame_crc16(const bit_mask_table& masks, byte_view bytes);

// Whether the last two bytes (little-endian) are the CRC of the bytes before
// them. frame_data receives those bytes. A failure adds one to the count.
bool verify_frame(const bit_mask_table& masks, byte_view frame_bytes, receiver_state& state,
                  byte_string& frame_data);

// The same with frame_data a view of the frame bytes, copied nowhere.
bool verify_frame(const bit_mask_table& masks, byte_view frame_bytes, receiver_state& state,
                  byte_view& frame_data);

// The fields of the frame data, with the climb rule applied to the state.
decoded_frame decode_frame(byte_view frame_data, receiver_state& state);

// Makes this frame the reference for the next climb-rate computation.
void update_previous(const decoded_frame& frame, receiver_state& state);
