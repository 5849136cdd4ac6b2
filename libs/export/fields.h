// The one set of names a frame's and a point's fields go by, in every
// document that carries them (the GeoJSON's places, the summary's JSON, the
// CSV's header) and in the map's events, so that a program reading one
// reads them all:
//   time                UTC, ISO 8601 (2026-12-08T15:34:56Z)
//   local_time          the receiver's clock with its offset (2026-12-08T12:34:56-03:00)
//   counter             the tracker's frame counter
//   latitude, longitude degrees, south and west negative
//   altitude            metres
//   speed               km/h
//   satellites
//   temperature         degrees Celsius
//   battery_voltage     volts
//   climb_rate          m/s, as the receiver logged it
//   derived_climb_rate  m/s, the flight's own over the points around it
//   stage               pad, ascent, descent or landed (stage_name)
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>

#include "flight_model.h"

// counter to climb_rate; a position that is not finite is null.
nlohmann::json frame_fields(const log_record& frame);

// time and local_time, then the frame's fields.
nlohmann::json timed_frame_fields(const log_record& frame, std::int64_t local_time, int utc_offset);

// The timed frame's fields and derived_climb_rate.
nlohmann::json point_fields(const flight_point& point, int utc_offset);

// JSON text that is valid whatever its strings hold: bytes that are not
// UTF-8 become U+FFFD instead of an exception. `indent` as dump's.
std::string json_text(const nlohmann::json& value, int indent = -1);
