// How close the landing prediction comes, and what it costs.
//
// Simulated flights: the sender's sky (libs/send/sky_flight.h) with three
// kinds of wind (one wind at every height, a jet stream, a wind that turns
// with height), each flown many times with its speeds, directions, the
// change of the winds over the day, the rates, the burst height, the
// tumbling, the GPS noise and the lost frames drawn at random. Every frame
// goes through the receiver's own decoding and log line and is read back as
// the companions read a log, so the predictor sees what it would see live.
//
// The real flight: receiver logs given on the command line, plain or
// gzipped (by default the real flight kept with the tests,
// tests/support/real_flight), its landing taken where the payload came to
// rest.
//
// For each flight the prediction is compared with the true landing at
// liftoff (the first prediction), at the burst, and 30, 20, 10, 5 and 2
// minutes before the landing, beside the present position as a guess; the
// CPU time of taking a fix and predicting is measured on every fix of the
// real flight and of the first simulated flight of each kind.
//
//   landing_bench [--flights N] [--errors FILE] [RECEIVER_LOG...]
//
// --errors writes the error of a prediction every minute of every flight,
// with what the predictor knew then, as CSV: the data the radius is fitted
// and checked on.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <numbers>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>
#include <zlib.h>

#include "flight_simulation.h"
#include "geodesy.h"
#include "landing_prediction.h"
#include "log_reading.h"
#include "logfile/log_file.h"
#include "send/received_frame.h"

