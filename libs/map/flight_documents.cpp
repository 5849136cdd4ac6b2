#include "flight_documents.h"

#include <charconv>
#include <cmath>
#include <pugixml.hpp>
#include <sstream>

#include "flight_time.h"
#include "geodesy.h"

namespace {

nlohmann::json number_or_null(double value)
{
    return std::isfinite(value) ? nlohmann::json(value) : nlohmann::json(nullptr);
}

std::string time_of_day_text(std::int32_t seconds)
{
    const auto two = [](std::int32_t value) {
        return std::string{static_cast<char>('0' + value / 10), static_cast<char>('0' + value % 10)};
    };
    return two(seconds / 3600) + ":" + two(seconds / 60 % 60) + ":" + two(seconds % 60);
}

std::int64_t utc_of(std::int64_t local_time, int utc_offset)
{
    return local_time - static_cast<std::int64_t>(utc_offset) * 60;
}

// The shortest text that reads back as the same double, as KML's
// coordinates want it: no locale, no exponent for the values that occur.
std::string number_text(double value)
{
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : std::string("0");
}

std::string coordinate_text(double longitude, double latitude, double altitude)
{
    return number_text(longitude) + "," + number_text(latitude) + "," + number_text(altitude);
}

nlohmann::json position(double longitude, double latitude, double altitude)
{
    return nlohmann::json::array({longitude, latitude, altitude});
}

nlohmann::json point_feature(const char* role, const char* name, nlohmann::json coordinates,
                             nlohmann::json properties)
{
    properties["role"] = role;
    properties["name"] = name;
    return {{"type", "Feature"},
            {"geometry", {{"type", "Point"}, {"coordinates", std::move(coordinates)}}},
            {"properties", std::move(properties)}};
}

double station_altitude(const station_option& station, double ground_altitude)
{
    return station.altitude_given ? station.altitude : ground_altitude;
}

std::string seconds_text(double seconds)
{
    return duration_text(std::llround(seconds));
}

void add_placemark(pugi::xml_node document, const char* name, const std::string& description,
                   const char* style, const std::string& coordinates)
{
    pugi::xml_node placemark = document.append_child("Placemark");
    placemark.append_child("name").text().set(name);
    placemark.append_child("description").text().set(description.c_str());
    placemark.append_child("styleUrl").text().set(style);
    pugi::xml_node point = placemark.append_child("Point");
    point.append_child("altitudeMode").text().set("absolute");
    point.append_child("coordinates").text().set(coordinates.c_str());
}

void add_style(pugi::xml_node document, const char* id, const char* line_colour,
               const char* icon_colour)
{
    pugi::xml_node style = document.append_child("Style");
    style.append_attribute("id").set_value(id);
    pugi::xml_node icon = style.append_child("IconStyle");
    icon.append_child("color").text().set(icon_colour);
    pugi::xml_node line = style.append_child("LineStyle");
    line.append_child("color").text().set(line_colour);
    line.append_child("width").text().set(3);
    style.append_child("PolyStyle").append_child("color").text().set("400000ff");
}

std::string place_description(const flight_point& p, int utc_offset)
{
    return iso8601_local(p.local_time, utc_offset) + ", " + std::to_string(p.frame.altitude) +
           " m, frame " + std::to_string(p.frame.counter);
}

std::string xml_text(const pugi::xml_document& xml)
{
    std::ostringstream text;
    xml.save(text, "  ", pugi::format_default, pugi::encoding_utf8);
    return text.str();
}

}  // namespace

nlohmann::json frame_fields_json(const log_record& frame)
{
    return {{"counter", frame.counter},
            {"time", time_of_day_text(frame.seconds_of_day)},
            {"latitude", number_or_null(frame.latitude)},
            {"longitude", number_or_null(frame.longitude)},
            {"altitude", frame.altitude},
            {"speed", frame.speed},
            {"satellites", frame.satellites},
            {"temperature", frame.temperature},
            {"battery", frame.battery_voltage},
            {"climb", frame.climb_rate}};
}

nlohmann::json place_json(const flight_point& point, int utc_offset)
{
    return {{"latitude", point.frame.latitude},
            {"longitude", point.frame.longitude},
            {"altitude", point.frame.altitude},
            {"counter", point.frame.counter},
            {"time", time_of_day_text(point.frame.seconds_of_day)},
            {"local_time", iso8601_local(point.local_time, utc_offset)},
            {"utc_time", iso8601_utc(utc_of(point.local_time, utc_offset))}};
}

