#include "flight_model.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "flight_time.h"

namespace {

constexpr std::int64_t climb_half_window = 15;  // seconds either side of a point
// Stage detection is kept at every this many points, to be taken up again
// from there when a frame arrives among them.
constexpr std::size_t checkpoint_every = 256;
// A frame that belongs further back than this many points waits for
// settle(), which places all such frames in one pass: one at a time, each
// would move every point after it (two logs joined end to end, read as
// one, would take hours).
constexpr std::size_t far_behind = 1024;

using left_out = flight_builder::left_out;

// A long log is a million points, most of an export's memory: a point's
// size is watched.
static_assert(sizeof(flight_point) <= 88, "a flight point grew");

// Points and left-out frames are ordered by time, then by log and line:
// the order in which the logs' lines, one log after another, would be
// sorted stably by time.
struct frame_key {
    std::int64_t local_time;
    std::uint32_t source;
    std::uint32_t line;
};

frame_key key_of(const flight_point& p)
{
    return {p.local_time, p.source, p.line};
}

frame_key key_of(const left_out& f)
{
    return {f.local_time, f.source, f.line};
}

bool before(const frame_key& a, const frame_key& b)
{
    if (a.local_time != b.local_time) return a.local_time < b.local_time;
    if (a.source != b.source) return a.source < b.source;
    return a.line < b.line;
}

// Where a frame of this key goes among frames already in order: after every
// frame that does not come later. A frame later than all is the usual case,
// and is found without a search.
template <typename Frame>
std::size_t place_of(const std::vector<Frame>& frames, const frame_key& key)
{
    if (frames.empty() || !before(key, key_of(frames.back()))) return frames.size();
    const auto at = std::upper_bound(frames.begin(), frames.end(), key, [](const frame_key& k, const Frame& f) {
        return before(k, key_of(f));
    });
    return static_cast<std::size_t>(at - frames.begin());
}

// The frame with this time and counter, searched among the frames of that
// time, which lie together.
template <typename Frame, typename Counter>
std::optional<std::size_t> find_frame(const std::vector<Frame>& frames, std::int64_t local_time,
                                      std::int16_t counter, Counter counter_of)
{
    auto at = std::lower_bound(frames.begin(), frames.end(), local_time,
                               [](const Frame& f, std::int64_t t) { return f.local_time < t; });
    if (!frames.empty() && frames.back().local_time < local_time) return std::nullopt;
    for (; at != frames.end() && at->local_time == local_time; ++at) {
        if (counter_of(*at) == counter) return static_cast<std::size_t>(at - frames.begin());
    }
    return std::nullopt;
}

// Frames the counter skipped from one frame to the next. The counter is a
// signed 16-bit number: its step is taken modulo 2^16, so that 32767 is
// followed by -32768; a step back is a restart and skips nothing.
std::size_t skipped(std::int16_t from, std::int16_t to)
{
    const auto step = static_cast<std::int16_t>(static_cast<std::uint16_t>(to - from));
    return step > 1 ? static_cast<std::size_t>(step - 1) : 0;
}

std::int32_t altitude_of(const flight_point& p)
{
    return p.frame.altitude;
}

// Metres over the ground between two fixes, on a plane through them: for
// telling tens of metres apart, well within its accuracy.
double near_distance(const flight_point& a, const flight_point& b)
{
    constexpr double metres_per_degree = 6371008.8 * std::numbers::pi / 180;
    const double north = (b.frame.latitude - a.frame.latitude) * metres_per_degree;
    const double east = (b.frame.longitude - a.frame.longitude) * metres_per_degree *
                        std::cos(a.frame.latitude * std::numbers::pi / 180);
    return std::hypot(north, east);
}

std::uint32_t line_of(const dated_record& record)
{
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(record.line, std::numeric_limits<std::uint32_t>::max()));
}

void add_counts(flight_counts& total, const flight_counts& more)
{
    total.frames_read += more.frames_read;
    total.duplicates += more.duplicates;
    total.impossible += more.impossible;
    total.unreadable_lines += more.unreadable_lines;
    total.unfinished_lines += more.unfinished_lines;
    total.unreadable_logs += more.unreadable_logs;
}

