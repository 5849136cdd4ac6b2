// --record DIR: every station's lines kept as its own QLT log under DIR
// (DIR/STATION/QLT_yyyymmdd.txt, DIR/STATION/undated.txt for a log named
// otherwise), written as the receiver writes its log, so that zarim-export
// reads them and merges the stations after the flight. Lines come each once
// and in order (broker_feed sees to that); a map started again on the same
// directory goes on where the files end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class station_record {
public:
    explicit station_record(std::string directory);

    // Creates the directory when it is missing. False with `problem` when
    // it cannot be had.
    bool start(std::string& problem);

    // The lines the station's log of `date` holds already: where the
    // record goes on. Read from the file the first time it is asked.
    std::uint64_t lines_held(const std::string& station, const std::string& date);
    // Appends line `number` (lines_held() + 1). False with `problem` when
    // it cannot be written, or the station's name cannot be a directory's.
    bool append(const std::string& station, const std::string& date, std::uint64_t number, std::string_view line,
                std::string& problem);

    // The file a station's log of `date` is kept in.
    [[nodiscard]] std::string path_of(const std::string& station, const std::string& date) const;

    static constexpr std::size_t max_files = 512;

private:
    struct kept_log {
        std::string station;
        std::string date;
        std::uint64_t lines = 0;
    };
    kept_log& log_of(const std::string& station, const std::string& date);

    std::string directory_;
    std::vector<kept_log> logs_;
};

// Whether a station's name can name a directory under DIR: a share name
// that is no "." or ".." and no hidden file.
bool recordable_station(std::string_view name);
