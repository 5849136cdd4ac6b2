#include "fields.h"

#include <cmath>

#include "flight_time.h"

namespace {

nlohmann::json number_or_null(double value)
{
    return std::isfinite(value) ? nlohmann::json(value) : nlohmann::json(nullptr);
}

}  // namespace

nlohmann::json frame_fields(const log_record& frame)
{
    return {{"counter", frame.counter},
            {"latitude", number_or_null(frame.latitude)},
            {"longitude", number_or_null(frame.longitude)},
            {"altitude", frame.altitude},
            {"speed", frame.speed},
            {"satellites", frame.satellites},
            {"temperature", frame.temperature},
            {"battery_voltage", frame.battery_voltage},
            {"climb_rate", frame.climb_rate}};
}

nlohmann::json timed_frame_fields(const log_record& frame, std::int64_t local_time, int utc_offset)
{
    nlohmann::json fields = frame_fields(frame);
    fields["time"] = iso8601_utc(local_time - static_cast<std::int64_t>(utc_offset) * 60);
    fields["local_time"] = iso8601_local(local_time, utc_offset);
    return fields;
}

nlohmann::json point_fields(const flight_point& point, int utc_offset)
{
    nlohmann::json fields = timed_frame_fields(point.frame, point.local_time, utc_offset);
    fields["derived_climb_rate"] = point.climb_rate;
    return fields;
}

std::string json_text(const nlohmann::json& value, int indent)
{
    return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}
