// The real balloon flight of 2022-04-09 as the receiver would have logged
// it: the tracker's on-board log put through the receiver's own decoding
// and log writer by tools/flight_log_from_csv, kept compressed in
// tests/support/real_flight/. About 3 minutes on the pad, a burst near
// 28,300 m, and an hour on the ground after landing 84 km east-south-east.
#pragma once

#include <string>

inline constexpr const char* real_flight_log_name = "QLT_20220409.txt";

// The whole log, CR LF line ends and all.
std::string real_flight_log();
