#include "ground_destination.h"

#include <GeographicLib/Geodesic.hpp>
#include <GeographicLib/Math.hpp>

geo_position ground_destination(const geo_position& start, double azimuth, double distance)
{
    geo_position end = start;
    GeographicLib::Geodesic::WGS84().Direct(start.latitude, start.longitude, azimuth, distance,
                                            end.latitude, end.longitude);
    end.longitude = GeographicLib::Math::AngNormalize(end.longitude);
    if (end.longitude == 180) end.longitude = -180;
    return end;
}
