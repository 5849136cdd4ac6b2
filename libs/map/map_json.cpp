#include "map_json.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "fields.h"
#include "flight_time.h"
#include "geodesy.h"
#include "ground_destination.h"

namespace {

double station_altitude(const station_option& station, double ground_altitude)
{
    return station.altitude_given ? station.altitude : ground_altitude;
}

const char* progress_name(flight_progress progress)
{
    switch (progress) {
    case flight_progress::waiting: return "waiting";
    case flight_progress::pad: return "pad";
    case flight_progress::ascent: return "ascent";
    case flight_progress::descent: return "descent";
    case flight_progress::landed: return "landed";
    }
    return "waiting";
}

nlohmann::json predicted_place(const predicted_point& p, int utc_offset)
{
    const auto utc = static_cast<std::int64_t>(std::llround(p.time));
    return {{"time", iso8601_utc(utc)},
            {"local_time", iso8601_local(utc + static_cast<std::int64_t>(utc_offset) * 60, utc_offset)},
            {"latitude", p.latitude},
            {"longitude", p.longitude},
            {"altitude", p.altitude}};
}

// Points around the landing at the radius, closed, for a ring on the ground.
std::vector<geo_position> radius_ring(const landing_prediction& prediction)
{
    constexpr int steps = 72;
    const geo_position centre{prediction.landing.latitude, prediction.landing.longitude,
                              prediction.ground_altitude};
    std::vector<geo_position> ring;
    for (int i = 0; i <= steps; ++i) {
        geo_position p = ground_destination(centre, 360.0 * (i % steps) / steps, prediction.radius);
        p.altitude = prediction.ground_altitude;
        ring.push_back(p);
    }
    return ring;
}

}  // namespace

nlohmann::json towards_landing(double latitude, double longitude, const landing_prediction& prediction)
{
    const ground_leg leg = ground_path(latitude, longitude, prediction.landing.latitude, prediction.landing.longitude);
    return {{"azimuth", leg.azimuth}, {"ground_distance", leg.distance}};
}

nlohmann::json prediction_json(const landing_prediction& prediction, double fix_time, int utc_offset,
                               const std::optional<station_option>& station)
{
    nlohmann::json json = predicted_place(prediction.landing, utc_offset);
    json["progress"] = progress_name(prediction.progress);
    json["seconds"] = std::max(0.0, prediction.landing.time - fix_time);
    json["fix_time"] = iso8601_utc(static_cast<std::int64_t>(std::llround(fix_time)));
    json["radius"] = prediction.radius;
    json["burst"] = prediction.burst ? predicted_place(*prediction.burst, utc_offset) : nlohmann::json(nullptr);
    json["ascent_rate"] = prediction.ascent_rate;
    json["descent_rate"] = prediction.descent.sea_level_rate;
    json["descent_exponent"] = prediction.descent.exponent;
    json["ground_altitude"] = prediction.ground_altitude;
    json["unmeasured_seconds"] = prediction.unmeasured_seconds;
    nlohmann::json path = nlohmann::json::array();
    for (const predicted_point& p : prediction.path) path.push_back({p.longitude, p.latitude, p.altitude});
    json["path"] = std::move(path);
    json["station"] = station ? towards_landing(station->latitude, station->longitude, prediction)
                              : nlohmann::json(nullptr);
    return json;
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

std::vector<extra_place> live_places(const std::optional<landing_prediction>& prediction,
                                     const nlohmann::json& prediction_fields,
                                     const std::optional<station_option>& station, double ground_altitude,
                                     bool with_radius)
{
    std::vector<extra_place> places;
    if (prediction && prediction->progress != flight_progress::landed) {
        const predicted_point& landing = prediction->landing;
        const std::string utc = iso8601_utc(static_cast<std::int64_t>(std::llround(landing.time)));
        extra_place path;
        path.name = "Predicted path";
        path.role = "predicted_path";
        path.description = "From the latest fix to the predicted landing";
        for (const predicted_point& p : prediction->path) path.line.push_back({p.latitude, p.longitude, p.altitude});
        if (path.line.size() >= 2) places.push_back(std::move(path));
        const std::string said = "Lands in " + duration_text(std::llround(prediction_fields.value("seconds", 0.0))) +
                                 ", at " + prediction_fields.value("local_time", std::string()) + " (" +
                                 utc.substr(11, 5) + " UTC), within about " +
                                 std::to_string(std::lround(prediction->radius)) + " m";
        extra_place place;
        place.name = "Predicted landing";
        place.role = "predicted_landing";
        place.position = {landing.latitude, landing.longitude, landing.altitude};
        place.description = said;
        place.properties = prediction_fields;
        place.properties.erase("path");
        places.push_back(std::move(place));
        if (with_radius && prediction->radius > 0) {
            extra_place ring;
            ring.name = "Landing radius";
            ring.role = "landing_radius";
            ring.description = said;
            ring.line = radius_ring(*prediction);
            places.push_back(std::move(ring));
        }
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
