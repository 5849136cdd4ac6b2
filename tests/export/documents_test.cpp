#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <pugixml.hpp>
#include <set>
#include <sstream>

#include "documents.h"
#include "export_run.h"
#include "fields.h"
#include "flight_time.h"
#include "sample_flight.h"
#include "text_safety.h"

namespace {

// Characters that markup must escape, in the name every document carries.
const std::string awkward_title = "QLT_20261231 <a&b> \"c\"";

pugi::xml_document read_back(const std::string& text)
{
    pugi::xml_document document;
    const pugi::xml_parse_result result = document.load_string(text.c_str());
    EXPECT_TRUE(result) << result.description() << " at " << result.offset;
    return document;
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::stringstream stream(text);
    for (std::string part; std::getline(stream, part, separator);) {
        if (!part.empty()) parts.push_back(part);
    }
    return parts;
}

double number(const std::string& text)
{
    std::size_t used = 0;
    const double value = std::stod(text, &used);
    EXPECT_EQ(used, text.size()) << text;
    return value;
}

std::vector<int> counters(const flight& f)
{
    std::vector<int> result;
    for (const flight_point& p : f.points) result.push_back(p.frame.counter);
    return result;
}

}  // namespace

TEST(sample_flight, merges_the_two_stations_across_midnight)
{
    const flight f = sample_flight();
    EXPECT_EQ(counters(f), (std::vector<int>{1, 2, 4, 6, 7, 8}));
    EXPECT_EQ(f.counts.frames_read, 10U);
    EXPECT_EQ(f.counts.duplicates, 2U);
    EXPECT_EQ(f.counts.impossible, 2U);
    EXPECT_EQ(f.counts.unreadable_lines, 1U);
    EXPECT_EQ(f.liftoff, 0U);
    EXPECT_EQ(f.burst, 3U);
    EXPECT_FALSE(f.landing) << "still falling at its last fix";
    EXPECT_EQ(iso8601_utc(f.points[0].utc_time), "2027-01-01T02:58:00Z");
    EXPECT_EQ(iso8601_utc(f.points[2].utc_time), "2027-01-01T03:01:00Z");
}

TEST(gpx, is_gpx_1_1_with_every_point_in_order)
{
    const flight f = sample_flight();
    const pugi::xml_document document = read_back(export_document(export_format::gpx, f, awkward_title));
    const pugi::xml_node gpx = document.child("gpx");
    ASSERT_TRUE(gpx);
    EXPECT_STREQ(gpx.attribute("version").value(), "1.1");
    EXPECT_STREQ(gpx.attribute("xmlns").value(), "http://www.topografix.com/GPX/1/1");
    EXPECT_STRNE(gpx.attribute("creator").value(), "");
    EXPECT_EQ(gpx.child("metadata").child_value("name"), awkward_title);
    // The schema's order: metadata, waypoints, tracks.
    std::vector<std::string> order;
    for (const pugi::xml_node child : gpx.children()) {
        if (order.empty() || order.back() != child.name()) order.emplace_back(child.name());
    }
    EXPECT_EQ(order, (std::vector<std::string>{"metadata", "wpt", "trk"}));

    std::vector<std::string> waypoints;
    for (const pugi::xml_node wpt : gpx.children("wpt")) waypoints.emplace_back(wpt.child_value("name"));
    EXPECT_EQ(waypoints, (std::vector<std::string>{"Launch", "Burst", "Last fix"}));
    const pugi::xml_node burst = gpx.find_child_by_attribute("wpt", "lat", "-23.5504");
    EXPECT_STREQ(burst.child_value("ele"), "1500");

    const pugi::xml_node segment = gpx.child("trk").child("trkseg");
    std::size_t i = 0;
    for (const pugi::xml_node point : segment.children("trkpt")) {
        ASSERT_LT(i, f.points.size());
        const flight_point& p = f.points[i++];
        EXPECT_EQ(number(point.attribute("lat").value()), p.frame.latitude);
        EXPECT_EQ(number(point.attribute("lon").value()), p.frame.longitude);
        EXPECT_EQ(number(point.child_value("ele")), p.frame.altitude);
        EXPECT_EQ(point.child_value("time"), iso8601_utc(p.utc_time));
        // Elevation and time come before anything else in a point.
        EXPECT_STREQ(point.first_child().name(), "ele");
        EXPECT_STREQ(point.first_child().next_sibling().name(), "time");
    }
    EXPECT_EQ(i, f.points.size());
}

