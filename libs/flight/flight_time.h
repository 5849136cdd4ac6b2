// The receiver's clock is local time without a zone; these turn it into
// UTC and into ISO 8601 texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// "±HH:MM" as ISO 8601 writes an offset from UTC ("-03:00" for Brasília
// time, "+05:30"), also "±HHMM", "±HH" and "Z". Hours 0 to 18, minutes 0
// to 59; the sign is required. Returns the offset in minutes east of UTC.
std::optional<int> parse_utc_offset(std::string_view text);

// This machine's offset from UTC, in minutes, at the given moment of its
// local clock (local_seconds of log_reading.h), daylight saving included as
// the time zone database has it then. 0 when the moment cannot be placed.
int machine_utc_offset(std::int64_t local_time);

// "2026-12-08T15:34:56Z" for seconds since 1970-01-01 00:00 UTC.
std::string iso8601_utc(std::int64_t utc_time);

// "2026-12-08T12:34:56-03:00": a local clock reading with its offset.
std::string iso8601_local(std::int64_t local_time, int offset_minutes);

// "-03:00", "+00:00": the offset as it ends an ISO 8601 time.
std::string utc_offset_text(int offset_minutes);

// "1 h 23 min 05 s", "4 min 00 s", "12 s": a duration for people.
std::string duration_text(std::int64_t seconds);
