// What one table row costs on the terminal: the region scroll that makes
// room on row 10 and the five slices written there, two of them in light
// red. Counts the bytes and the writes that one pass sends.
#include <benchmark/benchmark.h>

#include <string>

#include "console/device.h"

namespace {

std::size_t bytes_sent = 0;
std::size_t writes = 0;

long counting_write(int, const char*, std::size_t length)
{
    bytes_sent += length;
    ++writes;
    return static_cast<long>(length);
}

void table_row_update(benchmark::State& state)
{
    console_device console;
    open_console_model(console, 25, 80);
    attach_terminal_output(console, 99, true);
    console.output.write = counting_write;
    clear_screen(console);
    flush_console(console);

    const std::string slices[] = {"   1234  ", "12:34:56", " -23.550520  -46.633308   760  50.0    9   -10  ",
                                  "  4.02", "   6.00"};
    std::size_t passes = 0;
    bytes_sent = 0;
    writes = 0;
    for (auto _ : state) {
        scroll_region(console, 10, 1, 0, 0, scroll_direction::down, 1);
        move_cursor(console, 10, 1);
        write_text(console, slices[0]);
        set_colours(console, 12, 0);
        write_text(console, slices[1]);
        set_colours(console, 7, 0);
        write_text(console, slices[2]);
        set_colours(console, 12, 0);
        write_text(console, slices[3]);
        set_colours(console, 7, 0);
        write_text(console, slices[4]);
        flush_console(console);
        ++passes;
    }
    state.counters["bytes_per_update"] = static_cast<double>(bytes_sent) / static_cast<double>(passes);
    state.counters["writes_per_update"] = static_cast<double>(writes) / static_cast<double>(passes);
    state.counters["byte_budget"] = 78 * 1.3 + 40;
}
BENCHMARK(table_row_update);

}  // namespace
