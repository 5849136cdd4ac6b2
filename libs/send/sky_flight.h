// A balloon flight through the sky of sky.h, worked out once from launch to
// landing: a while on the pad, a climb at a nearly steady rate with the
// wind, the burst, a tumbling fall while the parachute is tangled in the
// balloon's remains, then a fall that slows as the air thickens, drifting
// with the wind at each height, and the payload lying on the ground. The
// tracker's fixes carry GPS noise, a function of the time like everything
// else here, so that a frame does not depend on the frames before it.
#pragma once

#include <cstdint>
#include <vector>

#include "sky.h"

struct sky_plan {
    double launch_latitude = -23.55;  // degrees
    double launch_longitude = -46.63;
    double launch_altitude = 760;  // metres; the pad
    double ground_altitude = 760;  // metres; where the fall ends
    double pad_seconds = 60;  // on the pad before liftoff
    double burst_altitude = 30000;  // below 32767: the frame's altitude is 16-bit
    double ascent_rate = 5;  // metres per second, on average
    // The fall's speed at sea level, and how it grows as the air thins:
    // speed = rate * (density(0) / density(h))^exponent; 1/2 is a constant
    // drag area, more a canopy that holds less in thin air.
    double sea_level_descent_rate = 5;
    double descent_exponent = 0.5;
    double tumbling_seconds = 90;  // after the burst
    double tumbling_speedup = 1.3;  // the fall's speed while tumbling, on average
    std::vector<wind_level> winds = spring_day_winds();
    // How the winds change over the flight: metres per second per hour,
    // added at each height (none: the same winds all day).
    std::vector<wind_level> wind_change;
    double gps_noise = 3;  // metres, horizontal; twice that in height
    double vertical_air = 0.4;  // metres per second of up- and downdraughts
    std::uint64_t seed = 1;  // for the noise, the draughts and the tumbling
};

// One second of the flight as it happened.
struct sky_point {
    double latitude = 0;
    double longitude = 0;
    double altitude = 0;
    double speed = 0;  // metres per second over the ground
};

struct sky_flight {
    sky_plan plan;
    std::vector<sky_point> seconds;  // at 0, 1, 2 ... seconds from the start (on the pad)
    double liftoff = 0;  // seconds from the start
    double burst = 0;
    double landing = 0;
    sky_point landing_point;
};

// Works the flight out, from the start on the pad to the landing.
sky_flight fly_sky(const sky_plan& plan);

enum class sky_stage { pad, ascent, descent, landed };

struct sky_fix {
    sky_stage stage = sky_stage::pad;
    sky_point truth;  // where the payload is
    sky_point reported;  // what the tracker's GPS says
};

// The flight `elapsed` seconds after the start (after the landing, the
// payload where it came down).
sky_fix sky_fix_at(const sky_flight& flight, double elapsed);
