#include <cmath>

#include "documents.h"
#include "flight_time.h"
#include "landmarks.h"

namespace {

nlohmann::json position(const flight_point& p)
{
    return nlohmann::json::array({p.frame.longitude, p.frame.latitude, p.frame.altitude});
}

}  // namespace

nlohmann::json geojson_document(const flight& f, const std::string& title)
{
    nlohmann::json features = nlohmann::json::array();
    if (f.points.size() >= 2) {
        nlohmann::json coordinates = nlohmann::json::array();
        nlohmann::json times = nlohmann::json::array();
        for (const flight_point& p : f.points) {
            coordinates.push_back(position(p));
            times.push_back(iso8601_utc(p.utc_time));
        }
        features.push_back({
            {"type", "Feature"},
            {"geometry", {{"type", "LineString"}, {"coordinates", std::move(coordinates)}}},
            {"properties", {{"name", "Flight path"}, {"role", "path"}, {"times", std::move(times)}}},
        });
    }
    if (!f.points.empty()) {
        for (const landmark& mark : landmarks_of(f)) {
            const flight_point& p = f.points[mark.index];
            const log_record& r = p.frame;
            features.push_back({
                {"type", "Feature"},
                {"geometry", {{"type", "Point"}, {"coordinates", position(p)}}},
                {"properties",
                 {{"name", mark.name},
                  {"role", mark.role},
                  {"time", iso8601_utc(p.utc_time)},
                  {"local_time", iso8601_local(p.local_time, f.utc_offset)},
                  {"counter", r.counter},
                  {"latitude", r.latitude},
                  {"longitude", r.longitude},
                  {"altitude", r.altitude},
                  {"speed", r.speed},
                  {"satellites", r.satellites},
                  {"temperature", r.temperature},
                  {"battery_voltage", r.battery_voltage},
                  {"climb_rate", r.climb_rate}}},
            });
        }
    }
    return {{"type", "FeatureCollection"}, {"name", title}, {"features", std::move(features)}};
}
