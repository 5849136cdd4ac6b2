// The local date and time as the screen and the log file name show them.
#pragma once

#include <ctime>

#include "core/types.h"

// "hh:mm:ss", 24-hour clock, read now.
byte_string local_time_text();

// The time text changes once a second, and turning the clock into local
// time costs far more than reading it: the text is kept with the second it
// was made for and made again only when the clock has moved on.
struct local_time_cache {
    std::time_t second = -1;  // -1: nothing kept
    char text[8] = {};
};

// The same text as local_time_text, for now; valid while the cache lives
// and the clock stays in the same second.
byte_view local_time_text(local_time_cache& cache);

// "mm-dd-yyyy", read now.
byte_string local_date_text();
