#include <algorithm>
#include <cctype>
#include <cmath>
#include <vector>

#include "documents.h"
#include "flight_time.h"

namespace {

constexpr double width = 1000;
constexpr double height = 660;
constexpr double plot_left = 90;
constexpr double plot_right = 960;
constexpr double altitude_top = 86;
constexpr double altitude_bottom = 400;
constexpr double climb_top = 440;
constexpr double climb_bottom = 570;

const char* const ascent_colour = "#d62728";
const char* const descent_colour = "#1f77b4";
const char* const ground_colour = "#7f7f7f";
const char* const grid_colour = "#e3e3e3";
const char* const axis_colour = "#333333";

struct xy {
    double x;
    double y;
};

// A straight map from a value range onto a pixel range.
struct scale {
    double low;
    double high;
    double from;
    double to;
};

double at(const scale& s, double value)
{
    return s.from + (value - s.low) / (s.high - s.low) * (s.to - s.from);
}

std::string pixels(double value)
{
    return decimals_text(value, 1);
}

// 1, 2 or 5 times a power of ten, giving about `count` steps over `span`.
double value_step(double span, double count)
{
    const double raw = span / count;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double m : {1.0, 2.0, 5.0, 10.0}) {
        if (m * magnitude >= raw) return m * magnitude;
    }
    return 10 * magnitude;
}

// Steps a clock is read in, seconds.
std::int64_t time_step(std::int64_t span)
{
    for (const std::int64_t step : {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200,
                                    10800, 21600, 43200}) {
        if (span / step <= 9) return step;
    }
    return std::int64_t{86400} * (span / (std::int64_t{86400} * 8) + 1);
}