TEST(kml, has_the_timed_path_and_the_three_placemarks)
{
    const flight f = sample_flight();
    const pugi::xml_document document = read_back(export_document(export_format::kml, f, awkward_title));
    const pugi::xml_node kml = document.child("kml");
    EXPECT_STREQ(kml.attribute("xmlns").value(), "http://www.opengis.net/kml/2.2");
    const pugi::xml_node doc = kml.child("Document");
    EXPECT_EQ(doc.child_value("name"), awkward_title);

    std::vector<pugi::xml_node> placemarks;
    for (const pugi::xml_node p : doc.children("Placemark")) placemarks.push_back(p);
    ASSERT_EQ(placemarks.size(), 3U);
    const pugi::xml_node track = doc.child("Folder").child("Placemark").child("gx:Track");
    EXPECT_STREQ(track.child_value("altitudeMode"), "absolute");
    std::vector<std::string> whens;
    for (const pugi::xml_node when : track.children("when")) whens.emplace_back(when.child_value());
    std::vector<std::string> tuples;
    for (const pugi::xml_node c : track.children("gx:coord")) tuples.emplace_back(c.child_value());
    ASSERT_EQ(tuples.size(), f.points.size());
    ASSERT_EQ(whens.size(), f.points.size());
    for (std::size_t i = 0; i < tuples.size(); ++i) {
        const std::vector<std::string> parts = split(tuples[i], ' ');
        ASSERT_EQ(parts.size(), 3U) << tuples[i];
        EXPECT_EQ(number(parts[0]), f.points[i].frame.longitude);
        EXPECT_EQ(number(parts[1]), f.points[i].frame.latitude);
        EXPECT_EQ(number(parts[2]), f.points[i].frame.altitude);
        EXPECT_EQ(whens[i], iso8601_utc(f.points[i].utc_time));
    }

    int highest = -40000;
    for (const flight_point& p : f.points) highest = std::max(highest, p.frame.altitude);
    const char* names[] = {"Launch", "Burst", "Last fix"};
    const std::size_t indices[] = {*f.liftoff, *f.burst, f.last};
    for (std::size_t k = 0; k < 3; ++k) {
        const pugi::xml_node place = placemarks[k];
        EXPECT_STREQ(place.child_value("name"), names[k]);
        const flight_point& p = f.points[indices[k]];
        EXPECT_EQ(place.child("TimeStamp").child_value("when"), iso8601_utc(p.utc_time));
        const std::string description = place.child_value("description");
        EXPECT_NE(description.find(iso8601_local(p.local_time, -180)), std::string::npos) << description;
        EXPECT_NE(description.find(std::to_string(p.frame.altitude) + " m"), std::string::npos);
        const std::vector<std::string> parts = split(place.child("Point").child_value("coordinates"), ',');
        ASSERT_EQ(parts.size(), 3U);
        if (k == 1) {
            EXPECT_EQ(number(parts[2]), highest);
        }
    }
}

