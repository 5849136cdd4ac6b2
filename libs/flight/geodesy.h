// Distances and directions on the WGS84 ellipsoid, the one geodesy every
// companion uses, so the summary, the files and the map agree.
#pragma once

struct geo_position {
    double latitude = 0;  // degrees north
    double longitude = 0;  // degrees east
    double altitude = 0;  // metres; taken as height above the ellipsoid
};

struct ground_leg {
    double distance = 0;  // metres along the ellipsoid (the geodesic)
    double azimuth = 0;  // degrees clockwise from true north at the start, [0, 360)
};

// The shortest path over the ground between two points (heights ignored).
// Promises: accurate to nanometres for any pair, antipodal ones included.
ground_leg ground_path(double latitude1, double longitude1, double latitude2, double longitude2);

// How a station sees a target, e.g. an antenna on the ground the balloon.
struct look_angle {
    double azimuth = 0;  // degrees clockwise from true north, [0, 360)
    double elevation = 0;  // degrees above the station's horizon, -90 to 90
    double slant_range = 0;  // metres in a straight line, through the air
    double ground_distance = 0;  // metres along the ellipsoid
};

// Promises: azimuth and ground distance from the geodesic; elevation and
// slant range from the target's position in the station's local east,
// north, up frame (the horizon is the plane normal to the ellipsoid at the
// station, without refraction). A target at the station's own position
// gives all zeros; one straight above it, elevation 90 and azimuth 0.
look_angle look_angles(const geo_position& station, const geo_position& target);
