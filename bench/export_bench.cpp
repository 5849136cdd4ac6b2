// A whole day's log of 100,000 lines, the receiver's own writing, exported
// to every format: reading, merging, the flight, the five documents and
// their files.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "core/arithmetic.h"
#include "documents.h"
#include "export_run.h"
#include "flight_simulation.h"
#include "format/number_text.h"
#include "logfile/log_file.h"

namespace {

constexpr int day_lines = 100000;

std::string two_digits(long value)
{
    return std::string(1, static_cast<char>('0' + value / 10)) + static_cast<char>('0' + value % 10);
}

// A slow flight that fills the day, one frame every 0.864 s from midnight:
// times repeat within a second and the counter wraps three times.
std::string day_log()
{
    set_arithmetic_mode();
    flight_plan plan;
    plan.ascent_rate = 1;
    plan.descent_rate = 0.5;
    std::string log;
    log.reserve(static_cast<std::size_t>(day_lines) * 72);
    for (int k = 0; k < day_lines; ++k) {
        const long double elapsed = k * 0.864L;
        const flight_sample s = flight_sample_at(plan, elapsed);
        const auto second = static_cast<long>(elapsed);
        decoded_frame d;
        d.counter = static_cast<std::int16_t>(static_cast<std::uint16_t>(k + 1));
        d.time_text = two_digits(second / 3600) + ":" + two_digits(second / 60 % 60) + ":" +
                      two_digits(second % 60);
        d.latitude = static_cast<float>(round_to_places(s.latitude, 5));
        d.longitude = static_cast<float>(round_to_places(s.longitude, 5));
        d.altitude = static_cast<std::int16_t>(std::lround(s.altitude));
        d.speed = static_cast<float>(std::lround(s.speed_knots)) * 1.852f;
        d.satellites = static_cast<std::uint8_t>(s.satellites);
        d.temperature = static_cast<std::int16_t>(std::clamp(std::lround(s.temperature), -128L, 127L));
        d.battery_voltage = static_cast<float>(round_to_places(s.battery_voltage, 2));
        d.climb_rate = s.phase == flight_phase::ascent ? 1.0f : -0.5f;
        log += log_line(d);
    }
    return log;
}

struct day_files {
    std::filesystem::path directory;
    std::string log;
    day_files()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "zarim_export_bench_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        directory = pattern;
        log = (directory / "QLT_20261208.txt").string();
        std::ofstream(log, std::ios::binary) << day_log();
    }
    ~day_files() { std::filesystem::remove_all(directory); }
    day_files(const day_files&) = delete;
    day_files& operator=(const day_files&) = delete;
};

const day_files& files()
{
    static const day_files made;
    return made;
}

void export_a_day_to_every_format(benchmark::State& run)
{
    export_request request;
    request.logs = {files().log};
    request.output_dir = (files().directory / "out").string();
    request.formats.assign(std::begin(all_formats), std::end(all_formats));
    request.utc_offset = -180;
    for (auto _ : run) {
        std::ostringstream out;
        std::ostringstream errors;
        if (run_export(request, out, errors) != 0) run.SkipWithError(errors.str().c_str());
    }
    run.counters["lines"] = day_lines;
}
BENCHMARK(export_a_day_to_every_format)->Unit(benchmark::kMillisecond)->UseRealTime();

void read_a_day_into_the_flight(benchmark::State& run)
{
    for (auto _ : run) {
        const flight f = build_flight({read_log_file(files().log)}, -180);
        benchmark::DoNotOptimize(summarize(f));
    }
}
BENCHMARK(read_a_day_into_the_flight)->Unit(benchmark::kMillisecond)->UseRealTime();

void write_a_days_document(benchmark::State& run)
{
    const flight f = build_flight({read_log_file(files().log)}, -180);
    const auto format = static_cast<export_format>(run.range(0));
    run.SetLabel(format_name(format));
    for (auto _ : run) benchmark::DoNotOptimize(export_document(format, f, "QLT_20261208"));
}
BENCHMARK(write_a_days_document)->DenseRange(0, 4)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
