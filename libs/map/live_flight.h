// The flight as the map serves it: the logs being followed, fed line by
// line into one flight by the same reader and model as zarim-export, and
// the stream of frame events that live pages follow. A new line costs the
// same however long the flight already is, and each fix read brings the
// landing prediction up to date, made outside the lock that readers wait
// on. Every method is safe from any thread; one lock guards the flight, and
// documents are written outside it (document_cache.h).
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "document_cache.h"
#include "documents.h"
#include "flight_model.h"
#include "landing_prediction.h"
#include "log_follower.h"
#include "log_reading.h"
#include "map_options.h"
#include "station_board.h"

// Where one live page stands in the event stream.
struct stream_cursor {
    std::uint64_t generation = 0;  // the flight it has; another one means start again
    std::uint64_t next = 0;  // the sequence number of the next frame it needs
    std::uint64_t status_sent = 0;  // the status version it has
    std::uint64_t prediction_sent = 0;  // the prediction version it has
    bool clock_sent = false;
};

class live_flight {
public:
    explicit live_flight(std::optional<station_option> station, std::size_t stream_limit = 32,
                         const prediction_settings& prediction = {});

    // What the follower read, and when (milliseconds since the epoch).
    void apply(const follow_news& news, std::int64_t received_ms);
    // What the status line says while no log is followed yet.
    void set_waiting_text(std::string text);

    // The flight so far: a LineString of every usable point and points for
    // launch, burst, the latest fix and the station, the predicted path and
    // landing, with the latest frame, the status and the prediction as
    // foreign members.
    std::string track_geojson() const;
    // The same, shared: as new as a request that came at `asked`.
    document_text geojson_document(
        std::chrono::steady_clock::time_point asked = std::chrono::steady_clock::now()) const;
    // The same for Google Earth: the path at absolute altitude extruded to
    // the ground, placemarks, and the predicted path and landing with its
    // radius as a ring on the ground.
    std::string track_kml() const;
    document_text kml_document(
        std::chrono::steady_clock::time_point asked = std::chrono::steady_clock::now()) const;
    // Documents written so far, GeoJSON and KML together.
    std::uint64_t documents_made() const;
    // How a station at `station` sees the latest fix; null members when
    // there is none yet. Without an altitude the station stands at the
    // launch height. With a prediction, "landing" gives the azimuth and
    // ground distance from the station to the predicted landing.
    nlohmann::json look_from(const station_option& station) const;
    nlohmann::json status_json() const;

    // A live page's stream: at most `stream_limit` at once.
    bool join_stream();
    void leave_stream();
    std::size_t streams() const;
    // Where a new stream starts: after the event a reconnecting page last
    // had ("generation:sequence"), else at `from` in `generation` (what the
    // page loaded with the track), else at the present.
    stream_cursor place_stream(const std::string& last_event_id,
                               std::optional<std::uint64_t> generation,
                               std::optional<std::uint64_t> from) const;
    // Waits up to `timeout` for something the page has not had, then
    // appends it as Server-Sent Events to `out` and moves the cursor on;
    // with nothing new it appends a clock event, which also tells a page
    // that went away. The status and the prediction go as they stand when
    // they changed since the page last had them. False once closed.
    bool next_events(stream_cursor& cursor, std::string& out, std::chrono::milliseconds timeout);
    // Ends every stream, now and later.
    void close();

    // The broker's stations (live_flight_shared.cpp). Lines of station
    // `station`'s log of `date` ("yyyymmdd" or "-"), each once and in
    // order: into the same flight as the local log's, a frame heard by
    // several stations once.
    void apply_shared(const std::string& station, const std::string& date, const std::vector<std::string>& lines,
                      std::int64_t received_ms);
    // Changes what the page shows of the stations and of the input refused.
    template <typename Change>
    void change_board(Change change)
    {
        const std::lock_guard lock(mutex_);
        sharing_ = true;
        change(board_);
        note_sharing_locked();
    }
    // Frames placed behind the latest are shown by loading the track again,
    // at most once a second, and the stations' counts twice a second: this
    // does what is due, and brings the landing prediction up to date with
    // the frames the broker brought.
    void flush_shared(std::int64_t now);

    // Frame events kept for pages that fall behind or reconnect; a page
    // further behind reloads the track instead.
    static constexpr std::size_t kept_events = 4096;
    // Events sent in one write at most, so a page catching up gets them in
    // bounded pieces.
    static constexpr std::size_t events_per_write = 256;

private:
    // A log followed, read line by line into the flight as it grows.
    struct followed_log {
        std::string path;
        log_reader reader;
        bool dated_by_name = true;  // false: the name has no date, today's is used
        std::size_t frames = 0;  // frames read from it
        std::size_t unreadable = 0;
        std::size_t unfinished = 0;
        std::optional<line_problem> last_problem;
        std::optional<std::int64_t> last_time;  // its latest frame's, on the receiver's clock
    };

