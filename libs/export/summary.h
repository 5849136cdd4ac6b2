// What a chase team reads first: the flight's figures as text for people
// and as JSON for programs.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "flight_model.h"
#include "landing_predictions.h"

// Lines of "label  value", ending in a line end. Times are the receiver's
// local clock with its UTC offset, in ISO 8601. A flight cut short says
// where it stands ("climbing, highest so far ...", "falling, ...") and
// gives only the launch, burst and landing that have happened; rates and
// the duration count from the liftoff. After the launch, where the
// landing prediction put the landing at the liftoff, at the burst and 10
// minutes before the landing, and how far each was from it.
std::string summary_text(const flight& f, const flight_summary& s,
                         const std::vector<std::string>& logs,
                         const std::vector<std::string>& outputs,
                         const prediction_review& predictions = {});

// The same figures: times in UTC and local, distances in metres, rates in
// metres per second, speeds in km/h; "stage" is where the flight stands at
// its last fix, "highest" its highest point so far; a figure or event that
// does not exist (no burst or descent yet, no points) is null; under
// "landing_prediction", the settings it was made with and what it said at
// each moment ("liftoff", "burst", "before_landing"), with "miss" in metres.
nlohmann::json summary_json(const flight& f, const flight_summary& s,
                            const std::vector<std::string>& logs,
                            const std::vector<std::string>& outputs,
                            const prediction_review& predictions = {},
                            const prediction_settings& settings = {});
