#include "simulated_log.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/arithmetic.h"
#include "flight_simulation.h"
#include "format/number_text.h"
#include "logfile/log_file.h"

namespace {

std::string two_digits(long value)
{
    return std::string(1, static_cast<char>('0' + value / 10)) + static_cast<char>('0' + value % 10);
}

}  // namespace

void write_simulated_log(std::ostream& out, int lines)
{
    set_arithmetic_mode();
    flight_plan plan;
    plan.ascent_rate = 1;
    plan.descent_rate = 0.5;
    for (int k = 0; k < lines; ++k) {
        const long double elapsed = k * 0.864L;
        const flight_sample s = flight_sample_at(plan, elapsed);
        const auto second = static_cast<long>(elapsed) % 86400;
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
        out << log_line(d);
    }
}