// RFC 7946: a FeatureCollection of Features, each with a geometry and
// properties; positions are [longitude, latitude, altitude]; a LineString
// has two positions or more; there is no "crs".
TEST(geojson, follows_rfc_7946_longitude_first)
{
    const flight f = sample_flight();
    const nlohmann::json document = nlohmann::json::parse(export_document(export_format::geojson, f, awkward_title));
    EXPECT_EQ(document.at("type"), "FeatureCollection");
    EXPECT_FALSE(document.contains("crs"));
    const nlohmann::json& features = document.at("features");
    ASSERT_TRUE(features.is_array());
    ASSERT_EQ(features.size(), 4U);
    const auto check_position = [](const nlohmann::json& position) {
        ASSERT_TRUE(position.is_array());
        ASSERT_GE(position.size(), 2U);
        ASSERT_LE(position.size(), 3U);
        for (const nlohmann::json& n : position) EXPECT_TRUE(n.is_number());
        EXPECT_LE(std::fabs(position[0].get<double>()), 180);
        EXPECT_LE(std::fabs(position[1].get<double>()), 90);
    };
    for (const nlohmann::json& feature : features) {
        EXPECT_EQ(feature.at("type"), "Feature");
        EXPECT_TRUE(feature.at("properties").is_object());
        const nlohmann::json& geometry = feature.at("geometry");
        if (geometry.at("type") == "LineString") {
            ASSERT_GE(geometry.at("coordinates").size(), 2U);
            for (const nlohmann::json& position : geometry.at("coordinates")) check_position(position);
        } else {
            EXPECT_EQ(geometry.at("type"), "Point");
            check_position(geometry.at("coordinates"));
        }
    }
    const nlohmann::json& path = features[0];
    ASSERT_EQ(path.at("geometry").at("coordinates").size(), f.points.size());
    for (std::size_t i = 0; i < f.points.size(); ++i) {
        const nlohmann::json& position = path.at("geometry").at("coordinates")[i];
        EXPECT_EQ(position[0].get<double>(), f.points[i].frame.longitude);
        EXPECT_EQ(position[1].get<double>(), f.points[i].frame.latitude);
        EXPECT_EQ(position[2].get<int>(), f.points[i].frame.altitude);
        EXPECT_EQ(path.at("properties").at("times")[i], iso8601_utc(f.points[i].utc_time));
    }
    const nlohmann::json& burst = features[2].at("properties");
    EXPECT_EQ(burst.at("role"), "burst");
    EXPECT_EQ(burst.at("altitude"), 1500);
    EXPECT_EQ(burst.at("counter"), 6);
    EXPECT_EQ(burst.at("battery_voltage"), 0.98);
    EXPECT_EQ(burst.at("climb_rate"), -2.33);
    EXPECT_EQ(burst.at("time"), "2027-01-01T03:03:00Z");

    // One point: no LineString, and no launch yet, only the last fix.
    const flight single = build_flight({read_log_text("QLT_20261231.txt", " 1 ,10:00:00, 1 , 2 , 3 , 0 , 5 , 6 , 4 , 0 ")}, 0);
    const nlohmann::json alone = nlohmann::json::parse(export_document(export_format::geojson, single, "x"));
    ASSERT_EQ(alone.at("features").size(), 1U);
    EXPECT_EQ(alone.at("features")[0].at("geometry").at("coordinates"), nlohmann::json::parse("[2.0, 1.0, 3]"));
}

TEST(csv, has_a_header_and_one_row_per_point_with_iso_times)
{
    const flight f = sample_flight();
    const std::string text = export_document(export_format::csv, f, "");
    std::vector<std::string> rows;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        rows.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size());
    ASSERT_EQ(rows.size(), f.points.size() + 1);
    const std::vector<std::string> header = split(rows[0], ',');
    EXPECT_EQ(header.front(), "time");
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const std::vector<std::string> cells = split(rows[i], ',');
        ASSERT_EQ(static_cast<std::size_t>(std::count(rows[i].begin(), rows[i].end(), ',')), header.size() - 1)
            << rows[i];
        const flight_point& p = f.points[i - 1];
        EXPECT_EQ(cells[0], iso8601_utc(p.utc_time));
        EXPECT_EQ(cells[1], iso8601_local(p.local_time, -180));
        EXPECT_EQ(number(cells[2]), p.frame.counter);
        EXPECT_EQ(number(cells[3]), p.frame.latitude);
        EXPECT_EQ(number(cells[4]), p.frame.longitude);
    }
    EXPECT_EQ(rows[1].substr(0, 52), "2027-01-01T02:58:00Z,2026-12-31T23:58:00-03:00,1,-23");
    EXPECT_NE(rows[4].find(",0.98,-2.33,"), std::string::npos) << rows[4];
    EXPECT_NE(rows[4].find(",ascent,"), std::string::npos) << rows[4];
    EXPECT_NE(rows[5].find(",descent,"), std::string::npos) << rows[5];
    EXPECT_TRUE(rows[0].ends_with(",stage,predicted_landing_time,predicted_landing_latitude,"
                                  "predicted_landing_longitude,prediction_radius"));
}

