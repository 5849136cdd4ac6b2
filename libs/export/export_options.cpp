#include "export_options.h"

#include <charconv>
#include <cmath>
#include <string_view>

#include "command_line.h"
#include "flight_time.h"

const char* format_name(export_format format)
{
    switch (format) {
    case export_format::gpx:
        return "gpx";
    case export_format::kml:
        return "kml";
    case export_format::geojson:
        return "geojson";
    case export_format::csv:
        return "csv";
    case export_format::svg:
        return "svg";
    }
    return "";
}

bool parse_formats(const std::string& list, std::vector<export_format>& formats,
                   std::string& problem)
{
    bool wanted[std::size(all_formats)] = {};
    std::string_view rest = list;
    for (;;) {
        const std::size_t comma = rest.find(',');
        const std::string_view name = rest.substr(0, comma);
        if (name == "all") {
            for (bool& w : wanted) w = true;
        } else {
            bool known = false;
            for (std::size_t i = 0; i < std::size(all_formats); ++i) {
                if (name == format_name(all_formats[i])) known = wanted[i] = true;
            }
            if (!known) {
                problem = name.empty() ? "empty format name in --formats '" + list + "'"
                                       : "unknown format '" + std::string(name) +
                                             "' in --formats (choose from gpx, kml, geojson, csv, svg, all)";
                return false;
            }
        }
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    formats.clear();
    for (std::size_t i = 0; i < std::size(all_formats); ++i) {
        if (wanted[i]) formats.push_back(all_formats[i]);
    }
    return true;
}

namespace {

// A number of metres or metres per second within [low, high]; false with
// `problem` saying what was wanted.
bool read_figure(const std::string& name, const std::string& text, double low, double high, double& value,
                 std::string& problem)
{
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value) || value < low ||
        value > high) {
        problem = "bad value '" + text + "' for " + name + ": expected a number from " +
                  std::to_string(static_cast<int>(low)) + " to " + std::to_string(static_cast<int>(high));
        return false;
    }
    return true;
}

}  // namespace

bool parse_export_options(int argc, const char* const* argv, export_request& request,
                          std::string& problem)
{
    request = export_request{};
    CLI::App app{"", "zarim-export"};
    use_companion_conventions(app);
    std::string formats = "all";
    std::string offset;
    std::string descent_rate;
    std::string burst_altitude;
    std::string ground_altitude;
    add_valued(app, "--output-dir", request.output_dir);
    add_valued(app, "--descent-rate", descent_rate);
    add_valued(app, "--burst-altitude", burst_altitude);
    add_valued(app, "--ground-altitude", ground_altitude);
    add_valued(app, "--formats", formats);
    add_valued(app, "--utc-offset", offset);
    app.add_flag("--json", request.json);
    app.add_flag("--split-days", request.split_days);
    app.add_flag("--help", request.help);
    app.add_flag("--version", request.version);
    app.add_option("logs", request.logs);
    if (!parse_command_line(app, argc, argv, problem)) return false;
    if (request.help || request.version) return true;

    if (request.output_dir.empty()) {
        problem = "empty directory name for --output-dir";
        return false;
    }
    if (!parse_formats(formats, request.formats, problem)) return false;
    if (app.count("--utc-offset") > 0) {
        request.utc_offset = parse_utc_offset(offset);
        if (!request.utc_offset) {
            problem = "bad value '" + offset +
                      "' for --utc-offset: expected ±HH:MM from -18:00 to +18:00, such as -03:00";
            return false;
        }
    }
    prediction_settings& prediction = request.prediction;
    if (app.count("--descent-rate") > 0 &&
        !read_figure("--descent-rate", descent_rate, 1, 50, prediction.sea_level_descent_rate, problem))
        return false;
    if (app.count("--burst-altitude") > 0 &&
        !read_figure("--burst-altitude", burst_altitude, 1000, 60000, prediction.burst_altitude, problem))
        return false;
    if (app.count("--ground-altitude") > 0) {
        double ground = 0;
        if (!read_figure("--ground-altitude", ground_altitude, -500, 9000, ground, problem)) return false;
        prediction.ground_altitude = ground;
    }
    if (request.logs.empty()) {
        problem = "no log given: name one or more QLT_yyyymmdd.txt files";
        return false;
    }
    return true;
}

