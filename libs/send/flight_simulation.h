// A balloon flight as the tracker would report it: ascent to the burst
// altitude, a faster descent, then the payload lying on the ground. Every
// value is a function of the time since launch, so a frame never depends on
// how many came before it except through its counter.
//
// Two skies: the steady one below (one wind at every height, constant
// rates, exact fixes), whose every value has a closed form that tests can
// write down; and the real-looking one of sky_flight.h, which a flight
// state carries when it is given one.
#pragma once

#include <cstdint>
#include <memory>

#include "frame_encoding.h"
#include "sky_flight.h"

struct flight_plan {
    long double launch_latitude = -23.55;  // degrees
    long double launch_longitude = -46.63;
    long double launch_altitude = 760;  // metres; the ground for the whole flight
    long double burst_altitude = 30000;  // below 32767: the frame's altitude is 16-bit
    long double ascent_rate = 5;  // metres per second
    long double descent_rate = 12;
    long double wind_north = -1.5;  // metres per second, while airborne
    long double wind_east = 6;
    long double ground_temperature = 25;  // degrees Celsius
    long double lapse_rate = 6.5;  // degrees per km above the ground
    long double battery_start = 4.2;  // volts
    long double battery_drain = 0.1;  // volts per hour
};

enum class flight_phase { pad, ascent, descent, landed };

// What the simulation means at one moment, before the frame's resolution
// cuts it down.
struct flight_sample {
    long double elapsed = 0;  // seconds since launch (since the start, on the pad, in a sky flight)
    flight_phase phase = flight_phase::ascent;
    long double altitude = 0;
    long double latitude = 0;
    long double longitude = 0;
    long double speed_knots = 0;
    long double temperature = 0;
    long double battery_voltage = 0;
    int satellites = 0;
};

// Frame k (from 0) shows the flight at k * step seconds after launch, with
// the local time of day of start_time + k * step. With step = 1 / rate the
// frame times follow the local clock at any rate; a larger step runs the
// flight faster than real time.
struct flight_state {
    flight_plan plan;  // the steady flight, unless `sky` is set
    std::shared_ptr<const sky_flight> sky;
    long double start_time = 0;  // seconds since the epoch at launch
    long double step = 1;  // simulated seconds per frame
    std::uint64_t frames = 0;  // frames made so far
};

struct flight_frame {
    flight_sample sample;
    telemetry_fields fields;
};

flight_sample flight_sample_at(const flight_plan& plan, long double elapsed);

// The same for a sky flight: the tracker's fix (with its GPS noise) and
// what follows from it; the other values as in the steady flight.
flight_sample sky_sample_at(const sky_flight& flight, const flight_plan& plan, long double elapsed);

// Seconds after launch at which the payload reaches the ground again.
long double landing_time(const flight_plan& plan);

// The next frame of the flight; its counter runs from 1 and wraps as a
// signed 16-bit number.
flight_frame step_flight(flight_state& state);