namespace {

struct observed_flight {
    std::string kind;
    std::vector<track_sample> fixes;
    double burst = 0;  // on the fixes' time scale
    double landing = 0;
    double landing_latitude = 0;
    double landing_longitude = 0;
};

constexpr int mark_count = 7;
const char* const mark_names[mark_count] = {"liftoff", "burst", "30 min", "20 min", "10 min", "5 min", "2 min"};
constexpr double minutes_before[mark_count] = {0, 0, 30, 20, 10, 5, 2};

struct mark_result {
    bool taken = false;
    double error = 0;  // metres from the prediction to the landing
    double present = 0;  // metres from the present position to the landing
    double radius = 0;
};

struct flight_result {
    std::string kind;
    mark_result marks[mark_count];
};

double uniform(std::mt19937_64& random, double low, double high)
{
    return std::uniform_real_distribution<double>(low, high)(random);
}

// A smooth change of the winds with height, per hour: a few waves of 4 to
// 15 km, as a weather system's change aloft looks.
std::vector<wind_level> random_wind_change(std::mt19937_64& random, double strength)
{
    struct wave {
        double length, phase, east, north;
    };
    std::vector<wave> waves;
    for (int i = 0; i < 3; ++i) {
        waves.push_back({uniform(random, 4000, 15000), uniform(random, 0, 2 * std::numbers::pi),
                         uniform(random, -1, 1) * strength, uniform(random, -1, 1) * strength});
    }
    std::vector<wind_level> levels;
    for (double h = 0; h <= 40000; h += 500) {
        wind_level level;
        level.altitude = h;
        for (const wave& w : waves) {
            const double s = std::sin(2 * std::numbers::pi * h / w.length + w.phase);
            level.east += w.east * s;
            level.north += w.north * s;
        }
        levels.push_back(level);
    }
    return levels;
}

std::vector<wind_level> wind_family(const std::string& kind, std::mt19937_64& random)
{
    if (kind == "constant wind") {
        return {level_from_sounding(0, uniform(random, 5, 20), uniform(random, 0, 360))};
    }
    if (kind == "jet stream") {
        const double scale = uniform(random, 0.6, 1.4);
        const double turn = uniform(random, -40, 40) * std::numbers::pi / 180;
        std::vector<wind_level> levels = spring_day_winds();
        for (wind_level& l : levels) {
            const double east = l.east * scale;
            const double north = l.north * scale;
            l.east = east * std::cos(turn) + north * std::sin(turn);
            l.north = -east * std::sin(turn) + north * std::cos(turn);
        }
        return levels;
    }
    // Turning with height: the direction goes round by half a turn to a
    // whole one between the ground and 30 km.
    const double start = uniform(random, 0, 360);
    const double turning = uniform(random, 180, 360) * (uniform(random, 0, 1) < 0.5 ? -1 : 1);
    const double speed = uniform(random, 6, 16);
    std::vector<wind_level> levels;
    for (double h = 0; h <= 32000; h += 1000) {
        levels.push_back(level_from_sounding(h, speed * (1 + 0.4 * std::sin(h / 5000)), start + turning * h / 30000));
    }
    return levels;
}

// The simulated flight as the receiver would have logged it: frames once a
// second, decoded and written by the receiver's own code, read back.
observed_flight simulated_flight(const std::string& kind, std::uint64_t seed)
{
    std::mt19937_64 random(seed);
    sky_plan plan;
    plan.seed = seed;
    plan.winds = wind_family(kind, random);
    plan.wind_change = random_wind_change(random, uniform(random, 0.5, 2));
    plan.launch_latitude = uniform(random, -50, 50);
    plan.launch_longitude = uniform(random, -170, 170);
    plan.launch_altitude = plan.ground_altitude = std::round(uniform(random, 0, 1600));
    plan.pad_seconds = uniform(random, 60, 600);
    plan.ascent_rate = uniform(random, 4, 6.5);
    plan.burst_altitude = uniform(random, 27000, 32000);
    plan.sea_level_descent_rate = uniform(random, 3.5, 6.5);
    plan.descent_exponent = uniform(random, 0.5, 0.65);
    plan.tumbling_seconds = uniform(random, 30, 180);
    plan.tumbling_speedup = uniform(random, 1.1, 1.8);
    plan.gps_noise = uniform(random, 1, 5);
    plan.vertical_air = uniform(random, 0.2, 0.8);
    const sky_flight sky = fly_sky(plan);

    flight_state state;
    state.sky = std::make_shared<const sky_flight>(sky);
    state.start_time = 0;
    state.step = 1;
    // Lost frames: a few percent at random, and two silences of up to two
    // minutes somewhere in the flight.
    const double loss = uniform(random, 0, 0.08);
    double silences[2][2];
    for (auto& s : silences) {
        s[0] = uniform(random, static_cast<double>(sky.liftoff), static_cast<double>(sky.landing));
        s[1] = s[0] + uniform(random, 10, 120);
    }
    observed_flight observed;
    observed.kind = kind;
    receiver_state receiver;
    const double start = 10 * 3600;  // the frames' clock starts at 10:00:00
    const double end = static_cast<double>(sky.landing) + 600;
    setenv("TZ", "UTC0", 1);
    tzset();
    state.start_time = start;
    while (static_cast<double>(state.frames) * state.step < end) {
        const flight_frame frame = step_flight(state);
        const double elapsed = static_cast<double>(frame.sample.elapsed);
        bool silent = uniform(random, 0, 1) < loss;
        for (const auto& s : silences) silent = silent || (elapsed >= s[0] && elapsed < s[1]);
        if (silent) continue;
        decoded_frame decoded;
        if (!receive_frame_text(frame_hex_text(encode_frame(frame.fields)), receiver, decoded)) continue;
        std::string line = log_line(decoded);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        const parsed_line parsed = parse_log_line(line);
        if (!parsed.record) continue;
        observed.fixes.push_back(track_sample{start + elapsed, parsed.record->latitude, parsed.record->longitude,
                                              static_cast<double>(parsed.record->altitude)});
    }
    observed.burst = start + static_cast<double>(sky.burst);
    observed.landing = start + static_cast<double>(sky.landing);
    observed.landing_latitude = static_cast<double>(sky.landing_point.latitude);
    observed.landing_longitude = static_cast<double>(sky.landing_point.longitude);
    return observed;
}

// A receiver log, plain or compressed with gzip.
std::optional<std::string> read_log(const std::string& path)
{
    gzFile in = gzopen(path.c_str(), "rb");
    if (in == nullptr) return std::nullopt;
    std::string text;
    char piece[65536];
    int got = 0;
    while ((got = gzread(in, piece, sizeof piece)) > 0) text.append(piece, static_cast<std::size_t>(got));
    gzclose(in);
    if (got < 0) return std::nullopt;
    return text;
}

// A receiver log: its fixes, and the landing where the payload came to rest
// (the first fix after the highest one within 10 m of the height it lay at
// over the log's last ten minutes, at the place it lay from then on).
std::optional<observed_flight> logged_flight(const std::string& path)
{
    const std::optional<std::string> text = read_log(path);
    if (!text) return std::nullopt;
    std::istringstream in(*text);
    observed_flight observed;
    observed.kind = "real flight";
    std::string line;
    double day = 0;
    double last = -1;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const parsed_line parsed = parse_log_line(line);
        if (!parsed.record) continue;  // the predictor leaves out impossible positions itself
        double time = day + parsed.record->seconds_of_day;
        if (last >= 0 && time < last - 3600) {
            day += 86400;
            time += 86400;
        }
        last = time;
        observed.fixes.push_back(track_sample{time, parsed.record->latitude, parsed.record->longitude,
                                              static_cast<double>(parsed.record->altitude)});
    }
    if (observed.fixes.size() < 120) return std::nullopt;
    const auto& f = observed.fixes;
    std::size_t top = 0;
    for (std::size_t i = 0; i < f.size(); ++i) {
        if (f[i].altitude > f[top].altitude) top = i;
    }
    const auto median = [](std::vector<double> v) {
        std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    // The height it lay at: the last ten minutes of the log; the place: every
    // fix from the landing on.
    std::vector<double> rest_heights;
    for (std::size_t i = f.size(); i-- > top && f[i].time >= f.back().time - 600;) rest_heights.push_back(f[i].altitude);
    const double rest = median(rest_heights);
    std::size_t down = top;
    while (down + 1 < f.size() && f[down].altitude > rest + 10) ++down;
    std::vector<double> rest_latitudes, rest_longitudes;
    for (std::size_t i = down; i < f.size(); ++i) {
        rest_latitudes.push_back(f[i].latitude);
        rest_longitudes.push_back(f[i].longitude);
    }
    observed.burst = f[top].time;
    observed.landing = f[down].time;
    observed.landing_latitude = median(rest_latitudes);
    observed.landing_longitude = median(rest_longitudes);
    return observed;
}

double cpu_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double distance(double latitude1, double longitude1, double latitude2, double longitude2)
{
    return ground_path(latitude1, longitude1, latitude2, longitude2).distance;
}

const char* progress_name(flight_progress progress)
{
    switch (progress) {
    case flight_progress::waiting:
        return "waiting";
    case flight_progress::pad:
        return "pad";
    case flight_progress::ascent:
        return "ascent";
    case flight_progress::descent:
        return "descent";
    case flight_progress::landed:
        return "landed";
    }
    return "";
}

flight_result measure(const observed_flight& flight, bool timed, std::vector<double>& cpu, std::ofstream* errors,
                      std::size_t number)
{
    flight_result result;
    result.kind = flight.kind;
    landing_predictor predictor = make_landing_predictor(prediction_settings{});
    double next_error_row = 0;
    const auto& fixes = flight.fixes;
    for (std::size_t i = 0; i < fixes.size(); ++i) {
        const track_sample& s = fixes[i];
        const double before = timed ? cpu_seconds() : 0;
        add_track_sample(predictor, s);
        // Without timing, a prediction is made only where it is measured:
        // it depends on the fixes taken, not on the predictions before it.
        const double next_time = i + 1 < fixes.size() ? fixes[i + 1].time : s.time + 1e9;
        bool wanted = timed || s.time >= next_error_row;
        for (int m = 0; m < mark_count; ++m) {
            if (result.marks[m].taken) continue;
            if (m == 0) wanted = wanted || predictor.progress == flight_progress::ascent;
            else if (m == 1) wanted = wanted || (s.time <= flight.burst && next_time > flight.burst);
            else {
                const double at = flight.landing - minutes_before[m] * 60;
                wanted = wanted || (s.time <= at && next_time > at);
            }
        }
        if (!wanted) continue;
        const std::optional<landing_prediction> prediction = predict_landing(predictor);
        if (timed) cpu.push_back(cpu_seconds() - before);
        if (!prediction) continue;
        const double error = distance(prediction->landing.latitude, prediction->landing.longitude,
                                      flight.landing_latitude, flight.landing_longitude);
        const double present = distance(s.latitude, s.longitude, flight.landing_latitude, flight.landing_longitude);
        for (int m = 0; m < mark_count; ++m) {
            mark_result& mark = result.marks[m];
            if (mark.taken) continue;
            bool now = false;
            if (m == 0) now = true;
            else if (m == 1) now = s.time <= flight.burst && next_time > flight.burst;
            else {
                const double at = flight.landing - minutes_before[m] * 60;
                now = s.time <= at && next_time > at;
            }
            if (!now) continue;
            mark = mark_result{true, error, present, prediction->radius};
        }
        if (errors != nullptr && s.time >= next_error_row && s.time < flight.landing) {
            *errors << flight.kind << ',' << number << ',' << progress_name(prediction->progress) << ','
                    << flight.landing - s.time << ',' << prediction->landing.time - s.time << ','
                    << distance(s.latitude, s.longitude, prediction->landing.latitude, prediction->landing.longitude)
                    << ',' << s.altitude << ',' << error << ',' << prediction->radius << ','
                    << prediction->landing.time - flight.landing << ',' << predictor.calibration.count << ',' << prediction->unmeasured_seconds << '\n';
            next_error_row = s.time + 60;
        }
    }
    return result;
}

double median_of(std::vector<double> v)
{
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string kilometres(double metres)
{
    if (std::isnan(metres)) return "-";
    char text[32];
    std::snprintf(text, sizeof text, metres < 10000 ? "%.2f" : "%.1f", metres / 1000);
    return text;
}

void print_table(const std::string& title, const std::vector<flight_result>& results)
{
    std::printf("\n%s (%zu flight%s), km from the true landing\n\n", title.c_str(), results.size(),
                results.size() == 1 ? "" : "s");
    std::printf("| | ");
    for (const char* name : mark_names) std::printf("%s | ", name);
    std::printf("\n|---|");
    for (int m = 0; m < mark_count; ++m) std::printf("---|");
    std::printf("\n");
    const char* rows[] = {"prediction, median", "prediction, worst", "present position, median",
                          "present position, worst", "radius, median", "landing within the radius"};
    for (int r = 0; r < 6; ++r) {
        std::printf("| %s | ", rows[r]);
        for (int m = 0; m < mark_count; ++m) {
            std::vector<double> values;
            int inside = 0;
            for (const flight_result& f : results) {
                const mark_result& mark = f.marks[m];
                if (!mark.taken) continue;
                values.push_back(r < 2 ? mark.error : r < 4 ? mark.present : mark.radius);
                inside += mark.error <= mark.radius ? 1 : 0;
            }
            if (r == 5) {
                std::printf("%d of %zu | ", inside, values.size());
                continue;
            }
            const double value = values.empty() ? NAN
                                 : (r == 1 || r == 3) ? *std::max_element(values.begin(), values.end())
                                                      : median_of(values);
            std::printf("%s | ", kilometres(value).c_str());
        }
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv)
{
    int flights_per_kind = 20;
    std::vector<std::string> logs;
    std::string errors_path;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--flights" && i + 1 < argc) flights_per_kind = std::max(1, std::atoi(argv[++i]));
        else if (a == "--errors" && i + 1 < argc) errors_path = argv[++i];
        else if (a == "--help") {
            std::printf("Usage: landing_bench [--flights N] [--errors FILE] [RECEIVER_LOG...]\n");
            return 0;
        } else logs.push_back(a);
    }
#ifdef ZARIM_REAL_FLIGHT_LOG
    if (logs.empty()) logs.emplace_back(ZARIM_REAL_FLIGHT_LOG);
#endif
    std::ofstream errors;
    if (!errors_path.empty()) {
        errors.open(errors_path);
        errors << "kind,flight,progress,seconds_to_landing,predicted_seconds,predicted_drift,altitude,error,radius,"
                  "time_error,fall_speeds,unmeasured_seconds\n";
    }
    std::vector<double> cpu;
    std::vector<flight_result> all_simulated;
    std::size_t number = 0;
    for (const std::string kind : {"constant wind", "jet stream", "turning wind"}) {
        std::vector<flight_result> results;
        for (int n = 0; n < flights_per_kind; ++n) {
            const observed_flight flight = simulated_flight(kind, 1000 + number);
            results.push_back(measure(flight, n == 0, cpu, errors_path.empty() ? nullptr : &errors, number));
            ++number;
        }
        print_table("Simulated, " + kind, results);
        all_simulated.insert(all_simulated.end(), results.begin(), results.end());
    }
    print_table("Simulated, all kinds", all_simulated);
    std::vector<flight_result> real;
    for (const std::string& path : logs) {
        const std::optional<observed_flight> flight = logged_flight(path);
        if (!flight) {
            std::fprintf(stderr, "landing_bench: cannot read a flight from %s\n", path.c_str());
            return 1;
        }
        real.push_back(measure(*flight, true, cpu, errors_path.empty() ? nullptr : &errors, number++));
    }
    if (!real.empty()) print_table("Real", real);

    std::sort(cpu.begin(), cpu.end());
    if (!cpu.empty()) {
        std::printf("\nCPU time to take a fix and predict, over %zu fixes: median %.0f us, 99th percentile %.0f us, "
                    "worst %.0f us\n",
                    cpu.size(), median_of(cpu) * 1e6, cpu[cpu.size() * 99 / 100] * 1e6, cpu.back() * 1e6);
    }
    return 0;
}
