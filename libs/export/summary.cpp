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

}  // namespace

std::string summary_text(const flight& f, const flight_summary& s,
                         const std::vector<std::string>& logs,
                         const std::vector<std::string>& outputs)
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

    const flight_point& launch = f.points[f.launch];
    const flight_point& burst = f.points[f.burst];
    const flight_point& last = f.points[f.last];
    add_line(text, "Launch",
             iso8601_local(launch.local_time, f.utc_offset) + "  " + place_text(launch) + "  " +
                 std::to_string(launch.frame.altitude) + " m");
    add_line(text, "Burst",
             std::to_string(burst.frame.altitude) + " m  " +
                 iso8601_local(burst.local_time, f.utc_offset) + "  " + place_text(burst));
    add_line(text, "Mean ascent rate",
             s.mean_ascent_rate ? decimals_text(*s.mean_ascent_rate, 2) + " m/s" : "-");
    add_line(text, "Mean descent rate",
             s.mean_descent_rate ? decimals_text(*s.mean_descent_rate, 2) + " m/s" : "- (no descent yet)");
    add_line(text, "Greatest speed",
             shortest_text(s.greatest_speed) + " km/h  " +
                 iso8601_local(f.points[s.greatest_speed_at].local_time, f.utc_offset));
    add_line(text, "Flight duration", duration_text(s.duration) + ", launch to landing");
    add_line(text, "Ground distance",
             kilometres(s.track_length) + " along the track; " +
                 kilometres(s.launch_to_last.distance) + " from launch to last fix, towards " +
                 decimals_text(s.launch_to_last.azimuth, 0) + "°");
    add_line(text, "Last fix",
             iso8601_local(last.local_time, f.utc_offset) + "  " + place_text(last) + "  " +
                 std::to_string(last.frame.altitude) + " m");
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
                            const std::vector<std::string>& outputs)
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
        for (const char* key : {"launch", "burst", "landing", "last_fix", "mean_ascent_rate",
                                "mean_descent_rate", "greatest_speed", "duration",
                                "track_length", "launch_to_last_fix"})
            summary[key] = nullptr;
        return summary;
    }
    summary["launch"] = point_json(f, f.points[f.launch]);
    summary["burst"] = point_json(f, f.points[f.burst]);
    summary["landing"] = point_json(f, f.points[f.landing]);
    summary["last_fix"] = point_json(f, f.points[f.last]);
    summary["mean_ascent_rate"] = optional_rate(s.mean_ascent_rate);
    summary["mean_descent_rate"] = optional_rate(s.mean_descent_rate);
    summary["greatest_speed"] = {
        {"speed", s.greatest_speed},
        {"time", iso8601_utc(f.points[s.greatest_speed_at].utc_time)}};
    summary["duration"] = s.duration;
    summary["track_length"] = rounded(s.track_length, 1);
    summary["launch_to_last_fix"] = {
        {"distance", rounded(s.launch_to_last.distance, 1)},
        {"azimuth", rounded(s.launch_to_last.azimuth, 2)}};
    return summary;
}