TEST(svg_profile, draws_both_plots_with_units_and_marks_the_burst_on_top)
{
    const flight f = sample_flight();
    const pugi::xml_document document = read_back(export_document(export_format::svg, f, awkward_title));
    const pugi::xml_node svg = document.child("svg");
    EXPECT_STREQ(svg.attribute("xmlns").value(), "http://www.w3.org/2000/svg");

    std::set<std::string> texts;
    for (const pugi::xpath_node t : svg.select_nodes("//text")) texts.insert(t.node().child_value());
    EXPECT_TRUE(texts.count("altitude (m)"));
    EXPECT_TRUE(texts.count("climb rate (m/s)"));
    EXPECT_TRUE(texts.count("Flight profile: " + awkward_title));
    EXPECT_TRUE(texts.count("23:58")) << "a time tick at the launch";
    EXPECT_TRUE(texts.count("00:00")) << "a time tick at midnight";
    EXPECT_TRUE(texts.count("2027-01-01")) << "the new date under the midnight tick";
    EXPECT_TRUE(texts.count("burst 1500 m, 00:03:00"));

    // The burst marker sits on the highest point of the altitude lines.
    double top = 1e9;
    std::set<std::string> stages;
    for (const pugi::xpath_node line : svg.select_nodes("//g[@id='altitude']/polyline")) {
        stages.insert(line.node().attribute("class").value());
        for (const std::string& pair : split(line.node().attribute("points").value(), ' '))
            top = std::min(top, number(split(pair, ',')[1]));
    }
    EXPECT_EQ(stages, (std::set<std::string>{"ascent", "descent"}));
    const pugi::xml_node marker = svg.select_node("//g[@id='burst']/circle").node();
    ASSERT_TRUE(marker);
    EXPECT_EQ(number(marker.attribute("cy").value()), top);
    EXPECT_EQ(svg.select_nodes("//g[@id='climb']/polyline").size(), 2U);

    const pugi::xml_document empty = read_back(export_document(export_format::svg, flight{}, "none"));
    EXPECT_TRUE(empty.child("svg"));
}

TEST(numbers, print_without_binary_tails_or_locale)
{
    EXPECT_EQ(shortest_text(-23.55052), "-23.55052");
    EXPECT_EQ(shortest_text(760), "760");
    EXPECT_EQ(shortest_text(-0.0), "0");
    EXPECT_EQ(shortest_text(0.98), "0.98");
    EXPECT_EQ(decimals_text(5.0 / 3, 2), "1.67");
    EXPECT_EQ(decimals_text(-0.001, 2), "0");
    EXPECT_EQ(decimals_text(12.5, 1), "12.5");
    EXPECT_EQ(decimals_text(30000, 3), "30000");
}

