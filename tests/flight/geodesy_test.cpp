#include <gtest/gtest.h>

#include <cmath>

#include "geodesy.h"

// Reference values: the WGS84 ellipsoid's degree lengths and a long line
// from the geodesic literature, solved independently to the millimetre.
TEST(geodesy, ground_paths_on_the_ellipsoid)
{
    struct row {
        double lat1, lon1, lat2, lon2;
        double distance, azimuth;
    };
    const row rows[] = {
        {0, 0, 0, 1, 111319.491, 90},  // a degree of the equator
        {0, 0, 1, 0, 110574.389, 0},  // a degree of meridian from the equator
        {1, 0, 0, 0, 110574.389, 180},
        {0, 0.5, 0, -0.5, 111319.491, 270},
        {40.6, -73.8, 51.6, -0.5, 5551759.401, 51.198882845},  // JFK to near LHR
        {-23.55, -46.63, -23.55, -46.63, 0, 0},
    };
    for (const row& r : rows) {
        const ground_leg leg = ground_path(r.lat1, r.lon1, r.lat2, r.lon2);
        EXPECT_NEAR(leg.distance, r.distance, 0.001) << r.lat2 << "," << r.lon2;
        EXPECT_NEAR(leg.azimuth, r.azimuth, 1e-6) << r.lat2 << "," << r.lon2;
        EXPECT_GE(leg.azimuth, 0);
        EXPECT_LT(leg.azimuth, 360);
    }
}

TEST(geodesy, look_angles_from_a_station)
{
    const geo_position station{-23.55, -46.63, 760};
    const look_angle overhead = look_angles(station, {-23.55, -46.63, 10760});
    EXPECT_NEAR(overhead.elevation, 90, 1e-6);
    EXPECT_NEAR(overhead.slant_range, 10000, 1e-6);
    EXPECT_EQ(overhead.ground_distance, 0);
    EXPECT_EQ(overhead.azimuth, 0);

    const look_angle itself = look_angles(station, station);
    EXPECT_EQ(itself.elevation, 0);
    EXPECT_EQ(itself.slant_range, 0);

    // 100 km east at the station's height sits below its horizon by the
    // earth's curve (about 785 m, half a degree of elevation).
    const double east = -46.63 + 100000 / (111319.491 * std::cos(23.55 * M_PI / 180));
    const look_angle level = look_angles(station, {-23.55, east, 760});
    EXPECT_NEAR(level.azimuth, 90, 0.3);
    EXPECT_NEAR(level.ground_distance, 100000, 300);
    EXPECT_NEAR(level.elevation, -0.45, 0.02);
    EXPECT_GT(level.slant_range, level.ground_distance - 10);

    // A balloon at 30 km, 100 km to the north: about 16 degrees up. On a
    // sphere of the local radius it stands (R + h) sin(d / R) out and
    // (R + h) cos(d / R) - (R + station height) up.
    const look_angle balloon = look_angles(station, {-23.55 + 0.9043, -46.63, 30000});
    EXPECT_NEAR(balloon.azimuth, 0, 1e-6);
    EXPECT_NEAR(balloon.ground_distance, 100000, 200);
    const double radius = 6375000;
    const double angle = balloon.ground_distance / radius;
    const double out = (radius + 30000) * std::sin(angle);
    const double up = (radius + 30000) * std::cos(angle) - (radius + 760);
    EXPECT_NEAR(balloon.elevation, std::atan2(up, out) * 180 / M_PI, 0.02);
    EXPECT_NEAR(balloon.slant_range, std::hypot(out, up), 20);
}