    void read_news(const follow_news& news, std::int64_t received_ms);
    void begin_log(const std::string& path);
    void restart_log();
    void read_lines(const std::vector<std::string>& lines, std::int64_t received_ms);
    // A frame as it was read: the point it became, when, and the time of
    // the frame read before it.
    struct latest_frame {
        dated_record record;
        std::optional<std::size_t> point;
        std::int64_t received_ms = 0;
        std::optional<std::int64_t> previous;
    };

    void take_frame(const dated_record& record, bool with_event, std::int64_t received_ms);
    bool keep_flight_together(std::int64_t first_time);
    void start_new_generation();
    nlohmann::json frame_event(const latest_frame& frame) const;
    nlohmann::json latest_locked() const;
    const nlohmann::json& place_of(const flight_point& point, int offset) const;
    void add_flight_state(nlohmann::json& event, std::size_t at) const;
    std::vector<extra_place> places_locked(bool with_radius) const;
    void take_sample(const flight_point& point);
    std::vector<track_sample> samples_again_locked();
    void update_prediction(const std::vector<track_sample>& again, int utc_offset);
    std::string document_title() const;
    nlohmann::json status_locked() const;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    const std::optional<station_option> station_;
    const std::size_t stream_limit_;

    // Earlier logs of the same flight (a receiver restarted after midnight
    // starts a new file), then the one followed now; each is the source of
    // its points in the flight.
    std::vector<followed_log> logs_;
    flight_builder flight_;
    // The time of the frame read last, for the gap the receiver warns of.
    std::optional<std::int64_t> previous_time_;
    // Places already written as JSON, by their point.
    struct known_place {
        std::int64_t local_time = 0;
        std::uint32_t source = 0;
        std::uint32_t line = 0;
        int offset = 0;
        nlohmann::json json;
    };
    mutable std::array<known_place, 4> places_{};
    mutable std::size_t next_place_ = 0;
    std::optional<latest_frame> latest_;
    std::string latest_event_;  // its event as JSON, when it was made

    std::uint64_t generation_ = 1;
    std::uint64_t frames_ = 0;  // frame events of this generation: every record read
    std::deque<std::string> events_;  // the last kept_events of them, as SSE text
    std::uint64_t status_version_ = 1;
    std::string following_;
    std::string waiting_text_;
    std::size_t streams_ = 0;
    bool closed_ = false;

    // The landing prediction. The predictor is touched only by apply() and
    // the broker's apply_shared() and flush_shared(), which apply_mutex_
    // keeps to one caller at a time (taken before mutex_): it is fed fix by
    // fix under mutex_ as frames are read, then asked outside it, and only
    // the answer is stored under mutex_.
    std::mutex apply_mutex_;
    const prediction_settings prediction_settings_;
    landing_predictor predictor_;
    bool predictor_fed_ = false;  // a fix taken since the last prediction
    bool predictor_stale_ = false;  // the flight started over: feed it again from its points
    double last_fix_time_ = 0;  // UTC seconds of the last fix taken
    // Under mutex_: the prediction at the last fix, as the events and the
    // documents carry it.
    std::optional<landing_prediction> prediction_;
    nlohmann::json prediction_json_;
    std::string prediction_text_ = "null";
    std::uint64_t prediction_version_ = 1;
    // Changes with anything the documents say; the pages' count does not
    // count, their streams tell it.
    std::uint64_t document_version_ = 1;
    mutable document_cache geojson_;
    mutable document_cache kml_;

    // The broker's stations' logs, each a source in flight_ after the local
    // logs: source logs_.size() + its index here.
    struct shared_log {
        std::string station;
        std::string date;
        log_reader reader;
        std::size_t frames = 0;
    };
    shared_log& shared_log_of(const std::string& station, const std::string& date);
    void count_frame_locked(bool with_event);
    void take_shared_frame(std::size_t index, std::size_t board_index, const dated_record& record, bool with_event,
                           std::int64_t received_ms);
    void restore_shared_logs();
    void note_sharing_locked();
    void show_behind_locked(std::int64_t now);
    std::size_t shared_frames() const;
    std::string latest_file() const;
    std::size_t latest_source() const;
    std::vector<shared_log> shared_logs_;
    std::optional<std::size_t> shared_latest_;  // the shared log the latest frame came from
    station_board board_;
    bool sharing_ = false;
    bool behind_ = false;  // frames placed behind the latest, not yet shown
    std::int64_t behind_shown_ms_ = 0;
    bool sharing_changed_ = false;  // the stations' counts, not yet in the status
    std::int64_t sharing_shown_ms_ = 0;
};
