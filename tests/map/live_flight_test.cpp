// The flight as the map serves it: one event per line read, in order; the
// receiver's warnings; a new start when the log is cut; the documents
// complete and well-formed; and the landing prediction in both as the
// flight goes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "flight_model.h"
#include "geodesy.h"
#include "live_flight.h"
#include "log_reading.h"
#include "map/receiver_log.h"
#include "map/sse_text.h"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

const std::string log_name = "/logs/QLT_20261208.txt";

follow_news lines_of(const std::vector<std::string>& lines, bool new_file = false,
                     const std::string& path = log_name)
{
    follow_news news;
    news.path = path;
    news.new_file = new_file;
    for (const std::string& line : lines) news.lines.push_back(without_line_end(line));
    return news;
}

// Everything the stream has for the cursor now: until a call finds nothing
// new and sends only the clock.
std::vector<sse_event> drain(live_flight& flight, stream_cursor& cursor)
{
    std::string text;
    for (int calls = 0; calls < 10000; ++calls) {
        std::string piece;
        if (!flight.next_events(cursor, piece, 0ms)) break;
        const bool idle = piece.rfind("event: clock", 0) == 0 && piece.find("\n\n") + 2 == piece.size();
        if (idle) break;
        text += piece;
    }
    return take_sse_events(text);
}

std::vector<json> frames_in(const std::vector<sse_event>& events)
{
    std::vector<json> frames;
    for (const sse_event& e : events) {
        if (e.event == "frame") frames.push_back(json::parse(e.data));
    }
    return frames;
}

bool has_event(const std::vector<sse_event>& events, const std::string& name)
{
    for (const sse_event& e : events) {
        if (e.event == name) return true;
    }
    return false;
}

telemetry_fields fields_at(int counter, int hours, int minutes, int seconds)
{
    telemetry_fields f;
    f.counter = static_cast<std::int16_t>(counter);
    f.hours = static_cast<std::uint8_t>(hours);
    f.minutes = static_cast<std::uint8_t>(minutes);
    f.seconds = static_cast<std::uint8_t>(seconds);
    f.latitude = -23.55f;
    f.longitude = -46.63f;
    f.altitude = 800;
    f.speed = 10;
    f.satellites = 9;
    f.temperature = 20;
    f.battery = 200;
    return f;
}

double metres_between(double lat1, double lon1, double lat2, double lon2)
{
    return ground_path(lat1, lon1, lat2, lon2).distance;
}

}  // namespace

TEST(live_flight, each_line_is_one_frame_event_in_order_with_the_line_fields)
{
    live_flight flight(std::nullopt);
    stream_cursor cursor = flight.place_stream("", 1, 0);
    simulated_receiver receiver(1796781600, 1);
    std::vector<std::string> lines;
    for (int i = 0; i < 7; ++i) lines.push_back(receiver.next_line());

    flight.apply(lines_of({lines[0]}, true), 1000);
    flight.apply(lines_of({lines[1], lines[2], lines[3]}), 2000);
    std::vector<sse_event> events = drain(flight, cursor);
    flight.apply(lines_of({lines[4], lines[5], lines[6]}), 3000);
    const std::vector<sse_event> later = drain(flight, cursor);
    events.insert(events.end(), later.begin(), later.end());

    const std::vector<json> frames = frames_in(events);
    ASSERT_EQ(frames.size(), 7U);
    std::vector<std::string> ids;
    for (const sse_event& e : events) {
        if (e.event == "frame") ids.push_back(e.id);
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"1:0", "1:1", "1:2", "1:3", "1:4", "1:5", "1:6"}));
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const parsed_line line = parse_log_line(without_line_end(lines[i]));
        ASSERT_TRUE(line.record);
        const json& f = frames[i];
        EXPECT_EQ(f["counter"], line.record->counter);
        EXPECT_EQ(f["time"].get<std::string>().size(), 20U);
        EXPECT_EQ(f["latitude"], line.record->latitude);
        EXPECT_EQ(f["longitude"], line.record->longitude);
        EXPECT_EQ(f["altitude"], line.record->altitude);
        EXPECT_EQ(f["speed"], line.record->speed);
        EXPECT_EQ(f["satellites"], line.record->satellites);
        EXPECT_EQ(f["temperature"], line.record->temperature);
        EXPECT_EQ(f["battery_voltage"], line.record->battery_voltage);
        EXPECT_EQ(f["climb_rate"], line.record->climb_rate);
        EXPECT_EQ(f["point"], i);
        EXPECT_EQ(f["line"], i + 1);
        EXPECT_EQ(f["stage"], "pad") << "seven seconds of climbing are no liftoff yet";
        EXPECT_TRUE(f["position_usable"].get<bool>());
        EXPECT_EQ(f["received_ms"], i == 0 ? 1000 : i < 4 ? 2000 : 3000);
    }
    EXPECT_TRUE(frames_in(drain(flight, cursor)).empty()) << "nothing twice";
}

