#include "flight_parts.h"

#include <algorithm>
#include <map>
#include <utility>

#include "geodesy.h"

namespace {

constexpr std::int64_t same_time_seconds = 60;
// A balloon drifts with the wind, the fastest of which (the jet streams)
// stays well below this.
constexpr double fastest_drift = 150;  // metres per second
constexpr double apart_distance = 20000;  // metres, far beyond any GPS error
// Pairs of logs are compared at most this often, which is enough to tell
// two tracks apart and keeps the geodesy off a long log's every frame.
constexpr std::int64_t comparison_step = 10;

struct tally {
    std::size_t agreeing = 0;
    std::size_t apart = 0;
    track_conflict first;
    std::int64_t last_compared = 0;
    bool compared = false;
};

}  // namespace

std::vector<std::size_t> flight_starts(const flight& f)
{
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < f.points.size(); ++i) {
        if (i == 0 || f.points[i].local_time - f.points[i - 1].local_time > flight_gap_seconds)
            starts.push_back(i);
    }
    return starts;
}

std::optional<track_conflict> tracks_apart(const flight& f)
{
    std::map<std::pair<std::size_t, std::size_t>, tally> pairs;
    for (std::size_t i = 1; i < f.points.size(); ++i) {
        const flight_point& a = f.points[i - 1];
        const flight_point& b = f.points[i];
        const std::int64_t seconds = b.local_time - a.local_time;
        if (a.source == b.source || seconds > same_time_seconds) continue;
        tally& t = pairs[std::minmax(a.source, b.source)];
        if (t.compared && b.local_time - t.last_compared < comparison_step) continue;
        t.compared = true;
        t.last_compared = b.local_time;
        const double distance =
            ground_path(a.frame.latitude, a.frame.longitude, b.frame.latitude, b.frame.longitude).distance;
        if (distance > apart_distance && distance > fastest_drift * static_cast<double>(seconds)) {
            if (t.apart++ == 0) t.first = {i - 1, i, distance};
        } else {
            ++t.agreeing;
        }
    }
    for (const auto& [sources, t] : pairs) {
        if (t.apart > t.agreeing) return t.first;
    }
    return std::nullopt;
}
