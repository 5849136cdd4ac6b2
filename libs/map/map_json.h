// What the map says beyond the flight's own fields, as JSON for the page
// and the documents: the landing estimate, the look from a station, and
// both as places the documents mark. Field names are those of fields.h.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "documents.h"
#include "flight_model.h"
#include "landing_estimate.h"
#include "map_options.h"

nlohmann::json landing_json(const landing_estimate& landing, int utc_offset);

// How `station` sees `target`: azimuth, elevation, slant range and ground
// distance, with the station and the target. A station without an
// altitude stands at `ground_altitude`.
nlohmann::json look_json(const station_option& station, double ground_altitude,
                         const std::optional<flight_point>& target, int utc_offset);

// The landing estimate and the station as places for the documents; both
// stand at `ground_altitude` (the launch's) unless the station has its own.
std::vector<extra_place> live_places(const std::optional<landing_estimate>& landing,
                                     const std::optional<station_option>& station,
                                     double ground_altitude, int utc_offset);
