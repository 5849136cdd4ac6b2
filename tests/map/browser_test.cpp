// The page in a real browser: headless Chromium opens it while frames are
// appended to the log, and the test reads what the page shows, with map
// tiles to be had and without, and the real flight at each of its stages on
// a laptop's screen and a phone's. Screenshots go to
// <build>/map-screenshots/.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

#include "log_reading.h"
#include "support/real_flight_log.h"
#include "map/headless_chromium.h"
#include "map/http_client.h"
#include "map/map_process.h"
#include "map/receiver_log.h"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

constexpr auto page_wait = 20s;

// Map tiles on loopback: each names its z/x/y over a light grid, so that a
// screenshot shows at once whether tiles came.
class tile_server {
public:
    tile_server()
    {
        server_.Get(R"(/(\d+)/(\d+)/(\d+)\.svg)", [this](const httplib::Request& request, httplib::Response& response) {
            ++served;
            const std::string name = request.matches[1].str() + "/" + request.matches[2].str() + "/" +
                                     request.matches[3].str();
            response.set_content(
                "<svg xmlns='http://www.w3.org/2000/svg' width='256' height='256'>"
                "<rect width='256' height='256' fill='#dfe9d8' stroke='#b9c9ae' stroke-width='2'/>"
                "<path d='M0 128H256M128 0V256' stroke='#cbd9c1'/>"
                "<text x='10' y='24' font-family='sans-serif' font-size='14' fill='#7a8f6c'>tile " +
                    name + "</text></svg>",
                "image/svg+xml");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~tile_server()
    {
        while (!server_.is_running()) std::this_thread::sleep_for(1ms);
        server_.stop();
        thread_.join();
    }
    tile_server(const tile_server&) = delete;
    tile_server& operator=(const tile_server&) = delete;

    std::string url_template() const { return "http://127.0.0.1:" + std::to_string(port_) + "/{z}/{x}/{y}.svg"; }

    std::atomic<int> served{0};

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
};

std::string screenshot_path(const std::string& name)
{
    const char* build = std::getenv("ZARIM_BUILD_DIR");
    const std::string directory = std::string(build != nullptr && *build != '\0' ? build : ".") + "/map-screenshots";
    std::filesystem::create_directories(directory);
    return directory + "/" + name + ".png";
}

std::string quoted(const std::string& text)
{
    return json(text).dump();
}

class Page : public testing::Test {
protected:
    void SetUp() override
    {
        if (headless_chromium::browser_path().empty()) GTEST_SKIP() << "no Chromium to run";
        directory = make_scratch_directory();
        log = directory + "/QLT_20261208.txt";
    }

    void TearDown() override
    {
        if (browser) {
            EXPECT_TRUE(browser->page_errors().empty()) << testing::PrintToString(browser->page_errors());
            browser.reset();
        }
        if (map.pid > 0) {
            EXPECT_EQ(stop_map(map), 0);
        }
    }

    // `before_page`: a script run in the page before its own.
    void open(const std::vector<std::string>& options, const std::string& before_page = "", int width = 1280,
              int height = 960)
    {
        std::vector<std::string> arguments = {"--listen", "127.0.0.1:0"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        arguments.push_back(directory);
        start_map(map, arguments);
        browser = std::make_unique<headless_chromium>();
        std::string problem;
        ASSERT_TRUE(browser->start(width, height, problem)) << problem;
        if (!before_page.empty()) {
            ASSERT_TRUE(browser->run_before_each_page(before_page));
        }
        ASSERT_TRUE(browser->navigate(origin() + "/"));
        ASSERT_TRUE(browser->wait_for("document.body.dataset.connection === 'live'", page_wait))
            << text("status");
    }

    // A screenshot once the map has stopped moving, optionally after
    // showing the whole flight.
    void picture(const std::string& name, bool whole_flight)
    {
        if (whole_flight) browser->evaluate("document.getElementById('whole-flight').click()");
        else browser->evaluate("document.getElementById('view-follow').click()");
        // A move starts at the next animation frame.
        browser->evaluate("new Promise(done => requestAnimationFrame(() => requestAnimationFrame(done)))");
        EXPECT_TRUE(browser->wait_for("window.zarimPage.idle()", page_wait));
        // Tiles still loading after a move.
        browser->wait_for("document.querySelectorAll('.leaflet-tile:not(.leaflet-tile-loaded)').length === 0", 3s);
        EXPECT_TRUE(browser->screenshot(screenshot_path(name)));
    }

    std::string origin() const { return "http://127.0.0.1:" + std::to_string(map.port); }

    std::string text(const std::string& id)
    {
        const json value = browser->evaluate("(document.getElementById(" + quoted(id) + ") || {}).textContent");
        return value.is_string() ? value.get<std::string>() : "";
    }

    bool warned(const std::string& id)
    {
        return browser->evaluate("document.getElementById(" + quoted(id) + ").classList.contains('warning')") == true;
    }

    // Appends lines and waits until the page shows the last of them.
    void append(const std::vector<std::string>& lines)
    {
        std::string bytes;
        for (const std::string& line : lines) bytes += line;
        append_to(log, bytes);
        const parsed_line last = parse_log_line(without_line_end(lines.back()));
        ASSERT_TRUE(last.record);
        shown.push_back(*last.record);
        for (const std::string& line : lines) {
            const parsed_line p = parse_log_line(without_line_end(line));
            if (p.record) fixes.push_back(*p.record);
        }
        ASSERT_TRUE(browser->wait_for("document.body.dataset.shownCounter === '" +
                                          std::to_string(last.record->counter) + "' && window.zarimPage.trackPoints().length === " +
                                          std::to_string(fixes.size()),
                                      page_wait))
            << "the page shows frame " << text("counter") << " and " << text("track-points");
    }

    void append_lines(simulated_receiver& receiver, int count)
    {
        std::vector<std::string> lines;
        for (int i = 0; i < count; ++i) lines.push_back(receiver.next_line());
        append(lines);
    }

    // The panel holds the latest frame, the track every point, the profile
    // every point.
    void expect_page_matches_log()
    {
        const log_record& latest = shown.back();
        EXPECT_EQ(text("counter"), std::to_string(latest.counter));
        EXPECT_EQ(text("altitude"), std::to_string(latest.altitude) + " m");
        EXPECT_EQ(text("satellites"), std::to_string(latest.satellites));
        char expected[32];
        std::snprintf(expected, sizeof expected, "%.2f V", latest.battery_voltage);
        EXPECT_EQ(text("battery"), expected);
        std::snprintf(expected, sizeof expected, "%.1f km/h", latest.speed);
        EXPECT_EQ(text("speed"), expected);
        EXPECT_NE(text("temperature").find(std::to_string(std::abs(latest.temperature)) + " °C"), std::string::npos)
            << text("temperature");
        EXPECT_NE(text("frame-time").find(":"), std::string::npos);
        EXPECT_NE(text("age").find("s ago"), std::string::npos) << text("age");

        const json track = browser->evaluate("window.zarimPage.trackPoints()");
        ASSERT_EQ(track.size(), fixes.size());
        for (std::size_t i = 0; i < fixes.size(); ++i) {
            EXPECT_NEAR(track[i][0].get<double>(), fixes[i].latitude, 1e-9) << i;
            EXPECT_NEAR(track[i][1].get<double>(), fixes[i].longitude, 1e-9) << i;
        }
        EXPECT_EQ(browser->evaluate("document.querySelector('path.track-line').dataset.points"),
                  std::to_string(fixes.size()));
        EXPECT_EQ(text("track-points"), "Track: " + std::to_string(fixes.size()) + " point" + (fixes.size() == 1 ? "" : "s"));
        ASSERT_TRUE(browser->wait_for("document.getElementById('profile').dataset.points === '" +
                                          std::to_string(fixes.size()) + "'",
                                      5s));
        const json drawn = browser->evaluate(
            "document.querySelector('#profile polyline').getAttribute('points').trim().split(/\\s+/).length");
        EXPECT_EQ(drawn, fixes.size()) << "the profile draws every point";
    }

    std::string directory;
    std::string log;
    map_process map;
    std::unique_ptr<headless_chromium> browser;
    std::vector<log_record> fixes;  // every fix appended, in order
    std::vector<log_record> shown;  // the frame the page should show after each append
};

class FlightPage : public Page, public testing::WithParamInterface<bool> {};

}  // namespace

// Launch, the warnings, the climb to near the burst, the descent with its
// landing estimate, and the landing: what the page shows at each step.
TEST_P(FlightPage, follows_a_flight_from_launch_to_landing)
{
    const bool tiles_reachable = GetParam();
    std::unique_ptr<tile_server> tiles;
    // A closed port on loopback stands for tiles that cannot be had.
    std::string tile_url = "http://127.0.0.1:1/{z}/{x}/{y}.png";
    if (tiles_reachable) {
        tiles = std::make_unique<tile_server>();
        tile_url = tiles->url_template();
    }
    const std::string name = tiles_reachable ? "with-tiles" : "without-tiles";
    ASSERT_NO_FATAL_FAILURE(open({"--tiles", tile_url, "--station=-23.56,-46.66,780"}));
    EXPECT_EQ(text("track-points"), "No fix yet");

    simulated_receiver receiver(1796781600, 30);
    for (int i = 0; i < 6; ++i) {
        ASSERT_NO_FATAL_FAILURE(append_lines(receiver, 1));
        ASSERT_NO_FATAL_FAILURE(expect_page_matches_log());
    }
    EXPECT_EQ(text("stage"), "ascent");
    // From liftoff on, where it will land.
    ASSERT_TRUE(browser->wait_for("(window.zarimPage.prediction() || {}).progress === 'ascent'", page_wait));
    EXPECT_EQ(text("landing-text").rfind("Lands in ", 0), 0U) << text("landing-text");
    EXPECT_NE(text("station-azimuth"), "–");
    EXPECT_NE(text("station-elevation"), "–");

    // The receiver's warnings, on and off: a lost frame makes a 60 s gap.
    EXPECT_FALSE(warned("frame-time")) << "30 s between frames is no gap";
    receiver.next_line();
    ASSERT_NO_FATAL_FAILURE(append_lines(receiver, 1));
    EXPECT_TRUE(warned("frame-time"));
    EXPECT_NE(text("warnings").find("60 s between"), std::string::npos) << text("warnings");
    ASSERT_NO_FATAL_FAILURE(append_lines(receiver, 1));
    EXPECT_FALSE(warned("frame-time"));
    telemetry_fields weak = receiver.next_fields();
    weak.battery = 81;  // 1.59 V
    ASSERT_NO_FATAL_FAILURE(append({receiver.line_for(weak)}));
    EXPECT_TRUE(warned("battery"));
    EXPECT_NE(text("warnings").find("Battery low"), std::string::npos);
    ASSERT_NO_FATAL_FAILURE(append_lines(receiver, 1));
    EXPECT_FALSE(warned("battery"));
    ASSERT_NO_FATAL_FAILURE(expect_page_matches_log());
    ASSERT_TRUE(browser->wait_for("document.body.dataset.tiles === '" + std::string(tiles_reachable ? "loaded" : "unavailable") + "'", page_wait))
        << "tiles: " << browser->evaluate("document.body.dataset.tiles");
    picture(name + "-launch", true);

    // Near the burst: the rest of the climb in one write.
    const long double climb = (receiver.plan().burst_altitude - receiver.plan().launch_altitude) / receiver.plan().ascent_rate;
    std::vector<std::string> ascent;
    while (receiver.elapsed() < climb - 60) ascent.push_back(receiver.next_line());
    ASSERT_NO_FATAL_FAILURE(append(ascent));
    ASSERT_NO_FATAL_FAILURE(expect_page_matches_log());
    EXPECT_EQ(text("stage"), "ascent");
    picture(name + "-near-burst", true);

    // Over the top and falling: the burst is marked and the landing predicted.
    ASSERT_NO_FATAL_FAILURE(append_lines(receiver, 12));
    ASSERT_NO_FATAL_FAILURE(expect_page_matches_log());
    EXPECT_EQ(text("stage"), "descent");
    ASSERT_TRUE(browser->wait_for("(window.zarimPage.prediction() || {}).progress === 'descent'", page_wait));
    EXPECT_TRUE(browser->evaluate("document.getElementById('landing-section').hidden") == false);
    EXPECT_EQ(text("landing-text").rfind("Lands in ", 0), 0U) << text("landing-text");
    EXPECT_NE(text("landing-where").find("from the station"), std::string::npos) << text("landing-where");
    EXPECT_TRUE(browser->evaluate("document.querySelectorAll('.landing-icon').length === 1") == true);
    EXPECT_TRUE(browser->evaluate("document.querySelector('.landing-tooltip').textContent.startsWith('Lands ')") == true);
    EXPECT_TRUE(browser->evaluate("document.querySelectorAll('path.predicted-path, path.landing-radius').length === 2") == true);
    picture(name + "-descent", true);

    // Down: the landing is where it lies, no prediction drawn.
    const long double landing = landing_time(receiver.plan());
    std::vector<std::string> rest;
    while (receiver.elapsed() < landing + 300) rest.push_back(receiver.next_line());
    ASSERT_NO_FATAL_FAILURE(append(rest));
    ASSERT_NO_FATAL_FAILURE(expect_page_matches_log());
    EXPECT_EQ(text("stage"), "landed");
    ASSERT_TRUE(browser->wait_for("(window.zarimPage.prediction() || {}).progress === 'landed'", page_wait));
    EXPECT_EQ(text("landing-text").rfind("Landed at ", 0), 0U) << text("landing-text");
    EXPECT_EQ(browser->evaluate("document.querySelectorAll('.landing-icon, path.predicted-path').length"), 0);

    if (tiles_reachable) {
        EXPECT_GT(tiles->served, 0);
        EXPECT_TRUE(text("tiles-status").empty());
    } else {
        EXPECT_NE(text("tiles-status").find("plain background"), std::string::npos);
        EXPECT_GT(browser->evaluate("document.querySelectorAll('.graticule-label').length").get<int>(), 2);
        EXPECT_FALSE(browser->evaluate("document.querySelector('.leaflet-control-scale-line').textContent").get<std::string>().empty());
        // The payload and the whole track are drawn on the plain background.
        browser->evaluate("document.getElementById('whole-flight').click()");
        browser->evaluate("new Promise(done => requestAnimationFrame(() => requestAnimationFrame(done)))");
        ASSERT_TRUE(browser->wait_for("window.zarimPage.idle()", page_wait));
        EXPECT_GT(browser->evaluate("document.querySelector('path.track-line').getBBox().width").get<double>(), 300);
    }
}

INSTANTIATE_TEST_SUITE_P(Tiles, FlightPage, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& tiles) {
                             return tiles.param ? std::string("reachable") : std::string("unreachable");
                         });

namespace {

struct screen {
    const char* name;
    int width;
    int height;
};

class RealFlightPage : public Page, public testing::WithParamInterface<screen> {};

// True when the two elements' boxes overlap.
std::string overlap(const std::string& a, const std::string& b)
{
    return "(() => { const a = " + a + ", b = " + b + "; if (!a || !b) return false;"
           " const r = a.getBoundingClientRect(), s = b.getBoundingClientRect();"
           " return r.left < s.right && s.left < r.right && r.top < s.bottom && s.top < r.bottom; })()";
}

}  // namespace

// The real flight as a chase team sees it: during the ascent, just after
// the burst, late in the descent and after the landing. At each the way to
// the landing is on the screen without scrolling, and no label covers the
// payload.
TEST_P(RealFlightPage, shows_where_to_go_at_each_stage)
{
    const screen size = GetParam();
    tile_server tiles;
    log = directory + "/" + real_flight_log_name;
    ASSERT_NO_FATAL_FAILURE(open({"--tiles", tiles.url_template(), "--station=39.6075,-104.0445,1605"}, "",
                                 size.width, size.height));
    std::vector<std::string> lines;
    std::vector<log_record> records;
    const std::string whole = real_flight_log();
    for (std::size_t start = 0; start < whole.size();) {
        const std::size_t end = whole.find('\n', start);
        const std::string line = whole.substr(start, end == std::string::npos ? end : end + 1 - start);
        start = end == std::string::npos ? whole.size() : end + 1;
        const parsed_line p = parse_log_line(without_line_end(line));
        if (!p.record) continue;
        lines.push_back(line);
        records.push_back(*p.record);
    }
    std::size_t burst = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].altitude > records[burst].altitude) burst = i;
    }
    const int ground = records.front().altitude;
    const auto first_after = [&](std::size_t from, auto&& wanted) {
        for (std::size_t i = from; i < records.size(); ++i) {
            if (wanted(records[i])) return i;
        }
        return records.size() - 1;
    };
    const std::size_t down = first_after(burst, [&](const log_record& r) { return r.altitude < ground + 50; });
    const struct {
        const char* name;
        std::size_t last;
        const char* progress;
    } moments[] = {
        {"ascent", first_after(0, [&](const log_record& r) { return r.altitude > (ground + records[burst].altitude) / 2; }),
         "ascent"},
        {"after-burst", burst + 120, "descent"},
        {"late-descent", first_after(burst, [&](const log_record& r) { return r.altitude < ground + 1500; }), "descent"},
        {"landed", std::min(records.size() - 1, down + 600), "landed"},
    };
    std::size_t written = 0;
    for (const auto& moment : moments) {
        std::string bytes;
        for (; written <= moment.last; ++written) bytes += lines[written];
        append_to(log, bytes);
        // A fresh page, as a phone opened then would show it.
        ASSERT_TRUE(browser->navigate(origin() + "/"));
        ASSERT_TRUE(browser->wait_for("document.body.dataset.connection === 'live' && window.zarimPage.latest() &&"
                                      " window.zarimPage.latest().line === " + std::to_string(moment.last + 1) +
                                          " && (window.zarimPage.prediction() || {}).progress === '" + moment.progress + "'" +
                                          " && window.zarimPage.prediction().fix_time === window.zarimPage.latest().time",
                                      page_wait))
            << moment.name << ": " << text("counter") << " " << text("landing-text") << ", line and prediction shown "
            << browser->evaluate("JSON.stringify([(window.zarimPage.latest() || {}).line,"
                                 " (window.zarimPage.prediction() || {}).fix_time])")
                   .dump()
            << ", line wanted " << moment.last + 1;
        picture(std::string("real-") + size.name + "-" + moment.name, true);
        EXPECT_EQ(text("climb").find("+0.0"), std::string::npos) << moment.name << ": the flight's own rate";
        for (const char* id : {"altitude", "climb", "stage", "station-azimuth", "station-elevation", "landing-text",
                               "landing-where"}) {
            EXPECT_TRUE(browser->evaluate("(() => { const r = document.getElementById('" + std::string(id) +
                                          "').getBoundingClientRect(); return r.height > 0 && r.bottom <= innerHeight; })()") ==
                        true)
                << moment.name << ": " << id << " below the fold";
        }
        EXPECT_FALSE(browser->evaluate(overlap("document.querySelector('.landing-tooltip')",
                                               "document.querySelector('.leaflet-payload-pane path')")) == true)
            << moment.name << ": the landing's label covers the payload";
        EXPECT_FALSE(browser->evaluate(overlap("document.querySelector('.look-label')",
                                               "document.querySelector('.leaflet-payload-pane path')")) == true)
            << moment.name << ": the pointing's label covers the payload";
    }
}

