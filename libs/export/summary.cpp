#include "summary.h"

#include <cmath>

#include "documents.h"
#include "fields.h"
#include "flight_time.h"
#include "text_safety.h"

namespace {

constexpr std::size_t label_width = 20;

void add_line(std::string& text, const std::string& label, const std::string& value)
{
    text += label;
    text.append(label.size() < label_width ? label_width - label.size() : 1, ' ');
    text += value;
    text += '\n';
}

std::string place_text(const flight_point& p)
{
    return shortest_text(p.frame.latitude) + ", " + shortest_text(p.frame.longitude);
}

std::string kilometres(double metres)
{
    return decimals_text(metres / 1000, 2) + " km";
}

std::string count_of(std::size_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// JSON numbers to the precision the figures have, without binary tails.
double rounded(double value, int places)
{
    const double scale = std::pow(10.0, places);
    return std::round(value * scale) / scale;
}

nlohmann::json point_json(const flight& f, const flight_point& p)
{
    return point_fields(p, f.utc_offset);
}

nlohmann::json optional_rate(const std::optional<double>& rate)
{
    return rate ? nlohmann::json(rounded(*rate, 3)) : nlohmann::json(nullptr);
}

std::int64_t local_of(const flight& f, std::int64_t utc_time)
{
    return utc_time + std::int64_t{f.utc_offset} * 60;
}

// "-23.1, -46.2 at 15:20 (radius 8.1 km), 12.35 km from the landing"
std::string prediction_text(const flight& f, const prediction_said& p)
{
    std::string text = decimals_text(p.landing.latitude, 5) + ", " + decimals_text(p.landing.longitude, 5) +
                       " at " + iso8601_local(local_of(f, p.landing.time), f.utc_offset) + " (within " +
                       kilometres(p.landing.radius) + ")";
    if (p.miss) text += ", " + kilometres(*p.miss) + " from the landing";
    return text;
}

void add_predictions(std::string& text, const flight& f, const prediction_review& r)
{
    const std::pair<const char*, const std::optional<prediction_said>*> moments[] = {
        {"at liftoff: ", &r.liftoff}, {"at burst: ", &r.burst}, {"10 min before landing: ", &r.before_landing}};
    const char* label = "Landing predicted";
    for (const auto& [when, said] : moments) {
        if (!*said) continue;
        add_line(text, label, when + prediction_text(f, **said));
        label = "";
    }
}

nlohmann::json prediction_json(const flight& f, const std::optional<prediction_said>& p)
{
    if (!p) return nullptr;
    return {{"after", point_json(f, f.points[p->point])},
            {"landing",
             {{"time", iso8601_utc(p->landing.time)},
              {"local_time", iso8601_local(local_of(f, p->landing.time), f.utc_offset)},
              {"latitude", rounded(p->landing.latitude, 6)},
              {"longitude", rounded(p->landing.longitude, 6)}}},
            {"radius", rounded(p->landing.radius, 0)},
            {"miss", p->miss ? nlohmann::json(rounded(*p->miss, 1)) : nlohmann::json(nullptr)}};
}

}  // namespace

std::string summary_text(const flight& f, const flight_summary& s,
                         const std::vector<std::string>& logs,
                         const std::vector<std::string>& outputs,
                         const prediction_review& predictions)
{
    const flight_counts& c = f.counts;
    std::string text;
    std::string from = logs.empty() ? std::string("no log") : shown_text(logs.front());
    if (logs.size() > 1) from += " and " + count_of(logs.size() - 1, "more log", "more logs");
    add_line(text, "Flight from", from);
    std::string read = std::to_string(c.frames_read);
    if (c.duplicates > 0)
        read += ", " + count_of(c.duplicates, "heard again and counted once",
                                "heard again and counted once");
    add_line(text, "Frames read", read);
    std::string used = std::to_string(f.points.size());
    if (c.impossible > 0)
        used += ", " + count_of(c.impossible, "impossible position", "impossible positions") +
                " left out";
    add_line(text, "Frames used", used);
    add_line(text, "Frames missing", std::to_string(c.missing) + " (gaps in the frame counter)");
    if (c.unreadable_lines > 0 || c.unreadable_logs > 0)
        add_line(text, "Not readable",
                 count_of(c.unreadable_lines, "line", "lines") + ", " +
                     count_of(c.unreadable_logs, "log", "logs") + " (reported on standard error)");
    if (c.unfinished_lines > 0)
        add_line(text, "Unfinished lines",
                 std::to_string(c.unfinished_lines) + " (cut short by a stop or being written)");
    if (!s.has_points) {
        text += "No usable position in the logs.\n";
        return text;
    }

    const flight_point& last = f.points[f.last];
    const flight_point& highest = f.points[f.highest];
    const auto when = [&f](const flight_point& p) { return iso8601_local(p.local_time, f.utc_offset); };
    const auto at = [&](const flight_point& p) {
        return std::to_string(p.frame.altitude) + " m  " + when(p) + "  " + place_text(p);
    };
    switch (s.stage) {
    case flight_stage::pad: add_line(text, "Stage", "on the pad, no liftoff yet"); break;
    case flight_stage::ascent:
        add_line(text, "Stage", "climbing, highest so far " + std::to_string(highest.frame.altitude) +
                                    " m at " + when(highest));
        break;
    case flight_stage::descent:
        add_line(text, "Stage", "falling, " + std::to_string(last.frame.altitude) + " m at " + when(last) +
                                    ", not landed yet");
        break;
    case flight_stage::landed: add_line(text, "Stage", "landed"); break;
    }
    if (f.liftoff) {
        const flight_point& launch = f.points[*f.liftoff];
        add_line(text, "Launch", when(launch) + "  " + place_text(launch) + "  " +
                                     std::to_string(launch.frame.altitude) + " m");
    } else {
        add_line(text, "Launch", f.burst ? "- (before the log began)" : "- (no liftoff yet)");
    }
    if (f.burst) add_line(text, "Burst", at(f.points[*f.burst]));
    if (f.landing) add_line(text, "Landing", at(f.points[*f.landing]));
    add_predictions(text, f, predictions);
    const char* ascent_so_far = f.burst ? "" : " so far";
    add_line(text, "Mean ascent rate",
             s.mean_ascent_rate ? decimals_text(*s.mean_ascent_rate, 2) + " m/s" + ascent_so_far : "-");
    const char* descent_so_far = f.landing ? "" : " so far";
    add_line(text, "Mean descent rate",
             s.mean_descent_rate ? decimals_text(*s.mean_descent_rate, 2) + " m/s" + descent_so_far
                                 : "- (no descent yet)");
    add_line(text, "Greatest speed",
             shortest_text(s.greatest_speed) + " km/h  " + when(f.points[s.greatest_speed_at]));
    if (!f.liftoff) {
        add_line(text, "Flight duration", "- (no liftoff in the logs)");
    } else {
        add_line(text, "Flight duration",
                 duration_text(s.duration) + (f.landing ? ", launch to landing" : ", launch to last fix (not landed yet)"));
    }
    add_line(text, "Ground distance",
             kilometres(s.track_length) + " along the track; " + kilometres(s.launch_to_last.distance) +
                 (f.liftoff ? " from launch" : " from the first fix") + " to last fix, towards " +
                 decimals_text(s.launch_to_last.azimuth, 0) + "°");
    add_line(text, "Last fix", when(last) + "  " + place_text(last) + "  " + std::to_string(last.frame.altitude) + " m");
    if (!outputs.empty()) {
        std::string written;
        for (const std::string& name : outputs)
            written += (written.empty() ? "" : ", ") + shown_text(name);
        add_line(text, "Written", written);
    }
    return text;
}

nlohmann::json summary_json(const flight& f, const flight_summary& s,
                            const std::vector<std::string>& logs,
                            const std::vector<std::string>& outputs,
                            const prediction_review& predictions,
                            const prediction_settings& settings)
{
    const flight_counts& c = f.counts;
    nlohmann::json summary = {
        {"logs", logs},
        {"outputs", outputs},
        {"utc_offset", utc_offset_text(f.utc_offset)},
        {"frames",
         {{"read", c.frames_read},
          {"duplicates", c.duplicates},
          {"used", f.points.size()},
          {"impossible", c.impossible},
          {"missing", c.missing},
          {"unreadable_lines", c.unreadable_lines},
          {"unreadable_logs", c.unreadable_logs},
          {"unfinished_lines", c.unfinished_lines}}},
    };
    if (!s.has_points) {
        for (const char* key : {"stage", "launch", "highest", "burst", "landing", "last_fix",
                                "mean_ascent_rate", "mean_descent_rate", "greatest_speed", "duration",
                                "track_length", "launch_to_last_fix", "landing_prediction"})
            summary[key] = nullptr;
        return summary;
    }
    const auto event = [&f](const std::optional<std::size_t>& index) {
        return index ? point_json(f, f.points[*index]) : nlohmann::json(nullptr);
    };
    summary["stage"] = stage_name(s.stage);
    summary["launch"] = event(f.liftoff);
    summary["highest"] = point_json(f, f.points[f.highest]);
    summary["burst"] = event(f.burst);
    summary["landing"] = event(f.landing);
    summary["last_fix"] = point_json(f, f.points[f.last]);
    summary["mean_ascent_rate"] = optional_rate(s.mean_ascent_rate);
    summary["mean_descent_rate"] = optional_rate(s.mean_descent_rate);
    summary["greatest_speed"] = {
        {"speed", s.greatest_speed},
        {"time", iso8601_utc(f.points[s.greatest_speed_at].utc_time)}};
    summary["duration"] = f.liftoff ? nlohmann::json(s.duration) : nlohmann::json(nullptr);
    summary["track_length"] = rounded(s.track_length, 1);
    summary["launch_to_last_fix"] = {
        {"distance", rounded(s.launch_to_last.distance, 1)},
        {"azimuth", rounded(s.launch_to_last.azimuth, 2)}};
    summary["landing_prediction"] = {
        {"descent_rate", settings.sea_level_descent_rate},
        {"burst_altitude", settings.burst_altitude},
        {"ground_altitude",
         settings.ground_altitude ? nlohmann::json(*settings.ground_altitude) : nlohmann::json(nullptr)},
        {"liftoff", prediction_json(f, predictions.liftoff)},
        {"burst", prediction_json(f, predictions.burst)},
        {"before_landing", prediction_json(f, predictions.before_landing)}};
    return summary;
}