TEST(live_flight, unreadable_lines_are_counted_with_their_place_and_send_nothing)
{
    live_flight flight(std::nullopt);
    stream_cursor cursor = flight.place_stream("", 1, 0);
    simulated_receiver receiver;
    flight.apply(lines_of({receiver.next_line(), "garbage", receiver.next_line(), " 3 ,25:00:00, 1 , 1 , 1 , 1 , 1 , 1 , 1 , 1 "},
                          true),
                 0);
    const std::vector<sse_event> events = drain(flight, cursor);
    EXPECT_EQ(frames_in(events).size(), 2U);
    const json status = flight.status_json();
    EXPECT_EQ(status["unreadable_lines"], 2);
    EXPECT_EQ(status["frames"], 2);
    EXPECT_EQ(status["last_problem"]["line"], 4);
    EXPECT_EQ(status["last_problem"]["file"], "QLT_20261208.txt");
    EXPECT_NE(status["last_problem"]["reason"].get<std::string>().find("time"), std::string::npos);

    // Numbering goes on across reads.
    flight.apply(lines_of({"more garbage"}), 0);
    EXPECT_EQ(flight.status_json()["last_problem"]["line"], 5);
}

TEST(live_flight, positions_that_cannot_be_real_are_sent_but_kept_off_the_track)
{
    live_flight flight(std::nullopt);
    stream_cursor cursor = flight.place_stream("", 1, 0);
    simulated_receiver receiver;
    telemetry_fields no_fix = fields_at(50, 12, 0, 30);
    no_fix.latitude = 0;
    no_fix.longitude = 0;
    flight.apply(lines_of({receiver.next_line(), receiver.line_for(no_fix), receiver.next_line()}, true), 0);
    const std::vector<json> frames = frames_in(drain(flight, cursor));
    ASSERT_EQ(frames.size(), 3U);
    EXPECT_FALSE(frames[1]["position_usable"].get<bool>());
    EXPECT_TRUE(frames[1]["point"].is_null());
    EXPECT_EQ(frames[2]["point"], 1);
    EXPECT_EQ(flight.status_json()["impossible_positions"], 1);
    const json track = json::parse(flight.track_geojson());
    EXPECT_EQ(track["features"][0]["geometry"]["coordinates"].size(), 2U);
}

TEST(live_flight, the_receivers_warnings_switch_on_and_off_at_its_limits)
{
    live_flight flight(std::nullopt);
    stream_cursor cursor = flight.place_stream("", 1, 0);
    simulated_receiver receiver;
    std::vector<std::string> lines;
    telemetry_fields f = fields_at(1, 12, 0, 0);
    lines.push_back(receiver.line_for(f));
    f = fields_at(2, 12, 0, 30);  // 30 s: no warning yet
    lines.push_back(receiver.line_for(f));
    f = fields_at(3, 12, 1, 1);  // 31 s
    lines.push_back(receiver.line_for(f));
    f = fields_at(4, 12, 1, 2);
    f.battery = 81;  // 1.59 V
    lines.push_back(receiver.line_for(f));
    f = fields_at(5, 12, 1, 3);
    f.battery = 82;  // 1.61 V
    lines.push_back(receiver.line_for(f));
    flight.apply(lines_of(lines, true), 0);

    const std::vector<json> frames = frames_in(drain(flight, cursor));
    ASSERT_EQ(frames.size(), 5U);
    const bool gap[] = {false, false, true, false, false};
    const bool battery[] = {false, false, false, true, false};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(frames[i]["gap_warning"].get<bool>(), gap[i]) << i;
        EXPECT_EQ(frames[i]["battery_warning"].get<bool>(), battery[i]) << i;
    }
    EXPECT_TRUE(frames[0]["gap"].is_null());
    EXPECT_EQ(frames[2]["gap"], 31);
}

