// A long receiver log for the export's measurements: the sender's simulated
// flight, slow enough to fill the day, written line by line by the
// receiver's own line writer.
#pragma once

#include <ostream>

// `lines` lines, one frame every 0.864 s from midnight: times repeat within
// a second, the counter wraps every 65,536 lines, and a million lines run
// for ten days without a gap.
void write_simulated_log(std::ostream& out, int lines);
