#include "geodesy.h"

#include <GeographicLib/Geodesic.hpp>
#include <GeographicLib/LocalCartesian.hpp>
#include <cmath>
#include <numbers>

namespace {

double whole_circle(double degrees)
{
    const double turned = std::fmod(degrees, 360.0);
    return turned < 0 ? turned + 360.0 : (turned >= 360.0 ? 0.0 : turned);
}

double to_degrees(double radians)
{
    return radians * 180.0 / std::numbers::pi;
}

}  // namespace

ground_leg ground_path(double latitude1, double longitude1, double latitude2, double longitude2)
{
    double distance = 0;
    double azimuth1 = 0;
    double azimuth2 = 0;
    GeographicLib::Geodesic::WGS84().Inverse(latitude1, longitude1, latitude2, longitude2,
                                             distance, azimuth1, azimuth2);
    // With no distance there is no direction; the geodesic still names one.
    return ground_leg{distance, distance == 0 ? 0.0 : whole_circle(azimuth1)};
}

look_angle look_angles(const geo_position& station, const geo_position& target)
{
    const ground_leg leg =
        ground_path(station.latitude, station.longitude, target.latitude, target.longitude);
    const GeographicLib::LocalCartesian frame(station.latitude, station.longitude,
                                              station.altitude,
                                              GeographicLib::Geocentric::WGS84());
    double east = 0;
    double north = 0;
    double up = 0;
    frame.Forward(target.latitude, target.longitude, target.altitude, east, north, up);
    const double horizontal = std::hypot(east, north);
    look_angle seen;
    seen.azimuth = leg.azimuth;
    seen.ground_distance = leg.distance;
    seen.slant_range = std::hypot(horizontal, up);
    seen.elevation = seen.slant_range == 0 ? 0.0 : to_degrees(std::atan2(up, horizontal));
    return seen;
}
