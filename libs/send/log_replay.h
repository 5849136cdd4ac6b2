// A receiver log line turned back into the frame that produced it.
#pragma once

#include <string>
#include <string_view>

#include "frame_encoding.h"

// Reads one line of the daily log (its line end already removed). Every
// field must be there and in range; the climb rate is checked but not used,
// since the receiver derives it again from consecutive frames. On failure
// `problem` says what is wrong and `fields` is left in an unspecified state.
bool parse_log_line(std::string_view line, telemetry_fields& fields, std::string& problem);
