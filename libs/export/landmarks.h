// The three places every format marks, in the order they are listed.
#pragma once

#include <array>
#include <cstddef>

#include "flight_model.h"

struct landmark {
    const char* name;  // for people: "Launch", "Burst", "Last fix"
    const char* role;  // for programs: "launch", "burst", "last_fix"
    std::size_t index;  // into the flight's points
};

inline std::array<landmark, 3> landmarks_of(const flight& f)
{
    return {{{"Launch", "launch", f.launch}, {"Burst", "burst", f.burst}, {"Last fix", "last_fix", f.last}}};
}
