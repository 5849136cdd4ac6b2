#include <benchmark/benchmark.h>

#include "core/arithmetic.h"
#include "format/masks.h"

namespace {

// One valid frame's row, the formatting the receive loop does per frame.
void table_row(benchmark::State& state)
{
    set_arithmetic_mode();
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
    for (auto _ : state) {
        benchmark::DoNotOptimize(frame);
        byte_string row = format_table_row(frame);
        benchmark::DoNotOptimize(row);
    }
}
BENCHMARK(table_row);

void address_text(benchmark::State& state)
{
    set_arithmetic_mode();
    const std::uint8_t address[4] = {192, 168, 1, 10};
    for (auto _ : state) {
        byte_string text = format_address_text(address);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(address_text);

}  // namespace
