#include <array>
#include <charconv>
#include <cmath>

#include "documents.h"

std::string shortest_text(double value)
{
    value += 0.0;  // -0 becomes 0: no "-0" in a document
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return {buffer.data(), result.ptr};
}

std::string decimals_text(double value, int places)
{
    const double scale = std::pow(10.0, places);
    const double rounded = std::round(value * scale) / scale + 0.0;  // never "-0"
    std::array<char, 64> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), rounded,
                                      std::chars_format::fixed, places);
    std::string text(buffer.data(), result.ptr);
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0') text.pop_back();
        if (text.back() == '.') text.pop_back();
    }
    return text;
}
