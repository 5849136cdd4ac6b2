// The two texts of one valid frame, its table row and its log line: from
// digits made once and laid out in buffers kept from frame to frame, as the
// receive loop makes them, and value by value into new texts, as the plain
// operations do.
#include <benchmark/benchmark.h>

#include "core/arithmetic.h"
#include "format/frame_digits.h"
#include "format/mask.h"
#include "format/masks.h"
#include "logfile/log_file.h"

namespace {

decoded_frame worked_example()
{
    decoded_frame frame;
    frame.counter = 1234;
    frame.time_text = "12:34:56";
    frame.latitude = -23.55052f;
    frame.longitude = -46.63331f;
    frame.altitude = 760;
    frame.speed = 50.004f;
    frame.satellites = 9;
    frame.temperature = -10;
    frame.battery_voltage = 4.02f;
    frame.climb_rate = 6;
    return frame;
}

void texts_from_digits_made_once(benchmark::State& state)
{
    set_arithmetic_mode();
    const decoded_frame frame = worked_example();
    frame_digits digits;
    mask_state row;
    byte_string line;
    for (auto _ : state) {
        make_frame_digits(frame, digits);
        benchmark::DoNotOptimize(format_table_row(frame, digits, row));
        make_log_line(frame, digits, line);
        benchmark::DoNotOptimize(line.data());
    }
}
BENCHMARK(texts_from_digits_made_once);

void texts_value_by_value(benchmark::State& state)
{
    set_arithmetic_mode();
    const decoded_frame frame = worked_example();
    for (auto _ : state) {
        benchmark::DoNotOptimize(format_table_row(frame));
        benchmark::DoNotOptimize(log_line(frame));
    }
}
BENCHMARK(texts_value_by_value);

}  // namespace
