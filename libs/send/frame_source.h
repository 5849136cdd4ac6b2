// Where the frame texts come from: the flight simulation, a receiver log,
// the command line or standard input.
#pragma once

#include <csignal>
#include <string>

#include "flight_simulation.h"
#include "line_reader.h"
#include "log_replay.h"
#include "send_options.h"

struct frame_source {
    send_mode mode = send_mode::none;
    flight_state flight;
    line_reader reader;
    std::string name;  // of the file or "stdin", for messages
    std::size_t next_text = 0;  // into the --frames texts
    log_clock clock;  // of the replayed lines, for --speed
};

enum class source_status {
    frame,  // `text` holds the next frame text
    skipped,  // a line could not be used; it has been reported
    end,
    failure,  // reading failed; it has been reported
};

// Opens what the options name. `now` (seconds since the epoch) starts the
// simulated clock. On failure it has reported why and returns false.
bool open_frame_source(const send_options& options, long double now, frame_source& source);

source_status next_frame_text(frame_source& source, const send_options& options,
                              const volatile std::sig_atomic_t& stop, std::string& text);

void close_frame_source(frame_source& source);