const char* export_usage()
{
    return "Usage: zarim-export [OPTION]... LOG...\n"
           "Turns the receiver's daily logs (QLT_yyyymmdd.txt) into one flight and\n"
           "writes it as track, placemarks, table and profile for mapping, charting\n"
           "and spreadsheet tools, with a summary on standard output.\n"
           "\n"
           "The date comes from each log's name and the time of day from each line;\n"
           "a time more than an hour earlier than the line before it is on the next\n"
           "day. Several logs of one flight (restarts, midnight, several receiving\n"
           "stations) merge in time order, and a frame found in more than one (same\n"
           "counter, same time) counts once. Positions that cannot be real (0,0,\n"
           "latitude beyond 90, longitude beyond 180, infinite) are left out and\n"
           "counted.\n"
           "\n"
           "Logs that cannot be one flight are not merged: frames more than 12 hours\n"
           "apart (two days' launches) are refused unless --split-days is given, and\n"
           "two logs that place the payload far apart at the same time are refused;\n"
           "nothing is written then, and the exit status is 1.\n"
           "\n"
           "The summary says where the landing prediction put the landing at the\n"
           "liftoff, at the burst and 10 minutes before the landing, and how far each\n"
           "was from where the payload came down.\n"
           "\n"
           "Options:\n"
           "  --output-dir DIR   where to write the files (default: the current\n"
           "                     directory; made if missing). They are named after\n"
           "                     the first log: QLT_20261208.gpx and so on\n"
           "  --formats LIST     comma-separated, from gpx, kml, geojson, csv, svg\n"
           "                     (default all):\n"
           "                       gpx      GPX 1.1 track and waypoints, UTC times\n"
           "                       kml      path at its altitude, extruded to the\n"
           "                                ground; launch, burst and last fix\n"
           "                       geojson  RFC 7946 path and the same three places\n"
           "                       csv      one row per point, ISO 8601 times, and the\n"
           "                                landing predicted after it\n"
           "                       svg      altitude and climb profile against time\n"
           "  --utc-offset ±HH:MM the receiver clock's offset from UTC, as ISO 8601\n"
           "                     writes it: -03:00 for Brasilia time (default: this\n"
           "                     machine's offset on the log's date)\n"
           "  --descent-rate M/S the payload's fall under its parachute at sea level,\n"
           "                     for the landing prediction until the descent\n"
           "                     measures its own (default 5)\n"
           "  --burst-altitude M where the balloon is expected to burst, for the\n"
           "                     prediction during the climb (default 30000, or the\n"
           "                     balloon's height when it is higher)\n"
           "  --ground-altitude M the height of the ground where it comes down\n"
           "                     (default: the launch height)\n"
           "  --json             print the summary as JSON instead of text (with\n"
           "                     --split-days, an array of one summary per flight)\n"
           "  --split-days       write each flight on its own where the logs' frames\n"
           "                     lie more than 12 hours apart: one set of files per\n"
           "                     flight, named after the log of its first frame\n"
           "                     (and its date, when two flights share that log)\n"
           "  --help             show this text\n"
           "  --version          show the version\n"
           "\n"
           "Every option's value may follow it as --opt VALUE or --opt=VALUE.\n"
           "A line that cannot be read is reported as FILE:LINE: on standard error\n"
           "and the rest is still used.\n"
           "A name that is not UTF-8 is written into the files with U+FFFD in place\n"
           "of the bytes that are not, and a note on standard error says so.\n"
           "Exit status: 0 when all went well; 1 when a line or a log could not be\n"
           "read (the files are still written from the rest), a file could not be\n"
           "written, the logs cannot be one flight, or no position could be used\n"
           "(then nothing is written); 2 for a bad command line.\n";
}
