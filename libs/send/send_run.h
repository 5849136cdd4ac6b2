// The sender from its parsed options to its exit status.
#pragma once

#include "send_options.h"

// Sends the frames the options ask for and returns the exit status: 0 when
// everything went out (a stop by SIGINT or SIGTERM included), 1 when a line
// could not be used or reading or sending failed.
int run_sender(const send_options& options);
