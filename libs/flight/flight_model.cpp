#include "flight_model.h"

#include <algorithm>
#include <cmath>

#include "flight_time.h"

namespace {

constexpr std::int64_t climb_half_window = 15;  // seconds either side of a point
constexpr std::int32_t landing_margin = 30;  // metres above the lowest point after the burst

struct merged_record {
    const dated_record* record = nullptr;
    std::size_t source = 0;
};

std::vector<merged_record> in_time_order(const std::vector<log_reading>& logs)
{
    std::vector<merged_record> all;
    for (std::size_t source = 0; source < logs.size(); ++source) {
        for (const dated_record& r : logs[source].records) all.push_back({&r, source});
    }
    std::stable_sort(all.begin(), all.end(), [](const merged_record& a, const merged_record& b) {
        return a.record->local_time < b.record->local_time;
    });
    return all;
}

// Frames of equal time sit side by side after the sort; within such a run a
// counter seen before is the same frame from another log or logged twice.
std::vector<merged_record> without_duplicates(const std::vector<merged_record>& sorted,
                                              std::size_t& duplicates)
{
    std::vector<merged_record> distinct;
    distinct.reserve(sorted.size());
    std::size_t run_start = 0;
    for (const merged_record& m : sorted) {
        if (!distinct.empty() &&
            distinct[run_start].record->local_time != m.record->local_time)
            run_start = distinct.size();
        bool seen = false;
        for (std::size_t k = run_start; k < distinct.size() && !seen; ++k)
            seen = distinct[k].record->frame.counter == m.record->frame.counter;
        if (seen) {
            ++duplicates;
        } else {
            distinct.push_back(m);
        }
    }
    return distinct;
}

std::size_t missing_by_counter(const std::vector<merged_record>& distinct)
{
    std::size_t missing = 0;
    for (std::size_t i = 1; i < distinct.size(); ++i) {
        // The counter is a signed 16-bit number: its step is taken modulo
        // 2^16, so that 32767 is followed by -32768.
        const auto step = static_cast<std::int16_t>(static_cast<std::uint16_t>(
            distinct[i].record->frame.counter - distinct[i - 1].record->frame.counter));
        if (step > 1) missing += static_cast<std::size_t>(step - 1);
    }
    return missing;
}

void derive_climb_rates(std::vector<flight_point>& points)
{
    std::size_t first = 0;
    std::size_t last = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const std::int64_t t = points[i].local_time;
        while (points[first].local_time < t - climb_half_window) ++first;
        if (last < i) last = i;
        while (last + 1 < points.size() && points[last + 1].local_time <= t + climb_half_window)
            ++last;
        // Sparse frames: reach to the nearest neighbours instead.
        std::size_t a = first;
        std::size_t b = last;
        if (a == b) {
            if (a > 0) --a;
            if (b + 1 < points.size()) ++b;
        }
        const std::int64_t span = points[b].local_time - points[a].local_time;
        points[i].climb_rate =
            span > 0 ? static_cast<double>(points[b].frame.altitude - points[a].frame.altitude) /
                           static_cast<double>(span)
                     : 0.0;
    }
}

}  // namespace

bool is_possible_position(double latitude, double longitude)
{
    if (!std::isfinite(latitude) || !std::isfinite(longitude)) return false;
    if (std::fabs(latitude) > 90 || std::fabs(longitude) > 180) return false;
    return !(latitude == 0 && longitude == 0);
}

flight build_flight(const std::vector<log_reading>& logs, std::optional<int> utc_offset)
{
    flight f;
    for (const log_reading& log : logs) {
        f.counts.frames_read += log.records.size();
        f.counts.unreadable_lines += log.problems.size();
        f.counts.unfinished_lines += log.unfinished_lines;
        if (!log.failure.empty()) ++f.counts.unreadable_logs;
    }
    const std::vector<merged_record> distinct =
        without_duplicates(in_time_order(logs), f.counts.duplicates);
    f.counts.missing = missing_by_counter(distinct);

    if (utc_offset) {
        f.utc_offset = *utc_offset;
    } else if (!distinct.empty()) {
        f.utc_offset = machine_utc_offset(distinct.front().record->local_time);
    } else {
        for (const log_reading& log : logs) {
            if (!log.failure.empty()) continue;
            f.utc_offset = machine_utc_offset(local_seconds(log.date, std::int64_t{12} * 3600));
            break;
        }
    }

    f.points.reserve(distinct.size());
    for (const merged_record& m : distinct) {
        const log_record& frame = m.record->frame;
        if (!is_possible_position(frame.latitude, frame.longitude)) {
            ++f.counts.impossible;
            continue;
        }
        flight_point p;
        p.frame = frame;
        p.local_time = m.record->local_time;
        p.utc_time = p.local_time - static_cast<std::int64_t>(f.utc_offset) * 60;
        p.source = m.source;
        p.line = m.record->line;
        f.points.push_back(p);
    }
    derive_climb_rates(f.points);

    if (!f.points.empty()) {
        f.launch = 0;
        f.last = f.points.size() - 1;
        for (std::size_t i = 1; i < f.points.size(); ++i) {
            if (f.points[i].frame.altitude > f.points[f.burst].frame.altitude) f.burst = i;
        }
        std::int32_t lowest = f.points[f.burst].frame.altitude;
        for (std::size_t i = f.burst + 1; i < f.points.size(); ++i)
            lowest = std::min(lowest, f.points[i].frame.altitude);
        f.landing = f.burst;
        for (std::size_t i = f.burst + 1; i < f.points.size(); ++i) {
            if (f.points[i].frame.altitude <= lowest + landing_margin) {
                f.landing = i;
                break;
            }
        }
    }
    return f;
}

flight_stage stage_at(const flight& f, std::size_t index)
{
    if (index <= f.burst) return flight_stage::ascent;
    return index <= f.landing ? flight_stage::descent : flight_stage::landed;
}

flight_summary summarize(const flight& f)
{
    flight_summary s;
    if (f.points.empty()) return s;
    s.has_points = true;
    const flight_point& launch = f.points[f.launch];
    const flight_point& burst = f.points[f.burst];
    const flight_point& landing = f.points[f.landing];
    const flight_point& last = f.points[f.last];
    s.duration = landing.local_time - launch.local_time;
    const std::int64_t rising = burst.local_time - launch.local_time;
    if (rising > 0)
        s.mean_ascent_rate = static_cast<double>(burst.frame.altitude - launch.frame.altitude) /
                             static_cast<double>(rising);
    const std::int64_t falling = landing.local_time - burst.local_time;
    if (falling > 0)
        s.mean_descent_rate = static_cast<double>(burst.frame.altitude - landing.frame.altitude) /
                              static_cast<double>(falling);
    for (std::size_t i = 0; i < f.points.size(); ++i) {
        if (f.points[i].frame.speed > f.points[s.greatest_speed_at].frame.speed)
            s.greatest_speed_at = i;
        if (i > 0) {
            const log_record& a = f.points[i - 1].frame;
            const log_record& b = f.points[i].frame;
            if (a.latitude != b.latitude || a.longitude != b.longitude)
                s.track_length += ground_path(a.latitude, a.longitude, b.latitude, b.longitude).distance;
        }
    }
    s.greatest_speed = f.points[s.greatest_speed_at].frame.speed;
    s.launch_to_last = ground_path(launch.frame.latitude, launch.frame.longitude,
                                   last.frame.latitude, last.frame.longitude);
    return s;
}
