// The places every format marks, in the order they are listed: only the
// events that have happened, and the last fix.
#pragma once

#include <cstddef>
#include <vector>

#include "flight_model.h"

struct landmark {
    const char* name;  // for people: "Launch", "Burst", "Landing", "Last fix"
    const char* role;  // for programs: "launch", "burst", "landing", "last_fix"
    std::size_t index;  // into the flight's points
};

inline std::vector<landmark> landmarks_of(const flight& f)
{
    std::vector<landmark> marks;
    if (f.liftoff) marks.push_back({"Launch", "launch", *f.liftoff});
    if (f.burst) marks.push_back({"Burst", "burst", *f.burst});
    if (f.landing) marks.push_back({"Landing", "landing", *f.landing});
    marks.push_back({"Last fix", "last_fix", f.last});
    return marks;
}