nlohmann::json landing_json(const landing_estimate& landing, int utc_offset)
{
    return {{"estimate", true},
            {"latitude", landing.latitude},
            {"longitude", landing.longitude},
            {"seconds", landing.seconds},
            {"local_time", iso8601_local(landing.local_time, utc_offset)},
            {"utc_time", iso8601_utc(utc_of(landing.local_time, utc_offset))},
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
    look["target"] = place_json(*target, utc_offset);
    look["azimuth"] = seen.azimuth;
    look["elevation"] = seen.elevation;
    look["slant_range"] = seen.slant_range;
    look["ground_distance"] = seen.ground_distance;
    return look;
}

nlohmann::json flight_geojson(const flight& f, const track_marks& marks)
{
    const std::vector<flight_point>& points = f.points;
    nlohmann::json coordinates = nlohmann::json::array();
    nlohmann::json times = nlohmann::json::array();
    nlohmann::json clock = nlohmann::json::array();
    nlohmann::json counters = nlohmann::json::array();
    for (const flight_point& p : points) {
        coordinates.push_back(position(p.frame.longitude, p.frame.latitude, p.frame.altitude));
        times.push_back(iso8601_utc(p.utc_time));
        clock.push_back(p.local_time);
        counters.push_back(p.frame.counter);
    }
    // A LineString needs two positions; one fix is a Point, none no geometry.
    nlohmann::json geometry = nullptr;
    if (points.size() >= 2) {
        geometry = {{"type", "LineString"}, {"coordinates", std::move(coordinates)}};
    } else if (points.size() == 1) {
        geometry = {{"type", "Point"}, {"coordinates", coordinates.front()}};
    }
    nlohmann::json features = nlohmann::json::array();
    features.push_back({{"type", "Feature"},
                        {"geometry", std::move(geometry)},
                        {"properties",
                         {{"role", "track"},
                          {"name", "Track"},
                          {"points", points.size()},
                          {"times", std::move(times)},
                          {"clock_seconds", std::move(clock)},
                          {"counters", std::move(counters)},
                          {"utc_offset", utc_offset_text(f.utc_offset)}}}});
    const auto add_point = [&](const char* role, const char* name, const flight_point& p) {
        features.push_back(point_feature(role, name,
                                         position(p.frame.longitude, p.frame.latitude, p.frame.altitude),
                                         place_json(p, f.utc_offset)));
    };
    if (!points.empty()) {
        if (f.liftoff) add_point("launch", "Launch", points[*f.liftoff]);
        if (marks.burst && *marks.burst < points.size()) add_point("burst", "Burst", points[*marks.burst]);
        add_point("latest", "Latest fix", points[f.last]);
    }
    if (marks.landing) {
        const landing_estimate& l = *marks.landing;
        const double ground = ground_altitude(f).value_or(0.0);
        features.push_back(point_feature("landing_estimate", "Landing estimate",
                                         position(l.longitude, l.latitude, ground),
                                         landing_json(l, f.utc_offset)));
    }
    if (marks.station) {
        const double ground = ground_altitude(f).value_or(0.0);
        const station_option& s = *marks.station;
        features.push_back(point_feature(
            "station", "Station",
            position(s.longitude, s.latitude, station_altitude(s, ground)),
            {{"altitude_assumed", !s.altitude_given}}));
    }
    return {{"type", "FeatureCollection"}, {"features", std::move(features)}};
}

std::string flight_kml(const flight& f, const track_marks& marks)
{
    pugi::xml_document xml;
    pugi::xml_node kml = xml.append_child("kml");
    kml.append_attribute("xmlns").set_value("http://www.opengis.net/kml/2.2");
    pugi::xml_node document = kml.append_child("Document");
    document.append_child("name").text().set("Zarim live flight");
    add_style(document, "track", "ff0000ff", "ff0000ff");
    add_style(document, "launch", "ff00aa00", "ff00aa00");
    add_style(document, "burst", "ff0000ff", "ff0000ff");
    add_style(document, "latest", "ff00ffff", "ff00ffff");
    add_style(document, "estimate", "ffff00ff", "ffff00ff");
    add_style(document, "station", "ffff0000", "ffff0000");

    const std::vector<flight_point>& points = f.points;
    if (points.size() >= 2) {
        std::string coordinates;
        coordinates.reserve(points.size() * 32);
        for (const flight_point& p : points) {
            if (!coordinates.empty()) coordinates += ' ';
            coordinates += coordinate_text(p.frame.longitude, p.frame.latitude, p.frame.altitude);
        }
        pugi::xml_node placemark = document.append_child("Placemark");
        placemark.append_child("name").text().set("Track");
        placemark.append_child("styleUrl").text().set("#track");
        pugi::xml_node line = placemark.append_child("LineString");
        line.append_child("extrude").text().set(1);
        line.append_child("altitudeMode").text().set("absolute");
        line.append_child("coordinates").text().set(coordinates.c_str());
    }
    const auto add_place = [&](const char* name, const char* style, const flight_point& p) {
        add_placemark(document, name, place_description(p, f.utc_offset), style,
                      coordinate_text(p.frame.longitude, p.frame.latitude, p.frame.altitude));
    };
    if (!points.empty()) {
        if (f.liftoff) add_place("Launch", "#launch", points[*f.liftoff]);
        if (marks.burst && *marks.burst < points.size()) add_place("Burst", "#burst", points[*marks.burst]);
        add_place("Latest fix", "#latest", points[f.last]);
    }
    const double ground = ground_altitude(f).value_or(0.0);
    if (marks.landing) {
        const landing_estimate& l = *marks.landing;
        add_placemark(document, "Landing estimate",
                      "If the present descent rate and drift hold: in " + seconds_text(l.seconds) +
                          ", at " + iso8601_local(l.local_time, f.utc_offset),
                      "#estimate", coordinate_text(l.longitude, l.latitude, ground));
    }
    if (marks.station) {
        const station_option& s = *marks.station;
        add_placemark(document, "Station", "The receiving station", "#station",
                      coordinate_text(s.longitude, s.latitude, station_altitude(s, ground)));
    }
    return xml_text(xml);
}

std::string network_link_kml(const std::string& track_url, int refresh_seconds)
{
    pugi::xml_document xml;
    pugi::xml_node kml = xml.append_child("kml");
    kml.append_attribute("xmlns").set_value("http://www.opengis.net/kml/2.2");
    pugi::xml_node link_node = kml.append_child("NetworkLink");
    link_node.append_child("name").text().set("Zarim live flight");
    link_node.append_child("open").text().set(1);
    pugi::xml_node link = link_node.append_child("Link");
    link.append_child("href").text().set(track_url.c_str());
    link.append_child("refreshMode").text().set("onInterval");
    link.append_child("refreshInterval").text().set(refresh_seconds);
    return xml_text(xml);
}
