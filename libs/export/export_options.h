// The command line of zarim-export.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "landing_prediction.h"

enum class export_format { gpx, kml, geojson, csv, svg };

inline constexpr export_format all_formats[] = {export_format::gpx, export_format::kml,
                                                export_format::geojson, export_format::csv,
                                                export_format::svg};

// "gpx", "kml", "geojson", "csv", "svg": the name in --formats and the
// output file's extension.
const char* format_name(export_format format);

struct export_request {
    std::vector<std::string> logs;
    std::string output_dir = ".";
    std::vector<export_format> formats;  // in the order of all_formats, each once
    std::optional<int> utc_offset;  // minutes east of UTC; absent: the machine's
    bool json = false;
    // Logs whose frames lie more than a flight's longest silence apart are
    // written as one set of files per flight instead of being refused.
    bool split_days = false;
    // The landing prediction's: --descent-rate, --burst-altitude and
    // --ground-altitude (absent: the launch height).
    prediction_settings prediction;
    bool help = false;
    bool version = false;
};

// A comma-separated list of format names, or "all". Returns false with
// `problem` naming the unknown or missing entry.
bool parse_formats(const std::string& list, std::vector<export_format>& formats,
                   std::string& problem);

// Fills `request` from argv[1..argc-1]; on a bad command line returns false
// with `problem` saying why (without the program's name or a line end).
bool parse_export_options(int argc, const char* const* argv, export_request& request,
                          std::string& problem);

// The --help text, ending in a line end.
const char* export_usage();
