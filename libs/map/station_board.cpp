#include "station_board.h"

#include <bit>

#include "text_safety.h"

std::optional<std::size_t> station_board::station(const std::string& name)
{
    for (std::size_t i = 0; i < stations_.size(); ++i) {
        if (stations_[i].name == name) return i;
    }
    if (stations_.size() >= max_stations) {
        ++refused_.too_many_stations;
        refused_.last = "more stations than a map shows";
        return std::nullopt;
    }
    stations_.push_back(station_tally{name, std::nullopt, 0, 0, 0, 0, std::nullopt});
    return stations_.size() - 1;
}

void station_board::set_position(std::size_t station, const station_position& position)
{
    stations_[station].position = position;
}

void station_board::count_line(std::size_t station, bool repeated, std::uint64_t lines)
{
    (repeated ? stations_[station].repeated : stations_[station].lines) += lines;
}

void station_board::heard(std::size_t station, std::int64_t local_time, std::int16_t counter,
                          std::int64_t utc_seconds)
{
    station_tally& tally = stations_[station];
    tally.last_heard = std::max(tally.last_heard.value_or(utc_seconds), utc_seconds);
    const frame_key key{local_time, counter};
    const std::uint64_t bit = std::uint64_t{1} << station;
    auto found = hearers_.find(key);
    if (found == hearers_.end()) {
        // Past the bound the frames are still counted as heard, but no
        // longer told apart by who else heard them.
        if (hearers_.size() < max_frames) found = hearers_.emplace(key, 0).first;
    }
    const std::uint64_t before = found == hearers_.end() ? 0 : found->second;
    if ((before & bit) != 0) return;
    ++tally.frames;
    if (before == 0) {
        ++tally.only;
    } else if (std::has_single_bit(before)) {
        --stations_[static_cast<std::size_t>(std::countr_zero(before))].only;
    }
    if (found != hearers_.end()) found->second = before | bit;
    if (!latest_ || local_time > latest_->first) {
        latest_ = key;
        latest_hearers_ = bit;
    } else if (*latest_ == key) {
        latest_hearers_ |= bit;
    }
}

void station_board::forget_frames()
{
    hearers_.clear();
    latest_.reset();
    latest_hearers_ = 0;
    for (station_tally& tally : stations_) {
        tally.frames = 0;
        tally.only = 0;
        tally.last_heard.reset();
    }
}

nlohmann::json station_board::json(std::int64_t now_ms) const
{
    nlohmann::json listed = nlohmann::json::array();
    nlohmann::json latest = nlohmann::json::array();
    for (std::size_t i = 0; i < stations_.size(); ++i) {
        const station_tally& t = stations_[i];
        nlohmann::json position = nullptr;
        if (t.position) {
            position = {{"latitude", t.position->latitude}, {"longitude", t.position->longitude}};
            position["altitude"] = t.position->altitude_given ? nlohmann::json(t.position->altitude) : nullptr;
        }
        nlohmann::json since = nullptr;
        if (t.last_heard) since = std::max<std::int64_t>(0, now_ms / 1000 - *t.last_heard);
        listed.push_back({{"name", t.name},
                            {"position", std::move(position)},
                            {"lines", t.lines},
                            {"lines_repeated", t.repeated},
                            {"frames", t.frames},
                            {"frames_only_here", t.only},
                            {"last_heard_utc", t.last_heard ? nlohmann::json(*t.last_heard) : nullptr},
                            {"seconds_since_heard", std::move(since)}});
        if ((latest_hearers_ >> i & 1U) != 0) latest.push_back(t.name);
    }
    const refused_input& r = refused_;
    return {{"connection", utf8_text(connection_)},
            {"stations", std::move(listed)},
            {"latest_heard_by", std::move(latest)},
            {"refused",
             {{"too_large", r.too_large},
              {"unreadable", r.unreadable},
              {"unknown_topic", r.unknown_topic},
              {"flood", r.flood},
              {"not_log_lines", r.not_log_lines},
              {"too_many_stations", r.too_many_stations},
              {"unrecordable", r.unrecordable},
              {"last", utf8_text(r.last)}}}};
}
