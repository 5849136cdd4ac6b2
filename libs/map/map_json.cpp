#include "map_json.h"

#include <cmath>

#include "fields.h"
#include "flight_time.h"
#include "geodesy.h"

namespace {

double station_altitude(const station_option& station, double ground_altitude)
{
    return station.altitude_given ? station.altitude : ground_altitude;
}

std::int64_t utc_of(std::int64_t local_time, int utc_offset)
{
    return local_time - static_cast<std::int64_t>(utc_offset) * 60;
}

}  // namespace

nlohmann::json landing_json(const landing_estimate& landing, int utc_offset)
{
    return {{"estimate", true},
            {"latitude", landing.latitude},
            {"longitude", landing.longitude},
            {"seconds", landing.seconds},
            {"time", iso8601_utc(utc_of(landing.local_time, utc_offset))},
            {"local_time", iso8601_local(landing.local_time, utc_offset)},
            {"descent_rate", landing.descent_rate},
            {"drift_speed", landing.drift_speed},
            {"drift_azimuth", landing.drift_azimuth}};
}

nlohmann::json look_json(const station_option& station, double ground_altitude,
                         const std::optional<flight_point>& target, int utc_offset)
{
    const double altitude = station_altitude(station, ground_altitude);
    nlohmann::json look = {{"station",
                            {{"latitude", station.latitude},
                             {"longitude", station.longitude},
                             {"altitude", altitude},
                             {"altitude_assumed", !station.altitude_given}}}};
    if (!target) {
        for (const char* key : {"target", "azimuth", "elevation", "slant_range", "ground_distance"})
            look[key] = nullptr;
        return look;
    }
    const look_angle seen = look_angles(
        geo_position{station.latitude, station.longitude, altitude},
        geo_position{target->frame.latitude, target->frame.longitude,
                     static_cast<double>(target->frame.altitude)});
    look["target"] = point_fields(*target, utc_offset);
    look["azimuth"] = seen.azimuth;
    look["elevation"] = seen.elevation;
    look["slant_range"] = seen.slant_range;
    look["ground_distance"] = seen.ground_distance;
    return look;
}

std::vector<extra_place> live_places(const std::optional<landing_estimate>& landing,
                                     const std::optional<station_option>& station,
                                     double ground_altitude, int utc_offset)
{
    std::vector<extra_place> places;
    if (landing) {
        extra_place place;
        place.name = "Landing estimate";
        place.role = "landing_estimate";
        place.position = {landing->latitude, landing->longitude, ground_altitude};
        place.description = "If the present descent rate and drift hold: in " +
                            duration_text(std::llround(landing->seconds)) + ", at " +
                            iso8601_local(landing->local_time, utc_offset);
        place.properties = landing_json(*landing, utc_offset);
        places.push_back(std::move(place));
    }
    if (station) {
        extra_place place;
        place.name = "Station";
        place.role = "station";
        place.position = {station->latitude, station->longitude,
                          station_altitude(*station, ground_altitude)};
        place.description = "The receiving station";
        place.properties = {{"altitude_assumed", !station->altitude_given}};
        places.push_back(std::move(place));
    }
    return places;
}
