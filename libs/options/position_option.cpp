#include "position_option.h"

#include <charconv>
#include <cmath>
#include <string_view>
#include <vector>

namespace {

std::vector<std::string_view> split_at_commas(std::string_view text)
{
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma == std::string_view::npos ? comma : comma - start));
        if (comma == std::string_view::npos) return parts;
        start = comma + 1;
    }
}

}  // namespace

// from_chars ignores the locale; only finite values are positions.
bool read_real_number(std::string_view text, double& value)
{
    double number = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, number, std::chars_format::general);
    if (text.empty() || error != std::errc() || stop != end || !std::isfinite(number)) return false;
    value = number;
    return true;
}

bool parse_position_option(const std::string& text, const std::string& option, position_option& position,
                           std::string& problem)
{
    const std::vector<std::string_view> parts = split_at_commas(text);
    position_option read;
    if (parts.size() < 2 || parts.size() > 3 || !read_real_number(parts[0], read.latitude) ||
        !read_real_number(parts[1], read.longitude) ||
        (parts.size() == 3 && !read_real_number(parts[2], read.altitude))) {
        problem = option + " wants LAT,LON or LAT,LON,ALT in degrees and metres, not '" + text + "'";
        return false;
    }
    if (read.latitude < -90 || read.latitude > 90 || read.longitude < -180 || read.longitude > 180) {
        problem = option + ": latitude must be within -90 to 90 and longitude within -180 to 180";
        return false;
    }
    read.altitude_given = parts.size() == 3;
    position = read;
    return true;
}