std::int64_t floor_div(std::int64_t a, std::int64_t b)
{
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::string clock_text(std::int64_t local_time, bool seconds)
{
    const std::string iso = iso8601_local(local_time, 0);  // yyyy-mm-ddThh:mm:ss+00:00
    return iso.substr(11, seconds ? 8 : 5);
}

pugi::xml_node add(pugi::xml_node parent, const char* name)
{
    return parent.append_child(name);
}

void set(pugi::xml_node node, const char* attribute, const std::string& value)
{
    node.append_attribute(attribute).set_value(value.c_str());
}

void set(pugi::xml_node node, const char* attribute, const char* value)
{
    node.append_attribute(attribute).set_value(value);
}

void line(pugi::xml_node parent, double x1, double y1, double x2, double y2, const char* colour)
{
    pugi::xml_node l = add(parent, "line");
    set(l, "x1", pixels(x1));
    set(l, "y1", pixels(y1));
    set(l, "x2", pixels(x2));
    set(l, "y2", pixels(y2));
    set(l, "stroke", colour);
}

pugi::xml_node text(pugi::xml_node parent, double x, double y, const std::string& content,
                    const char* anchor = "start")
{
    pugi::xml_node t = add(parent, "text");
    set(t, "x", pixels(x));
    set(t, "y", pixels(y));
    if (std::string_view(anchor) != "start") set(t, "text-anchor", anchor);
    t.text().set(content.c_str());
    return t;
}

void axis_title(pugi::xml_node parent, double y_middle, const std::string& content)
{
    pugi::xml_node t = text(parent, 0, 0, content, "middle");
    set(t, "transform", "translate(24 " + pixels(y_middle) + ") rotate(-90)");
    set(t, "font-size", "14");
}

// Per pixel column the first, lowest, highest and last point, in their
// order: the drawn line looks the same, and a day of frames stays a few
// thousand points.
std::vector<xy> thinned(const std::vector<xy>& points)
{
    if (points.size() <= 4 * static_cast<std::size_t>(plot_right - plot_left)) return points;
    std::vector<xy> kept;
    std::size_t start = 0;
    while (start < points.size()) {
        const double column = std::floor(points[start].x);
        std::size_t end = start;
        std::size_t lowest = start;
        std::size_t highest = start;
        while (end < points.size() && std::floor(points[end].x) == column) {
            if (points[end].y < points[lowest].y) lowest = end;
            if (points[end].y > points[highest].y) highest = end;
            ++end;
        }
        std::vector<std::size_t> chosen = {start, lowest, highest, end - 1};
        std::sort(chosen.begin(), chosen.end());
        chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
        for (const std::size_t i : chosen) kept.push_back(points[i]);
        start = end;
    }
    return kept;
}

void polyline(pugi::xml_node parent, const std::vector<xy>& points, const char* stage,
              const char* colour)
{
    if (points.empty()) return;
    std::string list;
    for (const xy& p : thinned(points)) {
        if (!list.empty()) list += ' ';
        list += pixels(p.x) + ',' + pixels(p.y);
    }
    pugi::xml_node l = add(parent, "polyline");
    set(l, "class", stage);
    set(l, "points", list);
    set(l, "fill", "none");
    set(l, "stroke", colour);
    set(l, "stroke-width", "2");
    set(l, "stroke-linejoin", "round");
}

// The stages as separate lines that meet: the pad ends at the liftoff, the
// descent starts at the burst, the ground at the landing.
template <typename Value>
void stage_lines(pugi::xml_node parent, const flight& f, const scale& x, const scale& y, Value value)
{
    std::vector<xy> pad;
    std::vector<xy> ascent;
    std::vector<xy> descent;
    std::vector<xy> ground;
    for (std::size_t i = 0; i < f.points.size(); ++i) {
        const xy p{at(x, static_cast<double>(f.points[i].local_time)), at(y, value(f.points[i]))};
        const bool more = i + 1 < f.points.size();
        switch (stage_at(f, i)) {
        case flight_stage::pad:
            pad.push_back(p);
            break;
        case flight_stage::ascent:
            if (i == f.liftoff && i > 0) pad.push_back(p);
            ascent.push_back(p);
            if (i == f.burst && more) descent.push_back(p);
            break;
        case flight_stage::descent:
            descent.push_back(p);
            if (i == f.landing && more) ground.push_back(p);
            break;
        case flight_stage::landed:
            ground.push_back(p);
            break;
        }
    }
    polyline(parent, pad, "pad", ground_colour);
    polyline(parent, ascent, "ascent", ascent_colour);
    polyline(parent, descent, "descent", descent_colour);
    polyline(parent, ground, "landed", ground_colour);
}

// Horizontal grid lines and labels at round values.
scale value_axis(pugi::xml_node parent, double low, double high, double top, double bottom,
                 double ticks)
{
    if (high <= low) {
        low -= 1;
        high += 1;
    }
    const double step = value_step(high - low, ticks);
    low = std::floor(low / step) * step;
    high = std::ceil(high / step) * step;
    const scale s{low, high, bottom, top};
    pugi::xml_node labels = add(parent, "g");
    set(labels, "font-size", "12");
    set(labels, "fill", axis_colour);
    const auto steps = static_cast<int>(std::lround((high - low) / step));
    for (int k = 0; k <= steps; ++k) {
        const double v = low + k * step;
        const double y = at(s, v);
        line(parent, plot_left, y, plot_right, y, v == 0 ? "#9a9a9a" : grid_colour);
        line(parent, plot_left - 5, y, plot_left, y, axis_colour);
        text(labels, plot_left - 8, y + 4, decimals_text(v, 3), "end");
    }
    line(parent, plot_left, top, plot_left, bottom, axis_colour);
    line(parent, plot_left, bottom, plot_right, bottom, axis_colour);
    return s;
}

void time_grid(pugi::xml_node parent, const scale& x, bool labelled)
{
    const auto low = static_cast<std::int64_t>(x.low);
    const auto high = static_cast<std::int64_t>(x.high);
    const std::int64_t step = time_step(high - low);
    const bool days_differ = floor_div(low, 86400) != floor_div(high, 86400);
    pugi::xml_node labels = add(parent, "g");
    set(labels, "font-size", "12");
    set(labels, "fill", axis_colour);
    bool first = true;
    for (std::int64_t t = floor_div(low + step - 1, step) * step; t <= high; t += step) {
        const double px = at(x, static_cast<double>(t));
        line(parent, px, altitude_top, px, altitude_bottom, grid_colour);
        line(parent, px, climb_top, px, climb_bottom, grid_colour);
        line(parent, px, altitude_bottom, px, altitude_bottom + 5, axis_colour);
        line(parent, px, climb_bottom, px, climb_bottom + 5, axis_colour);
        if (!labelled) continue;
        text(labels, px, climb_bottom + 19, clock_text(t, step < 60), "middle");
        if (days_differ && (first || t % 86400 == 0))
            text(labels, px, climb_bottom + 33, iso8601_utc(t).substr(0, 10), "middle");
        first = false;
    }
}

void legend(pugi::xml_node parent)
{
    pugi::xml_node g = add(parent, "g");
    set(g, "font-size", "13");
    set(g, "fill", axis_colour);
    double x = plot_right - 330;
    for (const auto& [name, colour] : {std::pair{"ascent", ascent_colour},
                                       std::pair{"descent", descent_colour},
                                       std::pair{"on the ground", ground_colour}}) {
        pugi::xml_node l = add(g, "line");
        set(l, "x1", pixels(x));
        set(l, "y1", "64");
        set(l, "x2", pixels(x + 24));
        set(l, "y2", "64");
        set(l, "stroke", colour);
        set(l, "stroke-width", "3");
        text(g, x + 30, 68, name);
        x += static_cast<double>(std::string_view(name).size()) * 8 + 50;
    }
}

}  // namespace

