#include "map_options.h"

#include <charconv>
#include <cmath>
#include <string_view>
#include <vector>

#include "allowed_hosts.h"
#include "command_line.h"
#include "position_option.h"
#include "share_protocol.h"

namespace {

bool tile_template_usable(const std::string& text)
{
    return text.find("{z}") != std::string::npos && text.find("{x}") != std::string::npos &&
           text.find("{y}") != std::string::npos;
}

// A value outside its range is refused rather than clamped: a typing slip
// (50 for 5 m/s, 3000 for 30,000 m) would otherwise move the landing by
// tens of kilometres without a word.
struct ranged_value {
    const char* option;
    const std::string& text;
    double low;
    double high;
    const char* unit;
};

bool read_ranged(const ranged_value& v, double& value, std::string& problem)
{
    double read = 0;
    if (!read_real_number(v.text, read) || read < v.low || read > v.high) {
        problem = std::string(v.option) + " wants a number of " + v.unit + " from " +
                  std::to_string(static_cast<int>(v.low)) + " to " + std::to_string(static_cast<int>(v.high)) +
                  ", not '" + v.text + "'";
        return false;
    }
    value = read;
    return true;
}

bool read_prediction_settings(const CLI::App& app, const std::string& descent_rate,
                              const std::string& burst_altitude, const std::string& ground_altitude,
                              prediction_settings& settings, std::string& problem)
{
    // Parachutes bring payloads down at 3 to 10 m/s; balloons burst between
    // a few and some 45 km (the winds are kept up to 50 km); the ground lies
    // between the Dead Sea's shore and the highest launch sites.
    if (app.count("--descent-rate") != 0 &&
        !read_ranged({"--descent-rate", descent_rate, 1, 30, "metres per second"}, settings.sea_level_descent_rate,
                     problem))
        return false;
    if (app.count("--burst-altitude") != 0 &&
        !read_ranged({"--burst-altitude", burst_altitude, 1000, 50000, "metres"}, settings.burst_altitude, problem))
        return false;
    if (app.count("--ground-altitude") != 0) {
        double ground = 0;
        if (!read_ranged({"--ground-altitude", ground_altitude, -500, 6000, "metres"}, ground, problem)) return false;
        settings.ground_altitude = ground;
    }
    return true;
}

// --broker and what goes with it. Without a log named, a map of the
// broker's stations follows no local log.
bool parse_sharing_options(const CLI::App& app, broker_option_texts& broker, map_options& options,
                           std::string& problem)
{
    if (!broker_given(app)) {
        if (app.count("--flight") + app.count("--record") + app.count("--cafile") + app.count("--cert") +
                app.count("--key") + app.count("--username") + app.count("--password-file") !=
            0) {
            problem = "--flight, --record and the broker's login go with --broker";
            return false;
        }
        return true;
    }
    if (!check_broker_options(app, broker, problem)) return false;
    if (app.count("--flight") == 0) {
        problem = "--flight is needed with --broker: the name the flight's stations share it under";
        return false;
    }
    if (!is_share_name(options.flight)) {
        problem = "--flight: " + share_name_problem(options.flight);
        return false;
    }
    if (app.count("--record") != 0 && options.record_directory.empty()) {
        problem = "--record wants a directory";
        return false;
    }
    options.broker = broker.login;
    options.follow_log = app.count("log") != 0;
    return true;
}

}  // namespace

bool parse_listen_address(const std::string& text, std::string& host, std::uint16_t& port)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string_view name(text.data(), colon);
    if (name.front() == '[') {
        if (name.size() < 3 || name.back() != ']') return false;
        name = name.substr(1, name.size() - 2);
    } else if (name.find(':') != std::string_view::npos) {
        return false;  // an IPv6 address needs its brackets to tell it from the port
    }
    const std::string_view digits(text.data() + colon + 1, text.size() - colon - 1);
    unsigned value = 0;
    const auto [stop, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || stop != digits.data() + digits.size() ||
        value > 65535) {
        return false;
    }
    host.assign(name);
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool parse_station(const std::string& text, station_option& station, std::string& problem)
{
    position_option read;
    if (!parse_position_option(text, "--station", read, problem)) return false;
    station = {read.latitude, read.longitude, read.altitude, read.altitude_given};
    return true;
}

bool parse_map_options(int argc, const char* const* argv, map_options& options,
                       std::string& problem)
{
    CLI::App app{"", "zarim-map"};
    use_companion_conventions(app);
    std::string listen;
    std::string station;
    std::string tiles;
    std::vector<std::string> hosts;
    std::string descent_rate;
    std::string burst_altitude;
    std::string ground_altitude;
    broker_option_texts broker;
    app.add_flag("--help", options.help);
    app.add_flag("--version", options.version);
    add_valued(app, "--listen", listen);
    add_valued(app, "--tiles", tiles);
    add_valued(app, "--station", station);
    add_valued(app, "--descent-rate", descent_rate);
    add_valued(app, "--burst-altitude", burst_altitude);
    add_valued(app, "--ground-altitude", ground_altitude);
    // Repeatable, one name each time, so that it never takes the log's name.
    app.add_option("--allow-host", hosts)
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    add_broker_options(app, broker);
    add_valued(app, "--flight", options.flight);
    add_valued(app, "--record", options.record_directory);
    app.add_option("log", options.log_path);
    if (!parse_command_line(app, argc, argv, problem)) return false;
    if (options.help || options.version) return true;
    if (!parse_sharing_options(app, broker, options, problem)) return false;

    if (app.count("--listen") != 0 &&
        !parse_listen_address(listen, options.listen_host, options.listen_port)) {
        problem = "--listen wants ADDR:PORT (such as 127.0.0.1:8080 or [::1]:8080), not '" +
                  listen + "'";
        return false;
    }
    if (app.count("--tiles") != 0) {
        if (!tile_template_usable(tiles)) {
            problem = "--tiles wants a URL template with {z}, {x} and {y}, not '" + tiles + "'";
            return false;
        }
        options.tiles = tiles;
        options.tiles_given = true;
    }
    if (app.count("--station") != 0) {
        station_option read;
        if (!parse_station(station, read, problem)) return false;
        options.station = read;
    }
    if (!read_prediction_settings(app, descent_rate, burst_altitude, ground_altitude, options.prediction,
                                  problem))
        return false;
    for (const std::string& host : hosts) {
        std::string name;
        if (!usable_host_name(host, name)) {
            problem = "--allow-host wants a host name (letters, digits, '-' and '.') or an address, "
                      "without a port, not '" + host + "'";
            return false;
        }
        options.allowed_hosts.push_back(name);
    }
    if (options.log_path.empty()) {
        problem = "the log to follow is an empty name";
        return false;
    }
    return true;
}

