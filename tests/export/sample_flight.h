// A short flight from two stations' hand-made logs, holding every awkward
// form a log can have: midnight in the middle, a 0,0 fix, an infinite
// latitude, a bad line, numbers without a zero before the point, LF and
// CR LF line ends, a last line without one, and frames heard by both.
#pragma once

#include <cstdio>
#include <string>

#include "flight_model.h"

inline const char* const station_a_log =
    " 1 ,23:58:00,-23.55 ,-46.63 , 760 , 0 , 9 , 25 , 4.2 , 0 \r\n"
    " 2 ,23:59:00,-23.5501 ,-46.629 , 1060 , 18.52 , 10 , 20 , 4.18 , 5 \r\n"
    " 3 ,00:00:00, 0 , 0 , 0 , 0 , 0 , 0 , 0 , 5 \r\n"
    " 4 ,00:01:00,-23.5502 ,-46.628 , 1360 , 18.52 , 11 , 15 , 4.16 , 5 \r\n"
    "garbage\r\n"
    " 5 ,00:02:00, 9.999999E+998 ,-46.627 , 1660 , 18.52 , 11 , 10 , 4.14 , 5 \r\n"
    " 6 ,00:03:00,-23.5504 ,-46.626 , 1500 , 46.3 , 9 ,-6 , .98 ,-2.33 \r\n";

inline const char* const station_b_log =
    " 4 ,00:01:00,-23.5502 ,-46.628 , 1360 , 18.52 , 11 , 15 , 4.16 , 0 \n"
    " 6 ,00:03:00,-23.5504 ,-46.626 , 1500 , 46.3 , 9 ,-6 , .98 ,-.25 \n"
    " 7 ,00:04:00,-23.5505 ,-46.625 , 1000 , 472.26 , 8 , 2 , .02 , 1.2345E-4 \n"
    " 8 ,00:05:00,-23.5506 ,-46.624 , 700 , 0 , 7 , 2 , 4.02 ,-5 ";

// Brasília time, so that UTC is three hours on.
inline flight sample_flight()
{
    return build_flight({read_log_text("a/QLT_20261231.txt", station_a_log),
                         read_log_text("b/QLT_20270101.txt", station_b_log)},
                        -180);
}

// `count` frames a second apart from `start` seconds after midnight, the
// payload climbing a metre a second, with `gap_after` frames and then a
// silence of `gap` seconds.
inline std::string steady_log(int count, int start = 0, int gap_after = -1, int gap = 0,
                              double latitude = -23.5, double longitude = -46.6)
{
    std::string text;
    int second = start;
    for (int i = 0; i < count; ++i) {
        if (i == gap_after) second += gap;
        char line[128];
        std::snprintf(line, sizeof line, " %d ,%02d:%02d:%02d, %.5f , %.5f , %d , 10 , 9 , 20 , 4.2 , 1 \r\n",
                      i % 30000, second / 3600 % 24, second / 60 % 60, second % 60,
                      latitude - i * 1e-5, longitude + i * 1e-5, 760 + i);
        text += line;
        ++second;
    }
    return text;
}
