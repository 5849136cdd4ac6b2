// Log lines made by the receiver's own writer, so the reader is tested on
// exactly what the receiver puts on disk.
#pragma once

#include <string>

#include "core/zarim.h"

struct frame_values {
    int counter = 1;
    const char* time = "12:00:00";
    float latitude = -23.55052f;
    float longitude = -46.63331f;
    int altitude = 760;
    float speed = 50.004f;
    int satellites = 9;
    int temperature = -10;
    float battery = 4.02f;
    float climb = 6;
};

decoded_frame to_decoded(const frame_values& v);

// The line with its CR LF, as the receiver appends it.
std::string receiver_line(const frame_values& v);