INSTANTIATE_TEST_SUITE_P(Screens, RealFlightPage,
                         testing::Values(screen{"laptop", 1280, 800}, screen{"phone", 390, 844}),
                         [](const testing::TestParamInfo<screen>& s) { return std::string(s.param.name); });

// The chase car's laptop: the pointing follows the device as it moves,
// computed by the server for each place.
TEST_F(Page, points_from_the_devices_own_position_as_it_moves)
{
    ASSERT_NO_FATAL_FAILURE(open({"--tiles", "http://127.0.0.1:1/{z}/{x}/{y}.png"}));
    simulated_receiver receiver(1796781600, 30);
    ASSERT_NO_FATAL_FAILURE(append_lines(receiver, 20));
    EXPECT_NE(text("station-note").find("No station given"), std::string::npos) << text("station-note");

    ASSERT_TRUE(browser->set_position(origin(), -23.60, -46.70, 800));
    browser->evaluate("document.getElementById('use-my-position').click()");
    ASSERT_TRUE(browser->wait_for("document.getElementById('station-source').textContent.includes('this device')", page_wait));
    const json look = json::parse(http_get(map.port, "/look.json?latitude=-23.6&longitude=-46.7&altitude=800").body);
    char expected[32];
    std::snprintf(expected, sizeof expected, "%.1f°", look["azimuth"].get<double>());
    ASSERT_TRUE(browser->wait_for("document.getElementById('station-azimuth').textContent === " + quoted(expected), page_wait))
        << text("station-azimuth") << " against " << expected;

    // The car drives east of the payload: the antenna turns to the west.
    ASSERT_TRUE(browser->set_position(origin(), -23.60, -45.90, 800));
    ASSERT_TRUE(browser->wait_for("parseFloat(document.getElementById('station-azimuth').textContent) > 180", page_wait))
        << text("station-azimuth");
    // And follows the payload too.
    const std::string before = text("station-ground-distance");
    ASSERT_NO_FATAL_FAILURE(append_lines(receiver, 3));
    ASSERT_TRUE(browser->wait_for("document.getElementById('station-ground-distance').textContent !== " + quoted(before), page_wait));
}