const char* map_usage()
{
    return "Usage: zarim-map [OPTION]... [LOG or DIR]\n"
           "       zarim-map --broker URL --flight NAME [OPTION]... [LOG or DIR]\n"
           "Follows a receiver log as it grows and shows the flight live on a map in a\n"
           "web browser: the track, the latest frame, the altitude profile, the bearing\n"
           "and distance from a station, and from liftoff on where the payload will\n"
           "land, predicted from the winds the flight measured on its way.\n"
           "\n"
           "LOG is a log file to follow. DIR (default: the current directory) is\n"
           "searched for the QLT_yyyymmdd.txt with the latest date in its name; the\n"
           "map waits for one when there is none yet, and moves on to a later day's\n"
           "log when it starts growing. A log that cannot be read any more (deleted,\n"
           "refused) is said on the page.\n"
           "\n"
           "Options:\n"
           "  --listen ADDR:PORT  where to serve the page (default 127.0.0.1:8080,\n"
           "                      this computer only); 0.0.0.0:8080 serves the\n"
           "                      local network, [::1]:8080 IPv6; port 0 takes any\n"
           "                      free port\n"
           "  --allow-host NAME   a host name the page may be opened by, besides the\n"
           "                      address served (any of this computer's addresses\n"
           "                      with 0.0.0.0) and localhost, such as\n"
           "                      chase-laptop.local; requests naming any other host\n"
           "                      are refused. Repeat it for more names\n"
           "  --tiles URL         map tiles, a template with {z}, {x} and {y}, and\n"
           "                      optionally {s} (default: the OpenStreetMap\n"
           "                      standard tiles); without a connection the page\n"
           "                      shows the track over a plain background\n"
           "  --station LAT,LON[,ALT]\n"
           "                      the receiving station in degrees (south and west\n"
           "                      negative) and metres; without ALT it stands at\n"
           "                      the launch site's height. The page shows azimuth,\n"
           "                      elevation, slant range and ground distance from it\n"
           "                      to the payload; the page can use the browser's own\n"
           "                      position instead\n"
           "  --descent-rate M/S  the descent rate under the parachute at sea level\n"
           "                      (1 to 30, default 5) until the descent measures\n"
           "                      its own; it is faster in the thin air above\n"
           "  --burst-altitude M  where the balloon is expected to burst (1000 to\n"
           "                      50000, default 30000), or its own height once it\n"
           "                      is higher\n"
           "  --ground-altitude M the height of the ground where it lands (-500 to\n"
           "                      6000, default: the launch height)\n"
           "  --broker URL        also show every station of the flight that\n"
           "                      zarim-share publishes to this MQTT broker:\n"
           "                      mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (TLS);\n"
           "                      without LOG or DIR, no local log is followed\n"
           "  --flight NAME       the flight's name, as the stations share it\n"
           "  --record DIR        keep every station's lines as its own log,\n"
           "                      DIR/STATION/QLT_yyyymmdd.txt, for zarim-export\n"
           "  --cafile FILE, --cert FILE, --key FILE, --username NAME,\n"
           "  --password-file FILE\n"
           "                      the broker's login, as zarim-share takes it\n"
           "  --help              show this text\n"
           "  --version           show the version\n"
           "\n"
           "Addresses served (GET and HEAD only):\n"
           "  /                   the live map; /map.js, /map.css, /events.js and\n"
           "                      /leaflet/... are its files\n"
           "  /track.geojson      the flight so far and the predicted path and\n"
           "                      landing, GeoJSON\n"
           "  /track.kml          the same, KML\n"
           "  /live.kml           a KML network link Google Earth refreshes\n"
           "  /events             Server-Sent Events: one per frame, with status,\n"
           "                      prediction and clock events; a browser's tabs\n"
           "                      share one\n"
           "  /look.json?latitude=LAT&longitude=LON[&altitude=ALT]\n"
           "                      azimuth, elevation and range from that place\n"
           "  /status.json        the log followed, counts and problems; with\n"
           "                      --broker the stations and the input refused\n"
           "  /config.json        the page's settings\n"
           "\n"
           "SIGINT and SIGTERM end the program.\n"
           "Exit status: 0 after a signal, 1 when the log's directory or the address\n"
           "cannot be had (for example a port in use, by another zarim-map too), or\n"
           "the password file, the record's directory or the TLS files, 2 for a bad\n"
           "command line.\n";
}
