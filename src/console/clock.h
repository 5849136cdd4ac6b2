// The local date and time as the screen and the log file name show them.
#pragma once

#include "core/types.h"

// "hh:mm:ss", 24-hour clock, read now.
byte_string local_time_text();

// "mm-dd-yyyy", read now.
byte_string local_date_text();
