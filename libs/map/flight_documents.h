// The flight written out for the page, for GIS tools and for Google Earth:
// JSON and GeoJSON through nlohmann-json, KML through pugixml, so that
// every text is escaped by the library that writes it.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "flight_model.h"
#include "landing_estimate.h"
#include "log_reading.h"
#include "map_options.h"

// What the map adds to the flight's own points.
struct track_marks {
    std::optional<std::size_t> burst;  // the burst point, once the payload falls
    std::optional<landing_estimate> landing;
    std::optional<station_option> station;
};

// The frame's fields under the names of the log line's fields: counter,
// time, latitude, longitude, altitude, speed, satellites, temperature,
// battery, climb.
nlohmann::json frame_fields_json(const log_record& frame);

// A point of the flight: where, how high, when.
nlohmann::json place_json(const flight_point& point, int utc_offset);

nlohmann::json landing_json(const landing_estimate& landing, int utc_offset);

// How `station` sees `target`: azimuth, elevation, slant range and ground
// distance, with the station and the target. A station without an
// altitude stands at `ground_altitude`.
nlohmann::json look_json(const station_option& station, double ground_altitude,
                         const std::optional<flight_point>& target, int utc_offset);

// RFC 7946: a LineString of every point (longitude, latitude, altitude),
// its times and counters as properties, and Point features for launch,
// burst, the latest fix, the landing estimate and the station.
nlohmann::json flight_geojson(const flight& f, const track_marks& marks);

// KML 2.2: the path at absolute altitude extruded to the ground, and a
// placemark for each of the same places.
std::string flight_kml(const flight& f, const track_marks& marks);

// A KML NetworkLink that Google Earth refreshes every `refresh_seconds`
// from `track_url`.
std::string network_link_kml(const std::string& track_url, int refresh_seconds);
