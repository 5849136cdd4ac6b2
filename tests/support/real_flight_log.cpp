#include "real_flight_log.h"

#include <zlib.h>

#include <stdexcept>

std::string real_flight_log()
{
    gzFile in = gzopen(ZARIM_REAL_FLIGHT_LOG, "rb");
    if (in == nullptr) throw std::runtime_error("cannot open " ZARIM_REAL_FLIGHT_LOG);
    std::string text;
    char piece[65536];
    int got = 0;
    while ((got = gzread(in, piece, sizeof piece)) > 0) text.append(piece, static_cast<std::size_t>(got));
    gzclose(in);
    if (got < 0) throw std::runtime_error("cannot read " ZARIM_REAL_FLIGHT_LOG);
    return text;
}