TEST(live_flight, a_cut_log_is_a_new_generation_and_every_stream_is_told)
{
    live_flight flight(std::nullopt);
    simulated_receiver receiver;
    flight.apply(lines_of({receiver.next_line(), receiver.next_line(), receiver.next_line()}, true), 0);
    stream_cursor cursor = flight.place_stream("", std::nullopt, std::nullopt);
    drain(flight, cursor);

    follow_news cut = lines_of({receiver.next_line()});
    cut.restarted = true;
    flight.apply(cut, 0);
    const std::vector<sse_event> events = drain(flight, cursor);
    EXPECT_TRUE(has_event(events, "reset"));
    EXPECT_TRUE(frames_in(events).empty()) << "the page reloads the track instead";

    const json track = json::parse(flight.track_geojson());
    EXPECT_EQ(track["zarim"]["generation"], 2);
    EXPECT_EQ(track["zarim"]["next_event"], 1);
    EXPECT_EQ(track["zarim"]["status"]["points"], 1);

    flight.apply(lines_of({receiver.next_line()}), 0);
    const std::vector<json> frames = frames_in(drain(flight, cursor));
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["line"], 2);

    // A page that reconnects with an event id of the old flight starts over.
    stream_cursor old = flight.place_stream("1:2", std::nullopt, std::nullopt);
    EXPECT_TRUE(has_event(drain(flight, old), "reset"));
    stream_cursor resumed = flight.place_stream("2:0", std::nullopt, std::nullopt);
    const std::vector<sse_event> after = drain(flight, resumed);
    EXPECT_FALSE(has_event(after, "reset"));
    EXPECT_EQ(frames_in(after).size(), 1U);
}

TEST(live_flight, a_page_further_behind_than_the_kept_events_reloads)
{
    live_flight flight(std::nullopt);
    stream_cursor cursor = flight.place_stream("", 1, 0);
    simulated_receiver receiver;
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < live_flight::kept_events + 10; ++i) lines.push_back(receiver.next_line());
    flight.apply(lines_of(lines, true), 0);
    const std::vector<sse_event> events = drain(flight, cursor);
    EXPECT_TRUE(has_event(events, "reset"));
    EXPECT_TRUE(frames_in(events).empty()) << "what it missed comes with the track it reloads";
    flight.apply(lines_of({receiver.next_line()}), 0);
    const std::vector<json> frames = frames_in(drain(flight, cursor));
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["line"], live_flight::kept_events + 11);
}

TEST(live_flight, a_new_file_soon_after_continues_the_flight_one_hours_later_starts_anew)
{
    live_flight flight(std::nullopt);
    simulated_receiver receiver;
    flight.apply(lines_of({receiver.line_for(fields_at(1, 23, 59, 0)), receiver.line_for(fields_at(2, 23, 59, 30))}, true), 0);

    // Restarted after midnight: the next day's file.
    const std::string next_day = "/logs/QLT_20261209.txt";
    flight.apply(lines_of({receiver.line_for(fields_at(3, 0, 0, 10))}, true, next_day), 0);
    json track = json::parse(flight.track_geojson());
    EXPECT_EQ(track["zarim"]["generation"], 1);
    EXPECT_EQ(track["zarim"]["status"]["points"], 3);
    EXPECT_EQ(track["zarim"]["latest"]["gap"], 40);
    EXPECT_EQ(track["zarim"]["latest"]["local_time"].get<std::string>().substr(0, 19), "2026-12-09T00:00:10");

    // Another flight the day after.
    const std::string later = "/logs/QLT_20261210.txt";
    flight.apply(lines_of({receiver.line_for(fields_at(9, 9, 0, 0))}, true, later), 0);
    track = json::parse(flight.track_geojson());
    EXPECT_EQ(track["zarim"]["generation"], 2);
    EXPECT_EQ(track["zarim"]["status"]["points"], 1);
    EXPECT_EQ(track["zarim"]["status"]["files"].size(), 1U);
}

