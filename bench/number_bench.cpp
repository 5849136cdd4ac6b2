// print_form of a single at 7 digits: eight of these go into every log line.
#include <benchmark/benchmark.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "core/arithmetic.h"
#include "format/number_text.h"

namespace {

void print_form_of_a_single(benchmark::State& run)
{
    set_arithmetic_mode();
    // Values like a frame's: coordinates, speeds, voltages, climb rates.
    const std::vector<float> values = {-23.55052f, -46.63331f, 760, 50.004f, 9, -10, 4.02f, 0.38f};
    std::size_t i = 0;
    for (auto _ : run) {
        benchmark::DoNotOptimize(print_form(values[i], 7));
        i = (i + 1) % values.size();
    }
}
BENCHMARK(print_form_of_a_single);

}  // namespace
