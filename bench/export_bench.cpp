// A whole day's log of 100,000 lines, the receiver's own writing, exported
// to every format: reading, merging, the flight, the five documents and
// their files.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "documents.h"
#include "export_run.h"
#include "simulated_log.h"

namespace {

constexpr int day_lines = 100000;

struct day_files {
    std::filesystem::path directory;
    std::string log;
    day_files()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "zarim_export_bench_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        directory = pattern;
        log = (directory / "QLT_20261208.txt").string();
        std::ofstream file(log, std::ios::binary);
        write_simulated_log(file, day_lines);
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
