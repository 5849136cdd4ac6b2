// A tracker's on-board log (CSV with a header row, gzip-compressed or not)
// as the receiver would have logged the flight had it heard every frame:
// each row becomes the frame the tracker sends, which the receiver's own
// code checks, decodes (its climb rule included) and writes as a log line.
//
//   flight_log_from_csv FLIGHT.csv.gz > QLT_yyyymmdd.txt
//
// The columns used, by their header names: Time (hh:mm:ss, the tracker's
// clock), Sats, GPS altitude (ft), Speed (MPH), Latitude, Longitude (degrees),
// Int Temp F and battery v. Each goes into its frame field as the tracker
// puts it there: feet to metres, miles an hour to whole knots, Fahrenheit to
// whole degrees Celsius, and volts to steps of 0.0196 V, clamped to what the
// field's byte can carry. Frames are counted from 1 in row order.
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "core/arithmetic.h"
#include "core/frame.h"
#include "frame_encoding.h"
#include "logfile/log_file.h"

namespace {

std::vector<std::string> cells_of(std::string line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);  // a byte-order mark
    std::vector<std::string> cells;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = line.find(',', start);
        cells.push_back(line.substr(start, comma - start));
        if (comma == std::string::npos) return cells;
        start = comma + 1;
    }
}

long rounded(double value, long low, long high)
{
    return std::clamp(std::lround(value), low, high);
}

bool read_line(gzFile in, std::string& line)
{
    line.clear();
    char piece[4096];
    while (gzgets(in, piece, sizeof piece) != nullptr) {
        line += piece;
        if (line.back() == '\n') return true;
    }
    return !line.empty();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: flight_log_from_csv FLIGHT.csv[.gz] > QLT_yyyymmdd.txt\n", stderr);
        return 2;
    }
    set_arithmetic_mode();
    gzFile in = gzopen(argv[1], "rb");
    if (in == nullptr) {
        std::fprintf(stderr, "flight_log_from_csv: cannot open %s\n", argv[1]);
        return 1;
    }
    std::string line;
    if (!read_line(in, line)) {
        std::fputs("flight_log_from_csv: no header row\n", stderr);
        return 1;
    }
    std::map<std::string, std::size_t> column;
    const std::vector<std::string> header = cells_of(line);
    for (std::size_t i = 0; i < header.size(); ++i) column[header[i]] = i;
    for (const char* name : {"Time", "Sats", "GPS altitude", "Speed (MPH)", "Latitude", "Longitude",
                             "Int Temp F", "battery v"}) {
        if (column.count(name) == 0) {
            std::fprintf(stderr, "flight_log_from_csv: no column '%s'\n", name);
            return 1;
        }
    }

    bit_mask_table masks;
    fill_bit_mask_table(masks);
    receiver_state receiver;
    long row = 0;
    while (read_line(in, line)) {
        const std::vector<std::string> cells = cells_of(line);
        if (cells.size() < header.size()) continue;
        const auto number = [&](const char* name) { return std::strtod(cells[column[name]].c_str(), nullptr); };
        const std::string& time = cells[column["Time"]];
        if (time.size() != 8) continue;
        ++row;
        telemetry_fields fields;
        fields.counter = static_cast<std::int16_t>(static_cast<std::uint16_t>(row));
        fields.hours = static_cast<std::uint8_t>(std::atoi(time.substr(0, 2).c_str()));
        fields.minutes = static_cast<std::uint8_t>(std::atoi(time.substr(3, 2).c_str()));
        fields.seconds = static_cast<std::uint8_t>(std::atoi(time.substr(6, 2).c_str()));
        fields.latitude = static_cast<float>(number("Latitude"));
        fields.longitude = static_cast<float>(number("Longitude"));
        fields.altitude = static_cast<std::int16_t>(rounded(number("GPS altitude") * 0.3048, -32768, 32767));
        fields.speed = static_cast<std::uint8_t>(rounded(number("Speed (MPH)") * 1609.344 / 1852, 0, 255));
        fields.satellites = static_cast<std::uint8_t>(rounded(number("Sats"), 0, 255));
        fields.temperature = static_cast<std::int8_t>(rounded((number("Int Temp F") - 32) * 5 / 9, -128, 127));
        fields.battery = static_cast<std::uint8_t>(rounded(number("battery v") / 0.0196, 0, 255));

        const std::string bytes = encode_frame(fields);
        byte_string data;
        if (!verify_frame(masks, bytes, receiver, data)) continue;
        const decoded_frame frame = decode_frame(data, receiver);
        update_previous(frame, receiver);
        const std::string logged = log_line(frame);
        std::fwrite(logged.data(), 1, logged.size(), stdout);
    }
    gzclose(in);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
