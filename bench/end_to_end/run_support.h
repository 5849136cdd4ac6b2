// What both whole-receiver benchmarks need around a run: the frames, a
// scratch directory for the log, and short sleeps.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "log_lines.h"

// A balloon flight seen at `rate` frames per second of local time, as the
// frame texts a tracker would send.
std::vector<std::string> flight_texts(std::uint64_t count, long rate);

// A fresh directory under $TMPDIR (or /tmp); empty when none could be made.
std::string make_scratch_directory();

// Removes the log file the counter found and the directory, if empty then.
void remove_scratch_directory(const log_counter& log);

void sleep_ms(int milliseconds);