TEST(live_flight, a_file_followed_again_is_not_counted_twice)
{
    live_flight flight(std::nullopt);
    simulated_receiver receiver;
    const std::string first = receiver.line_for(fields_at(1, 23, 59, 0));
    flight.apply(lines_of({first}, true), 0);
    const std::string next_day = "/logs/QLT_20261209.txt";
    flight.apply(lines_of({receiver.line_for(fields_at(2, 0, 0, 10))}, true, next_day), 0);
    // The first file grows again: it is read whole once more.
    flight.apply(lines_of({first, receiver.line_for(fields_at(3, 0, 0, 20))}, true), 0);
    const json track = json::parse(flight.track_geojson());
    EXPECT_EQ(track["zarim"]["status"]["points"], 3);
    EXPECT_EQ(track["zarim"]["status"]["duplicates"], 0);
    EXPECT_EQ(track["zarim"]["status"]["files"].size(), 2U);
}

TEST(live_flight, lines_past_midnight_in_the_first_days_file_go_on_the_next_day)
{
    live_flight flight(std::nullopt);
    simulated_receiver receiver;
    flight.apply(lines_of({receiver.line_for(fields_at(1, 23, 59, 50))}, true), 0);
    flight.apply(lines_of({receiver.line_for(fields_at(2, 0, 0, 5))}), 0);
    const json track = json::parse(flight.track_geojson());
    EXPECT_EQ(track["zarim"]["latest"]["local_time"].get<std::string>().substr(0, 19), "2026-12-09T00:00:05");
    EXPECT_EQ(track["zarim"]["latest"]["gap"], 15);
}

// Two logs joined end to end, the later flight first: the earlier frames
// all belong far back, go in at once, and the pages load the track again.
TEST(live_flight, frames_far_out_of_order_go_in_at_once_and_the_pages_reload)
{
    live_flight flight(std::nullopt);
    stream_cursor cursor = flight.place_stream("", 1, 0);
    simulated_receiver receiver(1796781600, 1);
    std::vector<std::string> lines;
    for (int i = 0; i < 3000; ++i) lines.push_back(receiver.next_line());
    std::vector<std::string> joined(lines.begin() + 1500, lines.end());
    joined.insert(joined.end(), lines.begin(), lines.begin() + 1500);
    flight.apply(lines_of(joined, true), 0);

    EXPECT_TRUE(has_event(drain(flight, cursor), "reset"));
    const json track = json::parse(flight.track_geojson());
    const json& times = track["features"][0]["properties"]["times"];
    ASSERT_EQ(times.size(), lines.size());
    for (std::size_t i = 1; i < times.size(); ++i) ASSERT_LT(times[i - 1], times[i]) << i;
    EXPECT_EQ(track["zarim"]["latest"]["point"], 1499) << "the last line read, placed";
}

TEST(live_flight, the_geojson_holds_every_point_in_order_longitude_first)
{
    live_flight flight(station_option{-23.6, -46.5, 0, false});
    simulated_receiver receiver(1796781600, 30);
    std::vector<std::string> lines;
    // Through the burst and well into the descent.
    for (int i = 0; i < 250; ++i) lines.push_back(receiver.next_line());
    flight.apply(lines_of(lines, true), 0);

    const json track = json::parse(flight.track_geojson());
    EXPECT_EQ(track["type"], "FeatureCollection");
    const json& line = track["features"][0];
    EXPECT_EQ(line["type"], "Feature");
    EXPECT_EQ(line["geometry"]["type"], "LineString");
    const json& coordinates = line["geometry"]["coordinates"];
    ASSERT_EQ(coordinates.size(), lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const parsed_line p = parse_log_line(without_line_end(lines[i]));
        ASSERT_TRUE(p.record);
        EXPECT_EQ(coordinates[i], json::array({p.record->longitude, p.record->latitude, p.record->altitude})) << i;
    }
    EXPECT_EQ(line["properties"]["times"].size(), lines.size());

    std::map<std::string, json> roles;
    for (const json& feature : track["features"]) {
        roles[feature["properties"]["role"]] = feature;
        EXPECT_EQ(feature["type"], "Feature");
    }
    for (const char* role : {"path", "launch", "burst", "last_fix", "predicted_path", "predicted_landing", "station"})
        EXPECT_EQ(roles.count(role), 1U) << role;
    EXPECT_EQ(roles["launch"]["geometry"]["coordinates"], coordinates.front());
    EXPECT_EQ(roles["last_fix"]["geometry"]["coordinates"], coordinates.back());
    int highest = 0;
    for (const json& c : coordinates) highest = std::max(highest, c[2].get<int>());
    EXPECT_EQ(roles["burst"]["geometry"]["coordinates"][2], highest);
    // The predicted path runs from the latest fix to the landing.
    const json& predicted = roles["predicted_path"]["geometry"]["coordinates"];
    EXPECT_EQ(predicted.front(), coordinates.back());
    EXPECT_EQ(predicted.back(), roles["predicted_landing"]["geometry"]["coordinates"]);
    EXPECT_EQ(roles["predicted_landing"]["properties"]["progress"], "descent");
    EXPECT_EQ(roles["station"]["geometry"]["coordinates"][0], -46.5);
    EXPECT_EQ(track["zarim"]["next_event"], 250);
}

