#include "atmosphere.h"

#include <array>
#include <cmath>

namespace {

// The standard's constants: gas constant, molar mass of air, gravity at 45°,
// and the Earth radius that turns geometric altitude into geopotential.
constexpr double gas_constant = 8.31432;  // J/(mol K)
constexpr double molar_mass = 0.0289644;  // kg/mol
constexpr double standard_gravity = 9.80665;  // m/s2
constexpr double earth_radius = 6356766;  // metres
constexpr double hydrostatic = standard_gravity * molar_mass / gas_constant;  // K/m

struct layer {
    double base = 0;  // geopotential metres
    double temperature = 0;  // kelvin at the base
    double gradient = 0;  // kelvin per geopotential metre
    double pressure = 0;  // pascals at the base
};

double pressure_within(const layer& l, double height)
{
    if (l.gradient == 0) return l.pressure * std::exp(-hydrostatic * (height - l.base) / l.temperature);
    const double temperature = l.temperature + l.gradient * (height - l.base);
    return l.pressure * std::pow(temperature / l.temperature, -hydrostatic / l.gradient);
}

// The base pressures follow from sea level and the layers below, so they are
// worked out once rather than copied from the table (and rounded there).
std::array<layer, 7> make_layers()
{
    std::array<layer, 7> layers{{{0, 288.15, -0.0065, 101325},
                                 {11000, 216.65, 0, 0},
                                 {20000, 216.65, 0.001, 0},
                                 {32000, 228.65, 0.0028, 0},
                                 {47000, 270.65, 0, 0},
                                 {51000, 270.65, -0.0028, 0},
                                 {71000, 214.65, -0.002, 0}}};
    for (std::size_t i = 1; i < layers.size(); ++i)
        layers[i].pressure = pressure_within(layers[i - 1], layers[i].base);
    return layers;
}

}  // namespace

air_state standard_atmosphere(double altitude)
{
    static const std::array<layer, 7> layers = make_layers();
    // Keeps the arithmetic finite for any input; nothing flies beyond it.
    const double clamped = std::fmin(std::fmax(altitude, -5000.0), 100000.0);
    const double height = earth_radius * clamped / (earth_radius + clamped);
    std::size_t i = layers.size() - 1;
    while (i > 0 && height < layers[i].base) --i;
    const layer& l = layers[i];
    air_state air;
    air.temperature = l.temperature + l.gradient * (height - l.base);
    air.pressure = pressure_within(l, height);
    air.density = air.pressure * molar_mass / (gas_constant * air.temperature);
    return air;
}
