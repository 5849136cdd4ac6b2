// The stations a map hears through the broker, as its page shows them:
// where each stands, what each heard of the payload and what only it
// heard, and what the broker brought that was refused. Bounded whatever
// arrives: so many stations, so many frames remembered.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "share_protocol.h"

// Input from the broker that was counted and not drawn, by why.
struct refused_input {
    std::uint64_t too_large = 0;  // a payload beyond any message of ours
    std::uint64_t unreadable = 0;  // a topic of the flight, but no message of ours on it
    std::uint64_t unknown_topic = 0;  // a topic of no station
    std::uint64_t flood = 0;  // beyond a station's share of the map's time
    std::uint64_t not_log_lines = 0;  // lines no frame could be read from
    std::uint64_t too_many_stations = 0;  // from stations beyond the most shown
    std::uint64_t unrecordable = 0;  // lines --record could not write
    std::string last;  // the last reason, plain ASCII
};

class station_board {
public:
    static constexpr std::size_t max_stations = 64;
    // Frames whose hearers are remembered: a day at ten frames a second.
    static constexpr std::size_t max_frames = 1U << 20;

    // The station's index, added when it is new; none beyond max_stations.
    std::optional<std::size_t> station(const std::string& name);
    void set_position(std::size_t station, const station_position& position);
    // A frame the station heard (its counter and its time), `utc_seconds`
    // when it was heard by the receiver's clock. Heard twice by the same
    // station counts once.
    void heard(std::size_t station, std::int64_t local_time, std::int16_t counter, std::int64_t utc_seconds);
    // Lines the station shared, or lines already had (sent again).
    void count_line(std::size_t station, bool repeated, std::uint64_t lines = 1);
    // The flight began anew (a local log of another flight): what was heard
    // of the one before is forgotten.
    void forget_frames();

    refused_input& refused() { return refused_; }
    void set_connection(std::string text) { connection_ = std::move(text); }

    // { "connection", "stations": [...], "latest_heard_by": [...],
    //   "refused": {...} }; seconds since heard as of `now_ms`.
    [[nodiscard]] nlohmann::json json(std::int64_t now_ms) const;
    [[nodiscard]] std::size_t stations() const { return stations_.size(); }
    [[nodiscard]] const std::string& name(std::size_t station) const { return stations_[station].name; }

private:
    struct station_tally {
        std::string name;
        std::optional<station_position> position;
        std::uint64_t lines = 0;  // taken, each once
        std::uint64_t repeated = 0;  // lines already had
        std::uint64_t frames = 0;  // distinct frames heard
        std::uint64_t only = 0;  // of them, heard by no other station
        std::optional<std::int64_t> last_heard;  // UTC seconds
    };
    // A frame: its time on the receiver's clock, and its counter.
    using frame_key = std::pair<std::int64_t, std::int16_t>;
    struct key_hash {
        std::size_t operator()(const frame_key& k) const
        {
            return std::hash<std::int64_t>()(k.first * 65537 + k.second);
        }
    };

    std::vector<station_tally> stations_;
    std::unordered_map<frame_key, std::uint64_t, key_hash> hearers_;  // a bit per station
    std::optional<frame_key> latest_;
    std::uint64_t latest_hearers_ = 0;
    refused_input refused_;
    std::string connection_ = "connecting";
};