TEST(live_flight, the_kml_holds_the_path_and_its_places_and_reads_back)
{
    live_flight flight(std::nullopt);
    simulated_receiver receiver(1796781600, 30);
    std::vector<std::string> lines;
    for (int i = 0; i < 250; ++i) lines.push_back(receiver.next_line());
    flight.apply(lines_of(lines, true), 0);

    pugi::xml_document kml;
    ASSERT_TRUE(kml.load_string(flight.track_kml().c_str()));
    const pugi::xml_node document = kml.child("kml").child("Document");
    ASSERT_TRUE(document);
    EXPECT_STREQ(kml.child("kml").attribute("xmlns").value(), "http://www.opengis.net/kml/2.2");
    std::vector<std::string> names;
    for (const pugi::xml_node placemark : document.children("Placemark"))
        names.emplace_back(placemark.child_value("name"));
    EXPECT_EQ(names, (std::vector<std::string>{"Launch", "Burst", "Last fix", "Predicted path", "Predicted landing",
                                               "Landing radius"}));
    const pugi::xml_node track = document.child("Folder").child("Placemark").child("gx:Track");
    EXPECT_STREQ(track.child_value("altitudeMode"), "absolute");
    std::size_t count = 0;
    for (const pugi::xml_node coordinates : track.children("gx:coord")) {
        const std::string tuple = coordinates.child_value();
        const parsed_line p = parse_log_line(without_line_end(lines[count]));
        double longitude = 0;
        double latitude = 0;
        double altitude = 0;
        std::istringstream numbers(tuple);
        numbers >> longitude >> latitude >> altitude;
        EXPECT_EQ(longitude, p.record->longitude) << tuple;
        EXPECT_EQ(latitude, p.record->latitude) << tuple;
        EXPECT_EQ(altitude, p.record->altitude) << tuple;
        ++count;
    }
    EXPECT_EQ(count, lines.size());
}

TEST(live_flight, the_station_sees_the_payload_from_the_launch_height_unless_told)
{
    live_flight flight(station_option{-23.55, -46.63, 0, false});
    simulated_receiver receiver(1796781600, 60);
    for (int i = 0; i < 20; ++i) flight.apply(lines_of({receiver.next_line()}, i == 0), 0);
    const json latest = json::parse(flight.track_geojson())["zarim"]["latest"];
    const json& station = latest["station"];
    ASSERT_FALSE(station.is_null());
    EXPECT_TRUE(station["station"]["altitude_assumed"].get<bool>());
    EXPECT_EQ(station["station"]["altitude"], 760);
    // Drifting east and a little south, about 6.2 km away and 5.7 km up.
    EXPECT_NEAR(station["azimuth"].get<double>(), 104, 2);
    EXPECT_NEAR(station["ground_distance"].get<double>(), latest["distance_from_launch"].get<double>(), 1);
    const double height = latest["altitude"].get<double>() - 760;
    const double ground = station["ground_distance"].get<double>();
    EXPECT_NEAR(station["elevation"].get<double>(), std::atan2(height, ground) * 180 / M_PI, 0.5);
    EXPECT_NEAR(station["slant_range"].get<double>(), std::hypot(height, ground), 20);

    const json from_sea_level = flight.look_from(station_option{-23.55, -46.63, 0, true});
    EXPECT_GT(from_sea_level["elevation"].get<double>(), station["elevation"].get<double>());
}

