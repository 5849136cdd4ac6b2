// The mask formatter's field rules apart from its walk through the mask:
// what a field is, and how a number is laid out in one. The formatter uses
// them; its tests hold the shortcut against the general layout through them.
#pragma once

#include <cstddef>

#include "core/types.h"
#include "format/mask.h"
#include "format/number_text.h"

// Whether a field starts at `start`, and which; when none does, the
// characters there are literal text.
bool read_mask_field(byte_view mask, std::size_t start, mask_field& field);

// The number in its numeric field by the general rules, every field shape,
// appended to the state's text.
void lay_out_number_field(mask_state& state, const mask_field& field, const digit_string& d);

// The same for a plain field (mask_field::plain) whose value needs at most
// 15 digits in fixed form, and with room in the state for its pieces to be
// moved whole. False, with nothing written, where it does not apply.
bool lay_out_plain_number_field(mask_state& state, const mask_field& field, const digit_string& d);
