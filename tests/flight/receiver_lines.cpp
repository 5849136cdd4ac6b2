#include "receiver_lines.h"

#include "logfile/log_file.h"

decoded_frame to_decoded(const frame_values& v)
{
    decoded_frame d;
    d.counter = v.counter;
    d.time_text = v.time;
    d.latitude = v.latitude;
    d.longitude = v.longitude;
    d.altitude = static_cast<std::int16_t>(v.altitude);
    d.speed = v.speed;
    d.satellites = static_cast<std::uint8_t>(v.satellites);
    d.temperature = static_cast<std::int16_t>(v.temperature);
    d.battery_voltage = v.battery;
    d.climb_rate = v.climb;
    return d;
}

std::string receiver_line(const frame_values& v)
{
    return log_line(to_decoded(v));
}
