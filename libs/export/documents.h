// The flight as the files that mapping, charting and spreadsheet tools
// read, one writer per format, shared by zarim-export and zarim-map. Each
// writer walks the flight once and writes as it goes, so that a long flight
// costs its files' size on disk and a few thousand points in memory: markup
// goes through pugixml one small fragment at a time between the head and
// the tail of the document's skeleton, JSON through nlohmann-json one
// feature at a time, both of which escape what they are given, and numbers
// are written without regard to the locale.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "flight_model.h"
#include "geodesy.h"
#include "landing_prediction.h"

// A place the documents mark besides the flight's own (launch, burst,
// landing, last fix): the live map's predicted landing, its predicted path
// and its station.
struct extra_place {
    std::string name;  // for people: "Predicted landing"
    std::string role;  // for programs, and the KML style: "predicted_landing"
    geo_position position;
    std::string description;  // KML's
    nlohmann::json properties = nlohmann::json::object();  // GeoJSON's
    // A line through these instead of a point at `position`, when given.
    std::vector<geo_position> line;
};

// A long track is cut into pieces of this many points, each piece starting
// at the last point of the one before so that the drawn line has no break:
// no text node or object grows with the flight.
inline constexpr std::size_t points_per_piece = 5000;

// GPX starts a new track segment where more than this passes without a
// frame, as a GPS receiver does where it lost its fix.
inline constexpr std::int64_t segment_gap_seconds = 300;

// GPX 1.1: waypoints for the flight's places, and one track of every point
// with latitude, longitude, elevation, UTC time and satellites, in
// segments split at gaps.
void write_gpx(std::ostream& out, const flight& f, const std::string& title);

// KML 2.2: the path in pieces of gx:Track, every point with its time for
// Google Earth's time slider, at absolute altitude; placemarks for the
// flight's places and `extras`.
void write_kml(std::ostream& out, const flight& f, const std::string& title,
               const std::vector<extra_place>& extras = {});

// GeoJSON (RFC 7946), compact: the path as LineString features in pieces
// (role "path", with the UTC times of their positions), Point features for
// the flight's places carrying the point's fields, and for `extras`; the
// members of `foreign` are added to the FeatureCollection. A path of one
// point has no LineString, which needs two.
void write_geojson(std::ostream& out, const flight& f, const std::string& title,
                   const std::vector<extra_place>& extras = {},
                   const nlohmann::json& foreign = nlohmann::json::object());

// CSV with a header row of the fields' names and ISO 8601 times, one row
// per point, CR LF ends; each row ends with the landing predicted with
// `prediction` as the flight stood at that point (landing_predictions.h),
// empty before the liftoff.
void write_csv(std::ostream& out, const flight& f, const prediction_settings& prediction = {});

// An SVG flight profile: altitude and climb rate against the receiver's
// local time, each stage in its colour, the burst marked once it happened.
void write_svg_profile(std::ostream& out, const flight& f, const std::string& title);

// A KML NetworkLink that Google Earth refreshes every `refresh_seconds`
// from `track_url`.
void write_network_link(std::ostream& out, const std::string& track_url, int refresh_seconds);

// Numbers for documents: the shortest text that reads back as the same
// double (-23.55052, 760), and a fixed number of decimals with trailing
// zeros dropped (1.67, 5).
std::string shortest_text(double value);
std::string decimals_text(double value, int places);
