// The flight's places every format marks, in the order they are listed:
// the launch (the liftoff), the burst and the landing once each has
// happened, and the last fix always.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "flight_model.h"

struct landmark {
    const char* name;  // for people: "Launch", "Burst", "Landing", "Last fix"
    const char* role;  // for programs: "launch", "burst", "landing", "last_fix"
    std::size_t index;  // into the flight's points
};

std::vector<landmark> landmarks_of(const flight& f);

// The burst, once it has happened.
std::optional<std::size_t> burst_of(const flight& f);

// The highest point so far: the burst once there was one.
std::size_t highest_of(const flight& f);
