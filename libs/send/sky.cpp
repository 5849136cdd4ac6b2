#include "sky.h"

#include <charconv>
#include <cmath>
#include <numbers>

namespace {

struct air_layer {
    double base;  // metres
    double temperature;  // kelvin at the base
    double lapse;  // kelvin per metre
};

constexpr air_layer air_layers[] = {
    {0, 288.15, -0.0065}, {11000, 216.65, 0}, {20000, 216.65, 0.001}, {32000, 228.65, 0.0028}, {47000, 270.65, 0}};
// g M / R of dry air, kelvin per metre.
constexpr double gravity_over_gas = 9.80665 * 0.0289644 / 8.31432;
constexpr double sea_level_pressure = 101325;
constexpr double gas_per_mass = 8.31432 / 0.0289644;

double ratio_within(const air_layer& layer, double height)
{
    if (layer.lapse == 0) return std::exp(-gravity_over_gas * (height - layer.base) / layer.temperature);
    const double temperature = layer.temperature + layer.lapse * (height - layer.base);
    return std::pow(temperature / layer.temperature, -gravity_over_gas / layer.lapse);
}

bool read_number(std::string_view word, double& value)
{
    double number = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), number);
    if (error != std::errc() || end != word.data() + word.size() || !std::isfinite(number)) return false;
    value = number;
    return true;
}

std::vector<std::string_view> words_of(std::string_view line)
{
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        std::size_t end = at;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
        if (end > at) words.push_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

}  // namespace

double sky_density(double altitude)
{
    const double height = std::fmin(std::fmax(altitude, -2000.0), 80000.0);
    double pressure = sea_level_pressure;
    const air_layer* layer = &air_layers[0];
    for (std::size_t i = 1; i < std::size(air_layers) && height >= air_layers[i].base; ++i) {
        pressure *= ratio_within(*layer, air_layers[i].base);
        layer = &air_layers[i];
    }
    pressure *= ratio_within(*layer, height);
    const double temperature = layer->temperature + layer->lapse * (height - layer->base);
    return pressure / (gas_per_mass * temperature);
}

wind_vector_mps wind_between_levels(const std::vector<wind_level>& levels, double altitude)
{
    if (levels.empty()) return {};
    if (altitude <= levels.front().altitude) return {levels.front().east, levels.front().north};
    if (altitude >= levels.back().altitude) return {levels.back().east, levels.back().north};
    std::size_t above = 1;
    while (levels[above].altitude < altitude) ++above;
    const wind_level& a = levels[above - 1];
    const wind_level& b = levels[above];
    const double f = (altitude - a.altitude) / (b.altitude - a.altitude);
    return {a.east + (b.east - a.east) * f, a.north + (b.north - a.north) * f};
}

wind_level level_from_sounding(double altitude, double speed, double from_direction)
{
    const double towards = (from_direction + 180) * std::numbers::pi / 180;
    return wind_level{altitude, speed * std::sin(towards), speed * std::cos(towards)};
}

std::vector<wind_level> spring_day_winds()
{
    struct sounding_line {
        double altitude, speed, direction;
    };
    constexpr sounding_line day[] = {
        {0, 3, 200},      {1000, 6, 225},   {2000, 9, 240},   {3000, 11, 250},  {5000, 16, 255},
        {7000, 24, 260},  {9000, 33, 265},  {10500, 40, 268}, {11500, 41, 270}, {12500, 36, 272},
        {14000, 24, 275}, {16000, 14, 275}, {18000, 8, 270},  {20000, 4, 260},  {21000, 1.5, 230},
        {23000, 3, 110},  {26000, 5, 95},   {30000, 7, 90},   {35000, 10, 90}};
    std::vector<wind_level> levels;
    for (const sounding_line& l : day) levels.push_back(level_from_sounding(l.altitude, l.speed, l.direction));
    return levels;
}

namespace {

bool read_levels(std::string_view text, std::vector<wind_level>& levels, std::size_t& bad_line,
                 std::string& problem)
{
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++number;
        if (const std::size_t comment = line.find('#'); comment != std::string_view::npos) line = line.substr(0, comment);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::vector<std::string_view> words = words_of(line);
        if (words.empty()) continue;
        bad_line = number;
        double altitude = 0;
        double speed = 0;
        double direction = 0;
        if (words.size() != 3) {
            problem = "expected three numbers: height (m), speed (m/s), direction (degrees)";
            return false;
        }
        if (!read_number(words[0], altitude) || altitude < -1000 || altitude > 60000) {
            problem = "height must be a number of metres from -1000 to 60000";
            return false;
        }
        if (!read_number(words[1], speed) || speed < 0 || speed > 200) {
            problem = "speed must be a number of m/s from 0 to 200";
            return false;
        }
        if (!read_number(words[2], direction) || direction < 0 || direction > 360) {
            problem = "direction must be a number of degrees from 0 to 360";
            return false;
        }
        if (!levels.empty() && altitude <= levels.back().altitude) {
            problem = "heights must rise from line to line";
            return false;
        }
        levels.push_back(level_from_sounding(altitude, speed, direction));
        bad_line = 0;
    }
    if (levels.empty()) {
        problem = "no wind levels (lines of height, speed and direction)";
        return false;
    }
    return true;
}

}  // namespace

bool read_wind_profile(std::string_view text, std::vector<wind_level>& levels, std::size_t& bad_line,
                       std::string& problem)
{
    levels.clear();
    bad_line = 0;
    if (read_levels(text, levels, bad_line, problem)) return true;
    levels.clear();
    return false;
}
