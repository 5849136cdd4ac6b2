#include "run_support.h"

#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "flight_simulation.h"
#include "frame_encoding.h"

std::vector<std::string> flight_texts(std::uint64_t count, long rate)
{
    flight_state flight;
    flight.start_time = static_cast<long double>(std::time(nullptr));
    flight.step = 1.0L / static_cast<long double>(rate);
    std::vector<std::string> texts;
    texts.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        texts.push_back(frame_hex_text(encode_frame(step_flight(flight).fields)));
    }
    return texts;
}

std::string make_scratch_directory()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zarim-bench-XXXXXX";
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string{};
}

void remove_scratch_directory(const log_counter& log)
{
    if (!log.file.empty()) unlink(log.file.c_str());
    rmdir(log.directory.c_str());
}

void sleep_ms(int milliseconds)
{
    timespec pause{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0) {
    }
}
