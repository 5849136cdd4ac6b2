// The digits of a valid frame's numbers, generated once per frame: the
// table row lays its fields out from them, and the log line its print forms
// from strings rounded from them.
#pragma once

#include <array>

#include "core/zarim.h"
#include "format/number_text.h"

// Each value's decimal_digits at 19 digits, in the order of the table row
// and the log line.
struct frame_digits {
    digit_string counter;
    // Latitude, longitude, altitude, speed, satellites, temperature,
    // battery voltage, climb rate.
    std::array<digit_string, 8> values;
};

void make_frame_digits(const decoded_frame& frame, frame_digits& digits);
