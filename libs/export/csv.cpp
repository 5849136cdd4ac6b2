#include "documents.h"
#include "flight_time.h"

// Only numbers, fixed words and ISO times go into the cells, none of which
// holds a comma, a quote or a line end, so no cell needs quoting.
std::string csv_document(const flight& f)
{
    std::string text =
        "time_utc,time_local,counter,latitude,longitude,altitude_m,speed_kmh,satellites,"
        "temperature_c,battery_v,climb_rate_logged_m_s,climb_rate_m_s,stage\r\n";
    text.reserve(text.size() + f.points.size() * 140);
    for (std::size_t i = 0; i < f.points.size(); ++i) {
        const flight_point& p = f.points[i];
        const log_record& r = p.frame;
        text += iso8601_utc(p.utc_time);
        text += ',';
        text += iso8601_local(p.local_time, f.utc_offset);
        for (const std::string& cell :
             {std::to_string(r.counter), shortest_text(r.latitude), shortest_text(r.longitude),
              std::to_string(r.altitude), shortest_text(r.speed), std::to_string(r.satellites),
              std::to_string(r.temperature), shortest_text(r.battery_voltage),
              shortest_text(r.climb_rate), decimals_text(p.climb_rate, 2)}) {
            text += ',';
            text += cell;
        }
        text += ',';
        text += stage_name(stage_at(f, i));
        text += "\r\n";
    }
    return text;
}
