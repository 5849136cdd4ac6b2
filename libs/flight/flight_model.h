// One flight from one or more daily logs: the usable points in time order,
// the events of the flight once they have happened, and the figures a chase
// team asks for first. The flight grows frame by frame (flight_builder), so
// a log read whole and a log followed line by line give the same flight.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "geodesy.h"
#include "log_reading.h"

// What a balloon flight does, told only once it has happened:
//
// - pad: before the liftoff, or while no liftoff has been seen.
// - ascent: from the liftoff up to and including the burst.
// - descent: after the burst, up to and including the landing.
// - landed: after the landing.
//
// The events, each stated only once its evidence is in, from physical
// limits that any latex balloon flight meets rather than from one flight's
// figures:
//
// - Liftoff: a sustained climb. A point is climbing when it lies at least
//   `liftoff_rise` above the lowest point of the `liftoff_window` before it
//   (a climb of at least 0.8 m/s, which every sounding or amateur balloon
//   exceeds and which GPS height wander on the ground, at most tens of
//   metres over minutes, does not reach); the climb is sustained once the
//   points have been climbing for `liftoff_confirm` and two points at
//   least. The liftoff is then the last point, before the first climbing
//   one, that lay within `ground_jitter` (the GPS height noise of a fix on
//   the ground) of that lowest point: the last moment on the ground. Frames further apart than the window compare with the
//   frame before.
// - Burst: the highest point since the liftoff, once the fall is certain:
//   every point for `burst_confirm` (two points at least) has lain at least
//   `burst_drop` below it, several times the GPS height error in flight. A
//   balloon that rises never loses that much height for that long. A log
//   that begins after the liftoff has no liftoff to go by: its fall counts
//   only at a parachute's rate, `airborne_fall_rate` or faster, which no
//   vehicle or walker on the ground keeps up.
// - Landing: once the payload has lain still for `still_time` (two points
//   at least): every point of that stretch within `still_height` of each
//   other and within `still_distance` of its last one over the ground. A
//   payload under a parachute falls several metres every second, so the
//   stretch begins a few seconds before the touchdown; the landing is its
//   first point within `ground_jitter` of its lowest.
enum class flight_stage { pad, ascent, descent, landed };

inline constexpr std::int32_t liftoff_rise = 50;  // metres
inline constexpr std::int64_t liftoff_window = 60;  // seconds
inline constexpr std::int64_t liftoff_confirm = 10;  // seconds
inline constexpr std::int32_t ground_jitter = 10;  // metres
inline constexpr std::int32_t burst_drop = 100;  // metres
inline constexpr std::int64_t burst_confirm = 10;  // seconds
inline constexpr double airborne_fall_rate = 4;  // metres per second
inline constexpr std::int32_t still_height = 20;  // metres
inline constexpr double still_distance = 50;  // metres over the ground
inline constexpr std::int64_t still_time = 60;  // seconds

struct flight_point {
    log_record frame;
    std::int64_t local_time = 0;  // the receiver's clock, local_seconds of log_reading.h
    std::int64_t utc_time = 0;  // seconds since 1970-01-01 00:00 UTC
    // Metres per second over the points within 15 s either side: the
    // frames' own climb rate restarts at 0 with every receiver run and
    // differs between stations, so the flight derives its own.
    double climb_rate = 0;
    std::uint32_t source = 0;  // index of the log it was read from
    std::uint32_t line = 0;  // its line in that log
};

struct flight_counts {
    std::size_t frames_read = 0;  // records in all logs together
    std::size_t duplicates = 0;  // the same frame (counter and time) read again
    std::size_t impossible = 0;  // left out: 0,0, beyond ±90/±180, not finite
    std::size_t missing = 0;  // frames the counter skipped between distinct frames
    std::size_t unreadable_lines = 0;  // lines no frame could be read from
    std::size_t unfinished_lines = 0;  // fragments left by a crash or a restart
    std::size_t unreadable_logs = 0;  // files that could not be read at all
};

struct flight {
    std::vector<flight_point> points;  // usable positions, in time order
    flight_counts counts;
    int utc_offset = 0;  // minutes east of UTC of the receiver's clock
    // Indices into points, each set once that event is certain (see
    // flight_stage); meaningful only when points is not empty.
    std::optional<std::size_t> liftoff;
    std::optional<std::size_t> burst;
    std::optional<std::size_t> landing;
    // The highest point since the liftoff (since the first fix while there
    // is none): the burst once the fall is certain.
    std::size_t highest = 0;
    std::size_t last = 0;  // the last fix
};

// Whether a logged position can be a real fix: finite, latitude within ±90,
// longitude within ±180, and not exactly 0,0 (what a tracker without a fix
// sends).
bool is_possible_position(double latitude, double longitude);

// The flight taking frames one at a time. Promises: points from every log
// in time order (a stable order for equal times: the logs' order, then
// their lines'), wherever a frame arrives from; a frame with the same
// counter and the same time as another is counted once (the first in that
// order is kept); impossible positions are counted and left out; missing
// frames are counted by the steps of the signed 16-bit counter between
// distinct frames in time order (32767 to -32768 is one step; a step back
// is a tracker restart and counts nothing); `utc_offset` in minutes, or,
// when absent, this machine's offset at the earliest frame's time (at noon
// of the first readable log's day while there is no frame). A frame later
// than every other is taken in constant amortised time; one that arrives a
// little out of order costs the few frames after it; one that belongs far
// back waits for settle(), which places every such frame in one pass.
class flight_builder {
public:
    explicit flight_builder(std::optional<int> utc_offset = std::nullopt);