// The flight's own climb rate of points[start..end), from all the points.
void derive_climb_rates(std::vector<flight_point>& points, std::size_t start, std::size_t end)
{
    if (start >= end) return;
    std::size_t first = static_cast<std::size_t>(
        std::lower_bound(points.begin(), points.end(), points[start].local_time - climb_half_window,
                         [](const flight_point& p, std::int64_t v) { return p.local_time < v; }) -
        points.begin());
    std::size_t last = start;
    for (std::size_t i = start; i < end; ++i) {
        const std::int64_t t = points[i].local_time;
        while (points[first].local_time < t - climb_half_window) ++first;
        if (last < i) last = i;
        while (last + 1 < points.size() && points[last + 1].local_time <= t + climb_half_window) ++last;
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

flight_builder::flight_builder(std::optional<int> utc_offset) : given_offset_(utc_offset)
{
    if (utc_offset) flight_.utc_offset = *utc_offset;
}

void flight_builder::reserve(std::size_t points)
{
    flight_.points.reserve(points);
}

std::size_t flight_builder::add_log(std::optional<civil_date> date)
{
    per_log_.emplace_back();
    if (!date) {
        ++per_log_.back().unreadable_logs;
        ++flight_.counts.unreadable_logs;
    } else if (!first_date_) {
        first_date_ = date;
        if (!given_offset_ && !offset_from_)
            flight_.utc_offset = machine_utc_offset(local_seconds(*date, std::int64_t{12} * 3600));
    }
    return per_log_.size() - 1;
}

void flight_builder::insert_log(std::size_t position, std::optional<civil_date> date)
{
    const std::size_t added = add_log(date);
    if (position >= added) return;
    const auto at = static_cast<std::uint32_t>(position);
    const auto move_up = [at](std::uint32_t& source) {
        if (source >= at) ++source;
    };
    for (flight_point& p : flight_.points) move_up(p.source);
    for (left_out& f : left_out_) move_up(f.source);
    for (waiting_frame& w : pending_) move_up(w.source);
    std::rotate(per_log_.begin() + static_cast<std::ptrdiff_t>(position), per_log_.end() - 1, per_log_.end());
}

void flight_builder::count_lines(std::size_t source, std::size_t unreadable, std::size_t unfinished)
{
    per_log_[source].unreadable_lines += unreadable;
    flight_.counts.unreadable_lines += unreadable;
    per_log_[source].unfinished_lines += unfinished;
    flight_.counts.unfinished_lines += unfinished;
}

void flight_builder::count_unreadable_log(std::size_t source)
{
    ++per_log_[source].unreadable_logs;
    ++flight_.counts.unreadable_logs;
}

std::optional<std::size_t> flight_builder::add_line(std::size_t source, const line_outcome& outcome)
{
    if (outcome.unfinished) {
        ++per_log_[source].unfinished_lines;
        ++flight_.counts.unfinished_lines;
    }
    if (outcome.reason != nullptr) {
        ++per_log_[source].unreadable_lines;
        ++flight_.counts.unreadable_lines;
    }
    std::optional<std::size_t> point;
    for (std::size_t i = 0; i < outcome.record_count; ++i) point = add(source, outcome.records[i]);
    return point;
}

std::optional<std::size_t> flight_builder::add(std::size_t source, const dated_record& record)
{
    ++per_log_[source].frames_read;
    ++flight_.counts.frames_read;
    const std::int64_t t = record.local_time;
    const auto counter = static_cast<std::int16_t>(record.frame.counter);
    const frame_key key{t, static_cast<std::uint32_t>(source), line_of(record)};
    if (flight_.points.size() - place_of(flight_.points, key) > far_behind) {
        pending_.push_back(waiting_frame{static_cast<std::uint32_t>(source), record});
        return std::nullopt;
    }

    // The same frame again: the first in time, log and line order is kept,
    // so a copy from an earlier place takes the place of the one kept.
    const auto again = [&](const frame_key& kept) {
        ++flight_.counts.duplicates;
        const bool earlier = before(key, kept);
        ++per_log_[earlier ? kept.source : source].duplicates;
        return earlier;
    };
    std::vector<flight_point>& points = flight_.points;
    if (const std::optional<std::size_t> same =
            find_frame(points, t, counter, [](const flight_point& p) { return static_cast<std::int16_t>(p.frame.counter); })) {
        if (!again(key_of(points[*same]))) return std::nullopt;
        remove_point(*same);
    } else if (const std::optional<std::size_t> same_left_out =
                   find_frame(left_out_, t, counter, [](const left_out& f) { return f.counter; })) {
        if (!again(key_of(left_out_[*same_left_out]))) return std::nullopt;
        remove_left_out(*same_left_out);
    }
    return insert_distinct(source, record);
}

std::optional<std::size_t> flight_builder::insert_distinct(std::size_t source, const dated_record& record)
{
    const auto from = static_cast<std::uint32_t>(source);
    const std::uint32_t line = line_of(record);
    const frame_key key{record.local_time, from, line};
    const auto counter = static_cast<std::int16_t>(record.frame.counter);
    count_gaps_around(record.local_time, from, line, counter, true);
    settle_utc_offset(record.local_time);
    if (!is_possible_position(record.frame.latitude, record.frame.longitude)) {
        const std::size_t at = place_of(left_out_, key);
        left_out_.insert(left_out_.begin() + static_cast<std::ptrdiff_t>(at),
                         left_out{record.local_time, from, line, counter});
        ++per_log_[source].impossible;
        ++flight_.counts.impossible;
        return std::nullopt;
    }
    flight_point p;
    p.frame = record.frame;
    p.local_time = record.local_time;
    p.utc_time = p.local_time - static_cast<std::int64_t>(flight_.utc_offset) * 60;
    p.source = from;
    p.line = line;
    std::vector<flight_point>& points = flight_.points;
    const std::size_t at = place_of(points, key);
    points.insert(points.begin() + static_cast<std::ptrdiff_t>(at), p);
    refresh_climb_rates(p.local_time, at);
    restage_from(at);
    return at;
}

void flight_builder::remove_point(std::size_t index)
{
    std::vector<flight_point>& points = flight_.points;
    const flight_point gone = points[index];
    points.erase(points.begin() + static_cast<std::ptrdiff_t>(index));
    count_gaps_around(gone.local_time, gone.source, gone.line, static_cast<std::int16_t>(gone.frame.counter), false);
    if (!points.empty()) refresh_climb_rates(gone.local_time, std::min(index, points.size() - 1));
    restage_from(index);
}

void flight_builder::remove_left_out(std::size_t index)
{
    const left_out gone = left_out_[index];
    left_out_.erase(left_out_.begin() + static_cast<std::ptrdiff_t>(index));
    --per_log_[gone.source].impossible;
    --flight_.counts.impossible;
    count_gaps_around(gone.local_time, gone.source, gone.line, gone.counter, false);
}

// The counter's gaps change only between a frame and its neighbours in time
// order, among points and left-out frames alike.
void flight_builder::count_gaps_around(std::int64_t local_time, std::uint32_t source, std::uint32_t line,
                                       std::int16_t counter, bool adding)
{
    const frame_key key{local_time, source, line};
    const std::vector<flight_point>& points = flight_.points;
    const std::size_t point_after = place_of(points, key);
    const std::size_t left_after = place_of(left_out_, key);
    std::optional<std::int16_t> earlier;
    std::optional<frame_key> earlier_key;
    if (point_after > 0) {
        earlier = static_cast<std::int16_t>(points[point_after - 1].frame.counter);
        earlier_key = key_of(points[point_after - 1]);
    }
    if (left_after > 0 && (!earlier_key || !before(key_of(left_out_[left_after - 1]), *earlier_key))) {
        earlier = left_out_[left_after - 1].counter;
    }
    std::optional<std::int16_t> later;
    std::optional<frame_key> later_key;
    if (point_after < points.size()) {
        later = static_cast<std::int16_t>(points[point_after].frame.counter);
        later_key = key_of(points[point_after]);
    }
    if (left_after < left_out_.size() && (!later_key || before(key_of(left_out_[left_after]), *later_key))) {
        later = left_out_[left_after].counter;
    }
    std::size_t with = 0;
    if (earlier) with += skipped(*earlier, counter);
    if (later) with += skipped(counter, *later);
    const std::size_t without = earlier && later ? skipped(*earlier, *later) : 0;
    std::size_t& missing = flight_.counts.missing;
    missing = adding ? missing + with - without : missing + without - with;
}

// The climb rate of every point whose window of ±15 s, or whose nearest
// neighbours, a point of this time added at points[index] or taken out
// before it changed.
void flight_builder::refresh_climb_rates(std::int64_t local_time, std::size_t index)
{
    std::vector<flight_point>& points = flight_.points;
    if (points.empty()) return;
    const auto first_at_or_after = [&](std::int64_t t) {
        return static_cast<std::size_t>(
            std::lower_bound(points.begin(), points.end(), t,
                             [](const flight_point& p, std::int64_t v) { return p.local_time < v; }) -
            points.begin());
    };
    const auto first_after = [&](std::int64_t t) {
        return static_cast<std::size_t>(
            std::upper_bound(points.begin(), points.end(), t,
                             [](std::int64_t v, const flight_point& p) { return v < p.local_time; }) -
            points.begin());
    };
    std::size_t start = std::min(first_at_or_after(local_time - climb_half_window), index);
    std::size_t end = std::max(first_after(local_time + climb_half_window), index + 1);  // one past
    if (start > 0) --start;
    if (end < points.size()) ++end;

    derive_climb_rates(points, start, end);
}

void flight_builder::settle_utc_offset(std::int64_t local_time)
{
    if (given_offset_ || (offset_from_ && *offset_from_ <= local_time)) return;
    offset_from_ = local_time;
    const int offset = machine_utc_offset(local_time);
    if (offset == flight_.utc_offset) return;
    flight_.utc_offset = offset;
    for (flight_point& p : flight_.points) p.utc_time = p.local_time - static_cast<std::int64_t>(offset) * 60;
}

// The stage detection has looked at the points before stages_.next; a point
// added or taken out at `index` before that sends it back to the last
// checkpoint at or before `index`.
void flight_builder::restage_from(std::size_t index)
{
    if (index < stages_.next) {
        while (!checkpoints_.empty() && checkpoints_.back().next > index) checkpoints_.pop_back();
        stages_ = checkpoints_.empty() ? stage_state{} : checkpoints_.back();
    }
    advance_stages();
}

void flight_builder::advance_stages()
{
    const std::size_t count = flight_.points.size();
    while (stages_.next < count) {
        if (stages_.next % checkpoint_every == 0 && stages_.next > 0 &&
            (checkpoints_.empty() || checkpoints_.back().next < stages_.next)) {
            checkpoints_.push_back(stages_);
        }
        step_stages(stages_);
    }
    flight_.liftoff = stages_.liftoff;
    flight_.burst = stages_.burst;
    flight_.landing = stages_.landing;
    flight_.highest = count > 0 ? std::min(stages_.highest, count - 1) : 0;
    flight_.last = count > 0 ? count - 1 : 0;
}

// Looks at one more point, points[s.next], knowing only the points before
// it: what it shows is what had happened by then.
void flight_builder::step_stages(stage_state& s) const
{
    const std::vector<flight_point>& points = flight_.points;
    const std::size_t i = s.next++;
    const flight_point& now = points[i];
    const std::int64_t t = now.local_time;
    const std::int32_t altitude = altitude_of(now);

    if (i == 0 || altitude > altitude_of(points[s.highest])) {
        s.highest = i;
        s.fall_start.reset();
    }

    if (!s.liftoff && !s.burst) {
        // The lowest point of the window before this one.
        std::size_t window = i;
        while (window > 0 && points[window - 1].local_time >= t - liftoff_window) --window;
        if (window == i && i > 0) --window;
        bool climbing = false;
        std::size_t lowest = window;
        if (window < i) {
            for (std::size_t k = window; k < i; ++k) {
                if (altitude_of(points[k]) < altitude_of(points[lowest])) lowest = k;
            }
            const std::int32_t rise = altitude - altitude_of(points[lowest]);
            const std::int64_t span = t - points[lowest].local_time;
            climbing = rise >= liftoff_rise && rise * liftoff_window >= liftoff_rise * span;
        }
        if (!climbing) {
            s.climb_start.reset();
        } else {
            if (!s.climb_start) {
                s.climb_start = i;
                std::size_t from = lowest;
                for (std::size_t k = lowest; k < i; ++k) {
                    if (altitude_of(points[k]) <= altitude_of(points[lowest]) + ground_jitter) from = k;
                }
                s.climb_from = from;
            }
            if (i > *s.climb_start && t - points[*s.climb_start].local_time >= liftoff_confirm) {
                s.liftoff = s.climb_from;
                s.highest = s.climb_from;
                for (std::size_t k = s.climb_from; k <= i; ++k) {
                    if (altitude_of(points[k]) > altitude_of(points[s.highest])) s.highest = k;
                }
                s.fall_start.reset();
            }
        }
    }

    if (!s.burst) {
        const flight_point& top = points[s.highest];
        const std::int32_t drop = altitude_of(top) - altitude;
        if (drop < burst_drop) {
            s.fall_start.reset();
            return;
        }
        if (!s.fall_start) s.fall_start = i;
        if (i == *s.fall_start || t - points[*s.fall_start].local_time < burst_confirm) return;
        const bool airborne =
            s.liftoff || static_cast<double>(drop) >= airborne_fall_rate * static_cast<double>(t - top.local_time);
        if (airborne) s.burst = s.highest;
        return;
    }

    if (!s.landing) {
        // The longest still stretch up to this point, after the burst.
        std::int32_t low = altitude;
        std::int32_t high = altitude;
        std::size_t start = i;
        while (start > *s.burst + 1) {
            const flight_point& earlier = points[start - 1];
            const std::int32_t a = altitude_of(earlier);
            if (std::max(high, a) - std::min(low, a) > still_height) break;
            if (near_distance(earlier, now) > still_distance) break;
            low = std::min(low, a);
            high = std::max(high, a);
            --start;
        }
        if (start == i || t - points[start].local_time < still_time) return;
        std::size_t landing = start;
        while (altitude_of(points[landing]) > low + ground_jitter) ++landing;
        s.landing = landing;
    }
}

std::optional<std::size_t> flight_builder::point_of(std::size_t source, const dated_record& record) const
{
    const frame_key key{record.local_time, static_cast<std::uint32_t>(source), line_of(record)};
    const std::vector<flight_point>& points = flight_.points;
    const auto at = std::lower_bound(points.begin(), points.end(), key,
                                     [](const flight_point& p, const frame_key& k) { return before(key_of(p), k); });
    for (auto p = at; p != points.end() && !before(key, key_of(*p)); ++p) {
        if (p->frame.counter == record.frame.counter) return static_cast<std::size_t>(p - points.begin());
    }
    return std::nullopt;
}

bool flight_builder::settle()
{
    if (pending_.empty()) return false;
    std::vector<waiting_frame> waiting = std::move(pending_);
    pending_.clear();
    const auto key_of_waiting = [](const waiting_frame& w) {
        return frame_key{w.record.local_time, w.source, line_of(w.record)};
    };
    std::stable_sort(waiting.begin(), waiting.end(), [&](const waiting_frame& a, const waiting_frame& b) {
        return before(key_of_waiting(a), key_of_waiting(b));
    });

    // In key order, so of two copies of a frame among the waiting the
    // first is kept; against a copy already placed, the earlier key wins.
    std::vector<flight_point>& points = flight_.points;
    std::vector<bool> point_gone(points.size());
    std::vector<bool> left_out_gone(left_out_.size());
    std::vector<flight_point> new_points;
    std::vector<left_out> new_left_out;
    std::vector<std::int16_t> taken_counters;  // of the time in hand
    std::optional<std::int64_t> taken_time;
    for (const waiting_frame& w : waiting) {
        const std::int64_t t = w.record.local_time;
        const auto counter = static_cast<std::int16_t>(w.record.frame.counter);
        const frame_key key = key_of_waiting(w);
        if (taken_time != t) {
            taken_time = t;
            taken_counters.clear();
        }
        if (std::find(taken_counters.begin(), taken_counters.end(), counter) != taken_counters.end()) {
            ++per_log_[w.source].duplicates;
            continue;
        }
        const std::optional<std::size_t> same_point =
            find_frame(points, t, counter, [](const flight_point& p) { return static_cast<std::int16_t>(p.frame.counter); });
        const std::optional<std::size_t> same_left_out =
            find_frame(left_out_, t, counter, [](const left_out& f) { return f.counter; });
        if (same_point && !point_gone[*same_point]) {
            const flight_point& kept = points[*same_point];
            if (!before(key, key_of(kept))) {
                ++per_log_[w.source].duplicates;
                continue;
            }
            ++per_log_[kept.source].duplicates;
            point_gone[*same_point] = true;
        } else if (same_left_out && !left_out_gone[*same_left_out]) {
            const left_out& kept = left_out_[*same_left_out];
            if (!before(key, key_of(kept))) {
                ++per_log_[w.source].duplicates;
                continue;
            }
            ++per_log_[kept.source].duplicates;
            --per_log_[kept.source].impossible;
            left_out_gone[*same_left_out] = true;
        }
        taken_counters.push_back(counter);
        if (!is_possible_position(w.record.frame.latitude, w.record.frame.longitude)) {
            new_left_out.push_back(left_out{t, w.source, line_of(w.record), counter});
            ++per_log_[w.source].impossible;
            continue;
        }
        flight_point p;
        p.frame = w.record.frame;
        p.local_time = t;
        p.source = w.source;
        p.line = line_of(w.record);
        new_points.push_back(p);
    }

    // Both in key order: one merge each, the frames already placed first
    // among equal keys, as they came first.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!point_gone[i]) points[kept++] = points[i];
    }
    points.resize(kept);
    points.insert(points.end(), new_points.begin(), new_points.end());
    std::inplace_merge(points.begin(), points.begin() + static_cast<std::ptrdiff_t>(kept), points.end(),
                       [](const flight_point& a, const flight_point& b) { return before(key_of(a), key_of(b)); });
    kept = 0;
    for (std::size_t i = 0; i < left_out_.size(); ++i) {
        if (!left_out_gone[i]) left_out_[kept++] = left_out_[i];
    }
    left_out_.resize(kept);
    left_out_.insert(left_out_.end(), new_left_out.begin(), new_left_out.end());
    std::inplace_merge(left_out_.begin(), left_out_.begin() + static_cast<std::ptrdiff_t>(kept), left_out_.end(),
                       [](const left_out& a, const left_out& b) { return before(key_of(a), key_of(b)); });
    recount_everything();
    return true;
}

void flight_builder::remove_log(std::size_t source)
{
    if (source >= per_log_.size()) return;
    settle();
    const auto gone = static_cast<std::uint32_t>(source);
    std::erase_if(flight_.points, [gone](const flight_point& p) { return p.source == gone; });
    std::erase_if(left_out_, [gone](const left_out& f) { return f.source == gone; });
    for (flight_point& p : flight_.points) {
        if (p.source > gone) --p.source;
    }
    for (left_out& f : left_out_) {
        if (f.source > gone) --f.source;
    }
    per_log_.erase(per_log_.begin() + static_cast<std::ptrdiff_t>(source));
    recount_everything();
}

// After a whole log went: every count, rate and stage from what is left.
void flight_builder::recount_everything()
{
    flight_counts counts;
    for (const flight_counts& c : per_log_) add_counts(counts, c);
    flight_.counts = counts;

    // The counter's gaps along points and left-out frames merged in order.
    const std::vector<flight_point>& points = flight_.points;
    std::size_t p = 0;
    std::size_t l = 0;
    std::optional<std::int16_t> previous;
    std::optional<std::int64_t> earliest;
    while (p < points.size() || l < left_out_.size()) {
        const bool take_point =
            l == left_out_.size() || (p < points.size() && !before(key_of(left_out_[l]), key_of(points[p])));
        const std::int16_t counter =
            take_point ? static_cast<std::int16_t>(points[p].frame.counter) : left_out_[l].counter;
        const std::int64_t t = take_point ? points[p].local_time : left_out_[l].local_time;
        if (!earliest) earliest = t;
        if (previous) flight_.counts.missing += skipped(*previous, counter);
        previous = counter;
        if (take_point) {
            ++p;
        } else {
            ++l;
        }
    }
    offset_from_.reset();
    if (!given_offset_ && earliest) {
        offset_from_ = earliest;
        flight_.utc_offset = machine_utc_offset(*earliest);
    }
    for (flight_point& point : flight_.points)
        point.utc_time = point.local_time - static_cast<std::int64_t>(flight_.utc_offset) * 60;
    derive_climb_rates(flight_.points, 0, flight_.points.size());
    checkpoints_.clear();
    stages_ = stage_state{};
    advance_stages();
}

flight flight_builder::finish()
{
    settle();
    flight done = std::move(flight_);
    *this = flight_builder(given_offset_);
    return done;
}

flight build_flight(const std::vector<log_reading>& logs, std::optional<int> utc_offset)
{
    flight_builder builder(utc_offset);
    struct merged {
        const dated_record* record;
        std::size_t source;
    };
    std::vector<merged> all;
    for (const log_reading& log : logs) {
        const std::size_t source =
            builder.add_log(log.failure.empty() ? std::optional(log.date) : std::nullopt);
        builder.count_lines(source, log.problems.size(), log.unfinished_lines);
        for (const dated_record& r : log.records) all.push_back({&r, source});
    }
    // In time order the flight takes every frame at its end.
    std::stable_sort(all.begin(), all.end(), [](const merged& a, const merged& b) {
        return a.record->local_time < b.record->local_time;
    });
    std::size_t total = 0;
    for (const log_reading& log : logs) total += log.records.size();
    builder.reserve(total);
    for (const merged& m : all) builder.add(m.source, *m.record);
    return builder.finish();
}

flight_stage stage_at(const flight& f, std::size_t index)
{
    if (f.landing && index > *f.landing) return flight_stage::landed;
    if (f.burst && index > *f.burst) return flight_stage::descent;
    if (f.liftoff && index >= *f.liftoff) return flight_stage::ascent;
    if (f.burst && !f.liftoff) return flight_stage::ascent;  // it rose there before the log began
    return flight_stage::pad;
}

const char* stage_name(flight_stage stage)
{
    switch (stage) {
    case flight_stage::pad: return "pad";
    case flight_stage::ascent: return "ascent";
    case flight_stage::descent: return "descent";
    case flight_stage::landed: return "landed";
    }
    return "pad";
}

std::optional<double> ground_altitude(const flight& f)
{
    if (f.points.empty()) return std::nullopt;
    if (f.liftoff) {
        // The liftoff lies within the GPS height noise of the pad, and
        // may be a few seconds into the climb when the log has no time on
        // the pad: the pad is the lowest fix of the minute up to it.
        std::size_t i = *f.liftoff;
        std::int32_t lowest = f.points[i].frame.altitude;
        const std::int64_t since = f.points[i].local_time - liftoff_window;
        while (i > 0 && f.points[i - 1].local_time >= since) lowest = std::min(lowest, f.points[--i].frame.altitude);
        return lowest;
    }
    if (!f.burst) return f.points.front().frame.altitude;
    return std::nullopt;
}

flight_summary summarize(const flight& f)
{
    flight_summary s;
    if (f.points.empty()) return s;
    s.has_points = true;
    s.stage = stage_at(f, f.last);
    const std::vector<flight_point>& points = f.points;
    const std::size_t end = f.landing.value_or(f.last);
    if (f.liftoff) {
        const flight_point& launch = points[*f.liftoff];
        s.duration = points[end].local_time - launch.local_time;
        const flight_point& top = points[f.burst.value_or(f.highest)];
        const std::int64_t rising = top.local_time - launch.local_time;
        if (rising > 0)
            s.mean_ascent_rate = static_cast<double>(top.frame.altitude - launch.frame.altitude) /
                                 static_cast<double>(rising);
    }
    if (f.burst) {
        const flight_point& burst = points[*f.burst];
        const std::int64_t falling = points[end].local_time - burst.local_time;
        if (falling > 0)
            s.mean_descent_rate = static_cast<double>(burst.frame.altitude - points[end].frame.altitude) /
                                  static_cast<double>(falling);
    }
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (points[i].frame.speed > points[s.greatest_speed_at].frame.speed) s.greatest_speed_at = i;
        if (i > 0) {
            const log_record& a = points[i - 1].frame;
            const log_record& b = points[i].frame;
            if (a.latitude != b.latitude || a.longitude != b.longitude)
                s.track_length += ground_path(a.latitude, a.longitude, b.latitude, b.longitude).distance;
        }
    }
    s.greatest_speed = points[s.greatest_speed_at].frame.speed;
    const flight_point& launch = points[f.liftoff.value_or(0)];
    const flight_point& last = points[f.last];
    s.launch_to_last = ground_path(launch.frame.latitude, launch.frame.longitude, last.frame.latitude,
                                   last.frame.longitude);
    return s;
}
