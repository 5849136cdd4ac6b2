#include "documents.h"
#include "fields.h"
#include "flight_time.h"
#include "landing_predictions.h"

// Only numbers, fixed words and ISO times go into the cells, none of which
// holds a comma, a quote or a line end, so no cell needs quoting. The
// header's names are the fields' names in every other document.
void write_csv(std::ostream& out, const flight& f, const prediction_settings& prediction)
{
    std::string text =
        "time,local_time,counter,latitude,longitude,altitude,speed,satellites,temperature,"
        "battery_voltage,climb_rate,derived_climb_rate,stage,predicted_landing_time,"
        "predicted_landing_latitude,predicted_landing_longitude,prediction_radius\r\n";
    prediction_walk predictions(f, prediction, csv_prediction_interval);
    constexpr std::size_t block = 1 << 16;
    text.reserve(block + 256);
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
        if (const std::optional<predicted_landing>& landing = predictions.at(i)) {
            text += ',';
            text += iso8601_utc(landing->time);
            text += ',';
            text += decimals_text(landing->latitude, 6);
            text += ',';
            text += decimals_text(landing->longitude, 6);
            text += ',';
            text += decimals_text(landing->radius, 0);
        } else {
            text += ",,,,";
        }
        text += "\r\n";
        if (text.size() >= block) {
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
            text.clear();
        }
    }
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}