class StreamPage : public Page, public testing::WithParamInterface<bool> {};

// Cut underneath, the log starts over, and so does the page: with the
// stream its browser shares, and with one of its own where there are no
// shared workers.
TEST_P(StreamPage, a_log_cut_underneath_starts_the_page_over)
{
    const bool shared = GetParam();
    ASSERT_NO_FATAL_FAILURE(open({"--tiles", "http://127.0.0.1:1/{z}/{x}/{y}.png"},
                                 shared ? "" : "delete window.SharedWorker;"));
    EXPECT_EQ(browser->evaluate("window.zarimPage.stream()"), shared ? "shared" : "own");
    simulated_receiver receiver(1796781600, 30);
    ASSERT_NO_FATAL_FAILURE(append_lines(receiver, 10));
    append_to(log, "not a frame at all\r\n");
    ASSERT_TRUE(browser->wait_for("document.getElementById('problems').dataset.unreadable === '1'", page_wait));
    EXPECT_NE(text("problems").find("line 11"), std::string::npos) << text("problems");

    truncate_file(log);
    simulated_receiver again(1796790000, 30);
    fixes.clear();
    ASSERT_NO_FATAL_FAILURE(append_lines(again, 2));
    ASSERT_NO_FATAL_FAILURE(expect_page_matches_log());
    EXPECT_EQ(text("problems"), "");
}

