// The error number for a failed file call, from the platform's errno.
#pragma once

#include "core/types.h"

// Denied access, a lock held elsewhere and a read-only medium are all 70;
// anything without a number of its own is 75.
error_number file_error_number(int platform_error);
