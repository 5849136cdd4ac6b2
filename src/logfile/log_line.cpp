#include "console/clock.h"
#include "format/number_text.h"
#include "logfile/log_file.h"

byte_string log_file_name_for_date(byte_view date)
{
    // mm-dd-yyyy: year from position 7, month from 1, day from 4 (from 1).
    if (date.size() < 10) {
        date = "00-00-0000";
    }
    byte_string name = "QLT_";
    name.append(date.substr(6, 4));
    name.append(date.substr(0, 2));
    name.append(date.substr(3, 2));
    name.append(".txt");
    return name;
}

byte_string make_log_file_name()
{
    return log_file_name_for_date(local_date_text());
}

byte_string log_line(const decoded_frame& frame)
{
    // The counter is a 32-bit integer, which needs all 15 digits to stay
    // exact; every other item is shown to 7 like on screen.
    byte_string line = print_form(frame.counter, 15);
    line.push_back(',');
    line.append(frame.time_text);
    const long double items[] = {
        frame.latitude,
        frame.longitude,
        static_cast<long double>(frame.altitude),
        frame.speed,
        static_cast<long double>(frame.satellites),
        static_cast<long double>(frame.temperature),
        frame.battery_voltage,
        frame.climb_rate,
    };
    for (const long double item : items) {
        line.push_back(',');
        line.append(print_form(item, 7));
    }
    line.append("\r\n");
    return line;
}
