#include "console/clock.h"
#include "format/number_text.h"
#include "format/rounded_print_form.h"
#include "format/small_copy.h"
#include "logfile/log_file.h"

#include <span>

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

namespace {

// A line whose time text is longer than any a frame carries: kept out of
// make_log_line, whose code a frame runs with cold caches.
[[gnu::noinline, gnu::cold]] void assign_with_long_time(byte_string& line, std::span<const char> before,
                                                       byte_view time_text, std::span<const char> after)
{
    line.assign(before.data(), before.size());
    line.append(time_text);
    line.append(after.data(), after.size());
}

}  // namespace

void make_log_line(const decoded_frame& frame, const frame_digits& digits, byte_string& line)
{
    // The 7- and 15-digit strings are roundings of the 19-digit ones the
    // row was laid out from, rounded as they are laid out. The line is laid
    // out aside and handed over in one copy; only a time text far longer
    // than a frame's goes in apart.
    constexpr std::size_t longest_time_text = 16;
    constexpr std::size_t room = print_form_limit * 9 + longest_time_text + rounded_print_form_room + 16;
    char text[room];
    std::size_t length = 0;
    const auto put_number = [&](const digit_string& value, int precision) {
        length += lay_out_rounded_print_form(
            value, precision, std::span<char, rounded_print_form_room>(text + length, rounded_print_form_room));
    };
    put_number(digits.counter, 15);
    text[length++] = ',';
    const std::size_t time_size = frame.time_text.size();
    const bool time_fits = time_size <= longest_time_text;
    if (time_fits) {
        copy_up_to_16(text + length, frame.time_text.data(), time_size);
        length += time_size;
    }
    const std::size_t time_end = length;
    for (const digit_string& value : digits.values) {
        text[length++] = ',';
        put_number(value, 7);
    }
    text[length++] = '\r';
    text[length++] = '\n';
    if (time_fits) {
        line.assign(text, length);
    } else {
        assign_with_long_time(line, std::span(text, time_end), frame.time_text,
                              std::span(text + time_end, length - time_end));
    }
}
