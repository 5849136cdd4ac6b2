#include "landmarks.h"

std::vector<landmark> landmarks_of(const flight& f)
{
    if (f.points.empty()) return {};
    return {{"Launch", "launch", f.launch}, {"Burst", "burst", f.burst}, {"Last fix", "last_fix", f.last}};
}

std::optional<std::size_t> burst_of(const flight& f)
{
    if (f.points.empty()) return std::nullopt;
    return f.burst;
}

std::size_t highest_of(const flight& f)
{
    return f.burst;
}
