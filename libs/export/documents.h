// The flight as the files that mapping, charting and spreadsheet tools
// read. Every writer is a function from the flight to a document; markup is
// built with pugixml and JSON with nlohmann-json, which escape what they
// are given, and numbers are written without regard to the locale.
#pragma once

#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <string>

#include "flight_model.h"

// GPX 1.1: waypoints for launch, burst and last fix, and one track of every
// point with latitude, longitude, elevation, UTC time and satellites.
pugi::xml_document gpx_document(const flight& f, const std::string& title);

// KML 2.2: the path at absolute altitude, extruded to the ground, and
// placemarks for launch, burst and last fix with their time and altitude.
pugi::xml_document kml_document(const flight& f, const std::string& title);

// GeoJSON (RFC 7946): a LineString of the path, longitude first, with the
// UTC times of its positions, and Point features for launch, burst and last
// fix carrying the frame's fields. A path of fewer than two points has no
// LineString, which needs two positions.
nlohmann::json geojson_document(const flight& f, const std::string& title);

// CSV with a header row and ISO 8601 times, one row per point, CR LF ends.
std::string csv_document(const flight& f);

// An SVG flight profile: altitude and climb rate against the receiver's
// local time, ascent, descent and the ground told apart by colour, the
// burst marked.
pugi::xml_document svg_profile(const flight& f, const std::string& title);

// The document's text with its XML declaration, indented.
std::string xml_text(const pugi::xml_document& document);

// Numbers for documents: the shortest text that reads back as the same
// double (-23.55052, 760), and a fixed number of decimals with trailing
// zeros dropped (1.67, 5).
std::string shortest_text(double value);
std::string decimals_text(double value, int places);