INSTANTIATE_TEST_SUITE_P(Streams, StreamPage, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& shared) {
                             return shared.param ? std::string("shared") : std::string("own");
                         });

// A browser opens six connections to a server at most: its tabs share one
// event stream, so ten tabs all load and all follow the flight, go on when
// the tab that opened the stream is closed, and all say when the log has
// gone.
TEST_F(Page, ten_tabs_of_one_browser_share_one_stream_and_all_follow_the_flight)
{
    ASSERT_NO_FATAL_FAILURE(open({"--tiles", "http://127.0.0.1:1/{z}/{x}/{y}.png"}));
    constexpr std::size_t tabs = 10;
    for (std::size_t i = 1; i < tabs; ++i) ASSERT_TRUE(browser->open_tab(origin() + "/")) << i;
    for (std::size_t i = 0; i < tabs; ++i) {
        browser->use_tab(i);
        ASSERT_TRUE(browser->wait_for("document.body.dataset.connection === 'live'", page_wait)) << i;
        EXPECT_EQ(browser->evaluate("window.zarimPage.stream()"), "shared") << i;
    }
    EXPECT_EQ(json::parse(http_get(map.port, "/status.json").body)["pages"], 1);

    simulated_receiver receiver(1796781600, 30);
    const auto every_tab_shows = [&](std::size_t first, int counter, std::size_t points) {
        for (std::size_t i = first; i < tabs; ++i) {
            browser->use_tab(i);
            EXPECT_TRUE(browser->wait_for("document.body.dataset.shownCounter === '" + std::to_string(counter) +
                                              "' && window.zarimPage.trackPoints().length === " + std::to_string(points),
                                          page_wait))
                << "tab " << i << " shows frame " << text("counter");
        }
    };
    for (int i = 1; i <= 3; ++i) {
        append_to(log, receiver.next_line());
        every_tab_shows(0, i, static_cast<std::size_t>(i));
    }
    ASSERT_TRUE(browser->close_tab(0));
    append_to(log, receiver.next_line());
    every_tab_shows(1, 4, 4);
    EXPECT_EQ(json::parse(http_get(map.port, "/status.json").body)["pages"], 1);

    ASSERT_EQ(std::remove(log.c_str()), 0);
    for (std::size_t i = 1; i < tabs; ++i) {
        browser->use_tab(i);
        EXPECT_TRUE(browser->wait_for("document.getElementById('status').textContent.includes('was deleted')", page_wait))
            << "tab " << i << " says " << text("status");
        EXPECT_EQ(text("track-points"), "Track: 4 points") << "tab " << i;
    }
    picture("ten-tabs-log-deleted", true);
}