// A track longer than one piece: every point once, in order, when each
// piece after the first drops the point it repeats from the one before.
TEST(long_track, comes_in_pieces_that_join_exactly)
{
    const int count = static_cast<int>(2 * points_per_piece) + 123;
    const flight f = build_flight({read_log_text("QLT_20261208.txt", steady_log(count))}, 0);
    ASSERT_EQ(f.points.size(), static_cast<std::size_t>(count));
    std::vector<std::string> expected;
    for (const flight_point& p : f.points) expected.push_back(iso8601_utc(p.utc_time));

    const pugi::xml_document kml = read_back(export_document(export_format::kml, f, "long"));
    std::vector<std::string> whens;
    std::size_t pieces = 0;
    for (const pugi::xml_node place : kml.child("kml").child("Document").child("Folder").children("Placemark")) {
        const pugi::xml_node track = place.child("gx:Track");
        std::size_t k = 0;
        for (const pugi::xml_node when : track.children("when")) {
            if (k++ > 0 || pieces == 0) whens.emplace_back(when.child_value());
        }
        EXPECT_LE(k, points_per_piece);
        EXPECT_EQ(k, static_cast<std::size_t>(std::distance(track.children("gx:coord").begin(),
                                                            track.children("gx:coord").end())));
        ++pieces;
    }
    EXPECT_EQ(pieces, 3U);
    EXPECT_EQ(whens, expected);

    const nlohmann::json geojson = nlohmann::json::parse(export_document(export_format::geojson, f, "long"));
    std::vector<std::string> times;
    std::vector<int> altitudes;
    pieces = 0;
    for (const nlohmann::json& feature : geojson.at("features")) {
        if (feature.at("properties").at("role") != "path") continue;
        const nlohmann::json& positions = feature.at("geometry").at("coordinates");
        EXPECT_LE(positions.size(), points_per_piece);
        for (std::size_t k = pieces == 0 ? 0 : 1; k < positions.size(); ++k) {
            times.push_back(feature.at("properties").at("times").at(k));
            altitudes.push_back(positions[k][2]);
        }
        ++pieces;
    }
    EXPECT_EQ(pieces, 3U);
    EXPECT_EQ(times, expected);
    EXPECT_EQ(altitudes.back(), 760 + count - 1);
}

TEST(gpx, starts_a_segment_after_a_gap_of_more_than_five_minutes)
{
    struct gap_case {
        int gap;  // seconds of silence after the 70th frame, besides the frame's own second
        std::vector<std::size_t> segments;
    };
    for (const gap_case& c : {gap_case{0, {100}}, gap_case{299, {100}}, gap_case{300, {70, 30}}}) {
        const flight f = build_flight({read_log_text("QLT_20261208.txt", steady_log(100, 36000, 70, c.gap))}, 0);
        const pugi::xml_document gpx = read_back(export_document(export_format::gpx, f, "gap"));
        std::vector<std::size_t> segments;
        for (const pugi::xml_node segment : gpx.child("gpx").child("trk").children("trkseg"))
            segments.push_back(static_cast<std::size_t>(
                std::distance(segment.children("trkpt").begin(), segment.children("trkpt").end())));
        EXPECT_EQ(segments, c.segments) << c.gap << " s";
    }
}

TEST(text_safety, names_that_are_not_utf8_are_replaced_in_documents_and_shown_as_bytes)
{
    struct text_case {
        std::string raw;
        bool utf8;
        std::string in_documents;
        std::string shown;
    };
    const text_case cases[] = {
        {"QLT_20261208.txt", true, "QLT_20261208.txt", "QLT_20261208.txt"},
        {"jo\xc3\xa3o", true, "jo\xc3\xa3o", "jo\xc3\xa3o"},
        {"jo\xe3o", false, "jo\xef\xbf\xbdo", "jo\\xe3o"},
        {"\xc0\xaf", false, "\xef\xbf\xbd\xef\xbf\xbd", "\\xc0\\xaf"},  // overlong '/'
        {"\xed\xa0\x80", false, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd", "\\xed\\xa0\\x80"},  // a surrogate
        {"cut \xe2\x82", false, "cut \xef\xbf\xbd\xef\xbf\xbd", "cut \\xe2\\x82"},
        {"esc\x1b[2J\\", true, "esc\x1b[2J\\", "esc\\x1b[2J\\\\"},
        {"c1 \xc2\x9b", true, "c1 \xc2\x9b", "c1 \\xc2\\x9b"},
    };
    for (const text_case& c : cases) {
        EXPECT_EQ(is_utf8(c.raw), c.utf8) << c.shown;
        EXPECT_EQ(utf8_text(c.raw), c.in_documents) << c.shown;
        EXPECT_EQ(shown_text(c.raw), c.shown);
        EXPECT_TRUE(nlohmann::json::accept(json_text(nlohmann::json(c.raw))));
    }
}
