// The other half of the ground path: where a geodesic ends when it leaves a
// point in a given direction for a given distance. The live map draws its
// landing estimate with it, on the same ellipsoid as every other figure.
#pragma once

#include "geodesy.h"

// Promises: latitude and longitude on WGS84, the longitude within
// [-180, 180); the altitude is the start's. A distance of 0 gives the start.
geo_position ground_destination(const geo_position& start, double azimuth, double distance);
