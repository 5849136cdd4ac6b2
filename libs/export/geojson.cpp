#include "documents.h"
#include "fields.h"
#include "flight_time.h"
#include "landmarks.h"
#include "text_safety.h"

namespace {

nlohmann::json position(double longitude, double latitude, double altitude)
{
    return nlohmann::json::array({longitude, latitude, altitude});
}

nlohmann::json position(const flight_point& p)
{
    return nlohmann::json::array({p.frame.longitude, p.frame.latitude, p.frame.altitude});
}

nlohmann::json point_feature(nlohmann::json coordinates, nlohmann::json properties)
{
    return {{"type", "Feature"},
            {"geometry", {{"type", "Point"}, {"coordinates", std::move(coordinates)}}},
            {"properties", std::move(properties)}};
}

// The collection's own members, and the text before and after its
// features: keys in the order written, the features last.
std::pair<std::string, std::string> collection_envelope(const flight& f, const std::string& title,
                                                        const nlohmann::json& foreign)
{
    nlohmann::ordered_json collection;
    collection["type"] = "FeatureCollection";
    collection["name"] = utf8_text(title);
    collection["utc_offset"] = utc_offset_text(f.utc_offset);
    for (const auto& [key, value] : foreign.items()) collection[key] = value;
    collection["features"] = nlohmann::ordered_json::array();
    const std::string text =
        collection.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    // ...,"features":[]}
    const std::size_t cut = text.size() - 2;
    return {text.substr(0, cut), text.substr(cut)};
}

}  // namespace

void write_geojson(std::ostream& out, const flight& f, const std::string& title,
                   const std::vector<extra_place>& extras, const nlohmann::json& foreign)
{
    const auto [head, tail] = collection_envelope(f, title, foreign);
    out << head;
    const char* separator = "\n";
    const auto write_feature = [&](const nlohmann::json& feature) {
        out << separator << json_text(feature);
        separator = ",\n";
    };

    const std::vector<flight_point>& points = f.points;
    // Pieces as the KML's: each starts at the last point of the one before.
    for (std::size_t start = 0; points.size() >= 2 && start + 1 < points.size();) {
        const std::size_t end = std::min(points.size(), start + points_per_piece);
        nlohmann::json coordinates = nlohmann::json::array();
        nlohmann::json times = nlohmann::json::array();
        for (std::size_t i = start; i < end; ++i) {
            coordinates.push_back(position(points[i]));
            times.push_back(iso8601_utc(points[i].utc_time));
        }
        write_feature({{"type", "Feature"},
                       {"geometry", {{"type", "LineString"}, {"coordinates", std::move(coordinates)}}},
                       {"properties", {{"name", "Flight path"}, {"role", "path"}, {"times", std::move(times)}}}});
        start = end - 1;
    }
    for (const landmark& mark : landmarks_of(f)) {
        const flight_point& p = f.points[mark.index];
        nlohmann::json properties = point_fields(p, f.utc_offset);
        properties["name"] = mark.name;
        properties["role"] = mark.role;
        write_feature(point_feature(position(p), std::move(properties)));
    }
    for (const extra_place& extra : extras) {
        nlohmann::json properties = extra.properties;
        properties["name"] = extra.name;
        properties["role"] = extra.role;
        if (extra.line.empty()) {
            write_feature(point_feature(
                position(extra.position.longitude, extra.position.latitude, extra.position.altitude),
                std::move(properties)));
            continue;
        }
        nlohmann::json coordinates = nlohmann::json::array();
        for (const geo_position& p : extra.line) coordinates.push_back(position(p.longitude, p.latitude, p.altitude));
        write_feature({{"type", "Feature"},
                       {"geometry", {{"type", "LineString"}, {"coordinates", std::move(coordinates)}}},
                       {"properties", std::move(properties)}});
    }
    out << "\n" << tail << "\n";
}