pugi::xml_document svg_profile(const flight& f, const std::string& title)
{
    pugi::xml_document document;
    pugi::xml_node svg = document.append_child("svg");
    set(svg, "xmlns", "http://www.w3.org/2000/svg");
    set(svg, "version", "1.1");
    set(svg, "width", pixels(width));
    set(svg, "height", pixels(height));
    set(svg, "viewBox", "0 0 " + pixels(width) + " " + pixels(height));
    set(svg, "font-family", "DejaVu Sans, Arial, Helvetica, sans-serif");
    pugi::xml_node background = add(svg, "rect");
    set(background, "width", "100%");
    set(background, "height", "100%");
    set(background, "fill", "white");
    add(svg, "title").text().set(("Flight profile of " + title).c_str());

    pugi::xml_node heading = text(svg, plot_left, 30, "Flight profile: " + title);
    set(heading, "font-size", "20");
    set(heading, "font-weight", "bold");
    if (f.points.empty()) {
        text(svg, width / 2, height / 2, "No usable position in the log", "middle");
        return document;
    }

    const flight_point& first = f.points.front();
    const flight_point& last = f.points[f.last];
    const std::string zone = "UTC" + utc_offset_text(f.utc_offset);
    // Only what has happened: a flight cut short has no burst or landing.
    std::string events;
    if (f.liftoff) events += "launch " + clock_text(f.points[*f.liftoff].local_time, true) + ", ";
    if (f.burst) {
        const flight_point& burst = f.points[*f.burst];
        events += "burst " + std::to_string(burst.frame.altitude) + " m at " + clock_text(burst.local_time, true) + ", ";
    } else if (f.liftoff) {
        events += "highest so far " + std::to_string(f.points[f.highest].frame.altitude) + " m, ";
    }
    if (f.landing) events += "landing " + clock_text(f.points[*f.landing].local_time, true) + ", ";
    events += "last fix " + clock_text(last.local_time, true) + " (local time, " + zone + ")";
    events[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(events[0])));
    pugi::xml_node sub = text(svg, plot_left, 52, events);
    set(sub, "font-size", "13");
    set(sub, "fill", axis_colour);
    legend(svg);

    auto first_time = static_cast<double>(first.local_time);
    auto last_time = static_cast<double>(last.local_time);
    if (last_time <= first_time) {
        first_time -= 30;
        last_time += 30;
    }
    const scale x{first_time, last_time, plot_left, plot_right};

    std::int32_t lowest = first.frame.altitude;
    std::int32_t highest = first.frame.altitude;
    double slowest = 0;
    double fastest = 0;
    for (const flight_point& p : f.points) {
        lowest = std::min(lowest, p.frame.altitude);
        highest = std::max(highest, p.frame.altitude);
        slowest = std::min(slowest, p.climb_rate);
        fastest = std::max(fastest, p.climb_rate);
    }

    pugi::xml_node grid = add(svg, "g");
    set(grid, "id", "grid");
    set(grid, "stroke-width", "1");
    time_grid(grid, x, true);

    pugi::xml_node altitude = add(svg, "g");
    set(altitude, "id", "altitude");
    const scale y_altitude = value_axis(altitude, lowest, highest, altitude_top,
                                        altitude_bottom, 7);
    axis_title(altitude, (altitude_top + altitude_bottom) / 2, "altitude (m)");
    stage_lines(altitude, f, x, y_altitude,
                [](const flight_point& p) { return static_cast<double>(p.frame.altitude); });

    pugi::xml_node climb = add(svg, "g");
    set(climb, "id", "climb");
    const scale y_climb = value_axis(climb, slowest, fastest, climb_top, climb_bottom, 4);
    axis_title(climb, (climb_top + climb_bottom) / 2, "climb rate (m/s)");
    stage_lines(climb, f, x, y_climb, [](const flight_point& p) { return p.climb_rate; });

    pugi::xml_node time_title = text(svg, (plot_left + plot_right) / 2, height - 12,
                                     "local time of the receiver's clock (" + zone + ")", "middle");
    set(time_title, "font-size", "14");

    // The burst: a dashed line through both plots, a marker and its figures.
    if (!f.burst) return document;
    const flight_point& burst = f.points[*f.burst];
    pugi::xml_node mark = add(svg, "g");
    set(mark, "id", "burst");
    const double bx = at(x, static_cast<double>(burst.local_time));
    const double by = at(y_altitude, burst.frame.altitude);
    pugi::xml_node dashed = add(mark, "line");
    set(dashed, "x1", pixels(bx));
    set(dashed, "y1", pixels(altitude_top));
    set(dashed, "x2", pixels(bx));
    set(dashed, "y2", pixels(climb_bottom));
    set(dashed, "stroke", axis_colour);
    set(dashed, "stroke-dasharray", "4 4");
    pugi::xml_node dot = add(mark, "circle");
    set(dot, "cx", pixels(bx));
    set(dot, "cy", pixels(by));
    set(dot, "r", "6");
    set(dot, "fill", "#ffbf00");
    set(dot, "stroke", axis_colour);
    set(dot, "stroke-width", "1.5");
    const bool right_half = bx > (plot_left + plot_right) / 2;
    pugi::xml_node label = text(mark, right_half ? bx - 12 : bx + 12, by + 22,
                                "burst " + std::to_string(burst.frame.altitude) + " m, " +
                                    clock_text(burst.local_time, true),
                                right_half ? "end" : "start");
    set(label, "font-size", "14");
    set(label, "font-weight", "bold");
    // A white edge keeps the text readable where it crosses a line.
    set(label, "stroke", "white");
    set(label, "stroke-width", "4");
    set(label, "paint-order", "stroke");
    return document;
}