    // Room for this many points, so that a day's log is not copied while it
    // grows.
    void reserve(std::size_t points);

    // A log whose frames follow, or, without a date, one that could not be
    // read at all. Returns its index, the source of its points.
    std::size_t add_log(std::optional<civil_date> date);
    // The same, placed at `position` among the logs: those from there on
    // move up by one. It comes first among equals in the order above.
    void insert_log(std::size_t position, std::optional<civil_date> date);
    // One line of log `source` as its reader gave it. Returns the index of
    // the point its last frame became, if it became one (not a duplicate
    // and a possible position).
    std::optional<std::size_t> add_line(std::size_t source, const line_outcome& outcome);
    // Lines of log `source` counted without being fed: unreadable ones and
    // fragments.
    void count_lines(std::size_t source, std::size_t unreadable, std::size_t unfinished);
    // Log `source` could not be read on to its end.
    void count_unreadable_log(std::size_t source);
    // One frame of log `source`; the same (nothing while it waits for
    // settle()).
    std::optional<std::size_t> add(std::size_t source, const dated_record& record);
    // Takes every frame and count of log `source` out of the flight again
    // (a log read anew); the logs after it move down by one.
    void remove_log(std::size_t source);

    // Places the frames that belong far back (see above). True when there
    // were any: points then stand at other indices than before.
    bool settle();

    // Where a frame of log `source` stands among the points, if it is one.
    [[nodiscard]] std::optional<std::size_t> point_of(std::size_t source, const dated_record& record) const;

    // The flight so far, without the frames waiting for settle().
    [[nodiscard]] const flight& current() const { return flight_; }
    [[nodiscard]] std::size_t logs() const { return per_log_.size(); }
    // The flight, settled; the builder is left empty.
    flight finish();

    // Where the stage detection stands after the points before `next`:
    // small enough to be kept every few thousand points and taken up again
    // when a frame lands among them.
    struct stage_state {
        std::size_t next = 0;
        std::optional<std::size_t> liftoff;
        std::optional<std::size_t> burst;
        std::optional<std::size_t> landing;
        std::size_t highest = 0;
        // The first point of the current climb, and its last point on the
        // ground; the first point of the current fall.
        std::optional<std::size_t> climb_start;
        std::size_t climb_from = 0;
        std::optional<std::size_t> fall_start;
    };

    // A frame left out as an impossible position, kept by its place in time
    // order so that later duplicates and the counter's gaps still see it.
    struct left_out {
        std::int64_t local_time = 0;
        std::uint32_t source = 0;
        std::uint32_t line = 0;
        std::int16_t counter = 0;
    };

private:
    struct waiting_frame {
        std::uint32_t source = 0;
        dated_record record;
    };

    std::optional<std::size_t> insert_distinct(std::size_t source, const dated_record& record);
    void remove_point(std::size_t index);
    void remove_left_out(std::size_t index);
    void count_gaps_around(std::int64_t local_time, std::uint32_t source, std::uint32_t line,
                           std::int16_t counter, bool adding);
    void refresh_climb_rates(std::int64_t local_time, std::size_t index);
    void settle_utc_offset(std::int64_t local_time);
    void restage_from(std::size_t index);
    void advance_stages();
    void step_stages(stage_state& s) const;
    void recount_everything();

    flight flight_;
    std::optional<int> given_offset_;
    std::optional<std::int64_t> offset_from_;  // the local time the offset was taken at
    std::optional<civil_date> first_date_;
    std::vector<left_out> left_out_;
    std::vector<waiting_frame> pending_;
    std::vector<flight_counts> per_log_;
    stage_state stages_;
    std::vector<stage_state> checkpoints_;
};

// Promises: the flight_builder's, for the logs in the order given.
flight build_flight(const std::vector<log_reading>& logs, std::optional<int> utc_offset);

// The stage the flight was in at points[index], as far as it has happened.
flight_stage stage_at(const flight& f, std::size_t index);

// "pad", "ascent", "descent", "landed".
const char* stage_name(flight_stage stage);

// The height the payload comes down to: the pad's, the lowest fix of the
// minute up to the liftoff; the first fix's while it is still on the pad;
// unknown when the log began in the air.
std::optional<double> ground_altitude(const flight& f);

struct flight_summary {
    bool has_points = false;  // the rest is meaningful only when true
    flight_stage stage = flight_stage::pad;  // at the last fix
    // Seconds from the liftoff to the landing, or to the last fix before
    // the landing; 0 without a liftoff.
    std::int64_t duration = 0;
    // Metres per second: the liftoff to the burst (to the highest point
    // while climbing), and the burst to the landing (to the last fix while
    // falling) counted positive downwards; absent when that phase has not
    // begun or has no time to it.
    std::optional<double> mean_ascent_rate;
    std::optional<double> mean_descent_rate;
    double greatest_speed = 0;  // km/h, the largest speed a frame reported
    std::size_t greatest_speed_at = 0;  // index of that point
    double track_length = 0;  // metres over the ground along every point
    // Straight over the ground from the liftoff (the first fix while there
    // is none) to the last fix.
    ground_leg launch_to_last;
};

flight_summary summarize(const flight& f);
