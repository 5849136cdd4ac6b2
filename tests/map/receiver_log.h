// Logs as the receiver writes them: frames of a simulated flight (the
// sender's own simulation) decoded and logged by the receiver's own code,
// appended to a file in a scratch directory the way the receiver appends.
#pragma once

#include <string>
#include <vector>

#include "core/zarim.h"
#include "flight_simulation.h"

// A fresh empty directory under the system's temporary directory.
std::string make_scratch_directory();

// The frames a receiver would log for a flight, one after another.
class simulated_receiver {
public:
    // `step` seconds of flight between frames; the first frame at
    // `start_time` seconds since the epoch on the local clock.
    explicit simulated_receiver(long double start_time = 1796781600, long double step = 1,
                                const flight_plan& plan = flight_plan{});

    // The next frame's log line, with its CR LF.
    std::string next_line();
    // The next frame's fields, to be changed and then made a line with
    // line_for().
    telemetry_fields next_fields();
    // The last frame's sample: what the simulation meant.
    const flight_sample& last_sample() const { return last_.sample; }
    const flight_plan& plan() const { return flight_.plan; }
    long double elapsed() const;

    // A line for chosen fields, through the same decoding (and so with the
    // climb rule applied against the frames before it).
    std::string line_for(const telemetry_fields& fields);

private:
    flight_state flight_;
    flight_frame last_;
    bit_mask_table masks_;
    receiver_state receiver_;
};

// Appends bytes to the file with one write, as the receiver does for a
// line; creates the file when it is missing.
void append_to(const std::string& path, const std::string& bytes);
// Replaces the file's content (a new file under the same name).
void replace_file(const std::string& path, const std::string& bytes);
void truncate_file(const std::string& path);
std::string read_file(const std::string& path);

// Lines without their CR LF.
std::string without_line_end(std::string line);