// The prediction as pages get it, a line at a time: none on the pad, then
// one after each fix, saying where the flight stands, until the payload
// lies on the ground; a log cut underneath takes it away.
TEST(landing_prediction, follows_the_flight_in_the_events_and_the_documents)
{
    live_flight flight(station_option{-23.55, -46.63, 0, false});
    stream_cursor cursor = flight.place_stream("", 1, 0);
    simulated_receiver receiver(1796781600, 20);
    const flight_plan& plan = receiver.plan();
    const auto landing = static_cast<double>(landing_time(plan));
    const flight_sample touchdown = flight_sample_at(plan, landing_time(plan));
    std::vector<std::string> progress;
    double last_off = 0;
    bool first = true;
    while (receiver.elapsed() < landing + 600) {
        flight.apply(lines_of({receiver.next_line()}, first), 0);
        first = false;
        const std::vector<sse_event> events = drain(flight, cursor);
        const std::vector<json> frames = frames_in(events);
        ASSERT_EQ(frames.size(), 1U);
        json prediction;
        for (const sse_event& e : events) {
            if (e.event == "prediction") prediction = json::parse(e.data);
        }
        const std::string stage = frames[0]["stage"];
        // Nothing on the pad; from liftoff on, once the climb is certain,
        // one with every fix.
        if (prediction.is_null()) {
            EXPECT_TRUE(progress.empty()) << "a fix without a prediction at " << frames[0]["local_time"];
            EXPECT_TRUE(stage == "pad" || stage == "ascent") << stage;
            continue;
        }
        if (progress.empty() || progress.back() != prediction["progress"]) progress.push_back(prediction["progress"]);
        EXPECT_FALSE(prediction["burst"].is_null());
        EXPECT_EQ(prediction["fix_time"], frames[0]["time"]);
        EXPECT_EQ(flight.look_from(station_option{-23.55, -46.63, 0, false})["landing"], prediction["station"]);
        const json track = json::parse(flight.track_geojson());
        EXPECT_EQ(track["zarim"]["prediction"], prediction);
        const bool marked = std::any_of(track["features"].begin(), track["features"].end(), [](const json& f) {
            return f["properties"]["role"] == "predicted_landing";
        });
        EXPECT_EQ(marked, prediction["progress"] != "landed");
        if (prediction["progress"] == "descent")
            last_off = metres_between(prediction["latitude"], prediction["longitude"],
                                      static_cast<double>(touchdown.latitude), static_cast<double>(touchdown.longitude));
    }
    EXPECT_EQ(progress, (std::vector<std::string>{"ascent", "descent", "landed"}));
    EXPECT_LT(last_off, 500) << "metres from the touchdown, at the last fix before it";

    follow_news cut = lines_of({receiver.next_line()});
    cut.restarted = true;
    flight.apply(cut, 0);
    const std::vector<sse_event> events = drain(flight, cursor);
    ASSERT_TRUE(has_event(events, "prediction"));
    EXPECT_EQ(events.back().event, "prediction");
    EXPECT_EQ(events.back().data, "null");
    EXPECT_TRUE(json::parse(flight.track_geojson())["zarim"]["prediction"].is_null());
}

// A map with no log of its own, fed by the broker alone, predicts as one
// that follows a log: at the latest frame, once per batch.
TEST(landing_prediction, follows_frames_that_come_only_through_the_broker)
{
    live_flight flight(std::nullopt);
    simulated_receiver receiver(1796781600, 20);
    std::vector<std::string> batch;
    for (int i = 0; i < 200; ++i) {
        batch.push_back(without_line_end(receiver.next_line()));
        if (batch.size() < 10) continue;
        flight.apply_shared("car", "20261208", batch, 0);
        flight.flush_shared(0);
        batch.clear();
    }
    const json live = json::parse(flight.track_geojson())["zarim"];
    ASSERT_FALSE(live["prediction"].is_null());
    EXPECT_EQ(live["prediction"]["progress"], "ascent");
    EXPECT_EQ(live["prediction"]["fix_time"], live["latest"]["time"]);
}
