// What the map says beyond the flight's own fields, as JSON for the page
// and the documents: the landing prediction, the look from a station, and
// both as places the documents mark. Field names are those of fields.h:
// a predicted place has time, local_time, latitude, longitude, altitude.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "documents.h"
#include "flight_model.h"
#include "landing_prediction.h"
#include "map_options.h"

// The prediction made at the fix of `fix_time`, both on the UTC scale
// (seconds since 1970): where and when the payload lands ("seconds" from
// that fix), the radius, the expected or past burst, the rates it used,
// the path as GeoJSON positions, and from `station` the azimuth and ground
// distance to the landing.
nlohmann::json prediction_json(const landing_prediction& prediction, double fix_time, int utc_offset,
                               const std::optional<station_option>& station);

// Azimuth and ground distance from a place to the predicted landing.
nlohmann::json towards_landing(double latitude, double longitude, const landing_prediction& prediction);

// How `station` sees `target`: azimuth, elevation, slant range and ground
// distance, with the station and the target. A station without an
// altitude stands at `ground_altitude`.
nlohmann::json look_json(const station_option& station, double ground_altitude,
                         const std::optional<flight_point>& target, int utc_offset);

// The predicted path and landing, and the station, as places for the
// documents; the station stands at `ground_altitude` (the launch's) unless
// it has its own height. `with_radius` adds the radius as a ring on the
// ground, for documents that cannot draw a circle of their own (KML).
std::vector<extra_place> live_places(const std::optional<landing_prediction>& prediction,
                                     const nlohmann::json& prediction_fields,
                                     const std::optional<station_option>& station, double ground_altitude,
                                     bool with_radius);
