// A flight read only up to some moment tells what had happened by then and
// no more; a flight fed line by line, or from logs that arrive out of
// order, is the flight read whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <unistd.h>

#include "flight_model.h"
#include "flight_reading.h"
#include "flight_time.h"
#include "receiver_lines.h"
#include "support/real_flight_log.h"

namespace {

std::string clock_text(int seconds_of_day)
{
    std::string text;
    for (const int part : {seconds_of_day / 3600 % 24, seconds_of_day / 60 % 60, seconds_of_day % 60}) {
        if (!text.empty()) text += ':';
        text += static_cast<char>('0' + part / 10);
        text += static_cast<char>('0' + part % 10);
    }
    return text;
}

// One frame a second: four minutes on the pad with the GPS height wandering
// by up to 8 m, up at 5 m/s to 3000 m, down at 15 m/s and then 6 m/s under
// the parachute, and five minutes on the ground. Drifting east while
// airborne.
struct made_flight {
    std::vector<std::string> lines;
    int liftoff = 0;  // line index of the last frame on the pad
    int burst = 0;
    int touchdown = 0;
};

made_flight test_flight()
{
    made_flight made;
    unsigned wander = 12345;
    const auto jitter = [&wander](int spread) {
        wander = wander * 1103515245U + 12345U;
        return static_cast<int>((wander >> 16) % static_cast<unsigned>(2 * spread + 1)) - spread;
    };
    double altitude = 760;
    double east = 0;
    int t = 10 * 3600;
    const auto add = [&](int height) {
        const std::string time = clock_text(t);
        made.lines.push_back(receiver_line({.counter = static_cast<int>(made.lines.size()) + 1,
                                            .time = time.c_str(),
                                            .latitude = -23.5f,
                                            .longitude = static_cast<float>(-46.6 + east / 102000),
                                            .altitude = height}));
        ++t;
    };
    for (int i = 0; i < 240; ++i) add(760 + jitter(8));
    made.liftoff = static_cast<int>(made.lines.size()) - 1;
    while (altitude < 3000) {
        altitude += 5;
        east += 5;
        add(static_cast<int>(altitude));
    }
    made.burst = static_cast<int>(made.lines.size()) - 1;
    while (altitude > 760) {
        altitude = std::max(760.0, altitude - (altitude > 1500 ? 15 : 6));
        east += 5;
        add(static_cast<int>(altitude));
    }
    made.touchdown = static_cast<int>(made.lines.size()) - 1;
    for (int i = 0; i < 300; ++i) add(760 + jitter(3));
    return made;
}

std::string joined(const std::vector<std::string>& lines, std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count && i < lines.size(); ++i) text += lines[i];
    return text;
}

// The same flight, point for point and event for event.
void expect_same_flight(const flight& a, const flight& b, const std::string& where)
{
    ASSERT_EQ(a.points.size(), b.points.size()) << where;
    for (std::size_t i = 0; i < a.points.size(); ++i) {
        const flight_point& p = a.points[i];
        const flight_point& q = b.points[i];
        ASSERT_TRUE(p.frame.counter == q.frame.counter && p.local_time == q.local_time && p.utc_time == q.utc_time &&
                    p.source == q.source && p.line == q.line && p.climb_rate == q.climb_rate &&
                    p.frame.climb_rate == q.frame.climb_rate)
            << where << ", point " << i;
    }
    EXPECT_EQ(a.counts.frames_read, b.counts.frames_read) << where;
    EXPECT_EQ(a.counts.duplicates, b.counts.duplicates) << where;
    EXPECT_EQ(a.counts.impossible, b.counts.impossible) << where;
    EXPECT_EQ(a.counts.missing, b.counts.missing) << where;
    EXPECT_EQ(a.counts.unreadable_lines, b.counts.unreadable_lines) << where;
    EXPECT_EQ(a.utc_offset, b.utc_offset) << where;
    EXPECT_EQ(a.liftoff, b.liftoff) << where;
    EXPECT_EQ(a.burst, b.burst) << where;
    EXPECT_EQ(a.landing, b.landing) << where;
    EXPECT_EQ(a.highest, b.highest) << where;
}

struct cut {
    const char* name;
    std::size_t lines;  // read up to here
    flight_stage stage;  // at the last fix
    bool liftoff;
    bool burst;
    bool landing;
};

// Every cut tells its own stage, and each event it tells is the one the
// whole flight tells: an event once stated never moves.
void expect_cuts(const std::string& name, const std::vector<std::string>& lines, const std::vector<cut>& cuts)
{
    const flight whole = build_flight({read_log_text(name, joined(lines, lines.size()))}, 0);
    // The wait on the pad stays the pad once the balloon has burst.
    if (whole.liftoff && *whole.liftoff > 0) {
        EXPECT_EQ(stage_at(whole, *whole.liftoff - 1), flight_stage::pad) << name;
    }
    for (const cut& c : cuts) {
        const flight f = build_flight({read_log_text(name, joined(lines, c.lines))}, 0);
        ASSERT_FALSE(f.points.empty()) << c.name;
        EXPECT_EQ(stage_at(f, f.last), c.stage) << c.name;
        EXPECT_EQ(f.liftoff.has_value(), c.liftoff) << c.name;
        EXPECT_EQ(f.burst.has_value(), c.burst) << c.name;
        EXPECT_EQ(f.landing.has_value(), c.landing) << c.name;
        EXPECT_TRUE(!c.liftoff || f.liftoff == whole.liftoff) << c.name;
        EXPECT_TRUE(!c.burst || f.burst == whole.burst) << c.name;
        EXPECT_TRUE(!c.landing || f.landing == whole.landing) << c.name;

        const flight_summary s = summarize(f);
        EXPECT_EQ(s.stage, c.stage) << c.name;
        EXPECT_EQ(s.mean_ascent_rate.has_value(), c.liftoff) << c.name;
        EXPECT_EQ(s.mean_descent_rate.has_value(), c.burst) << c.name;
        const std::size_t end = f.landing.value_or(f.last);
        EXPECT_EQ(s.duration, c.liftoff ? f.points[end].local_time - f.points[*f.liftoff].local_time : 0) << c.name;
        std::int32_t top = 0;
        for (const flight_point& p : f.points) top = std::max(top, p.frame.altitude);
        EXPECT_EQ(f.points[f.highest].frame.altitude, top) << c.name << ": the highest so far";
    }
}

}  // namespace

TEST(flight_stages, a_flight_cut_at_each_stage_tells_only_what_had_happened)
{
    const made_flight made = test_flight();
    const auto at = [](int index) { return static_cast<std::size_t>(index) + 1; };
    expect_cuts("QLT_20261208.txt", made.lines,
                {
                    {"on the pad", at(made.liftoff), flight_stage::pad, false, false, false},
                    {"rising 30 m", at(made.liftoff + 6), flight_stage::pad, false, false, false},
                    {"climbing", at(made.liftoff + 100), flight_stage::ascent, true, false, false},
                    {"at the top", at(made.burst), flight_stage::ascent, true, false, false},
                    {"falling 8 s", at(made.burst + 8), flight_stage::ascent, true, false, false},
                    {"falling", at(made.burst + 60), flight_stage::descent, true, true, false},
                    {"down 30 s", at(made.touchdown + 30), flight_stage::descent, true, true, false},
                    {"landed", made.lines.size(), flight_stage::landed, true, true, true},
                });
    const flight whole = build_flight({read_log_text("QLT_20261208.txt", joined(made.lines, made.lines.size()))}, 0);
    EXPECT_NEAR(static_cast<double>(*whole.liftoff), made.liftoff, 3) << "the last moment on the ground";
    EXPECT_EQ(*whole.burst, static_cast<std::size_t>(made.burst));
    EXPECT_NEAR(static_cast<double>(*whole.landing), made.touchdown, 3) << "the touchdown";
}

// A receiver switched on late: in the climb, the liftoff is at the first
// fix (within the GPS height noise); in the fall, the burst is where the
// log begins, and there is no launch.
TEST(flight_stages, a_log_that_begins_in_the_air)
{
    const made_flight made = test_flight();
    const auto from = [&made](int first) {
        const std::vector<std::string> rest(made.lines.begin() + first, made.lines.end());
        return build_flight({read_log_text("QLT_20261208.txt", joined(rest, rest.size()))}, 0);
    };
    const flight climbing = from(made.liftoff + 100);
    ASSERT_TRUE(climbing.liftoff);
    EXPECT_LE(climbing.points[*climbing.liftoff].frame.altitude - climbing.points[0].frame.altitude, ground_jitter);
    EXPECT_EQ(static_cast<int>(*climbing.burst), made.burst - made.liftoff - 100);
    EXPECT_TRUE(climbing.landing);
    const flight falling = from(made.burst + 30);
    EXPECT_FALSE(falling.liftoff);
    EXPECT_EQ(falling.burst, 0U);
    EXPECT_TRUE(falling.landing);
    EXPECT_FALSE(ground_altitude(falling)) << "the ground is not known";
    EXPECT_EQ(stage_at(falling, 0), flight_stage::ascent);
    EXPECT_EQ(stage_at(falling, 1), flight_stage::descent);
}

// The real flight as the receiver would have logged it, against what is
// known of it: about 3 minutes on the pad, a burst near 28,300 m, down
// about 2 h 11 min after liftoff, 84 km east-south-east of the launch.
TEST(flight_stages, the_real_flight_cut_at_each_stage)
{
    const std::string text = real_flight_log();
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end + 1 - start));
        start = end + 1;
    }
    const auto until = [&lines](const char* time) {
        std::size_t count = 0;
        while (count < lines.size() && lines[count].substr(lines[count].find(',') + 1, 8) <= time) ++count;
        return count;
    };
    expect_cuts(real_flight_log_name, lines,
                {
                    {"on the pad", until("13:15:00"), flight_stage::pad, false, false, false},
                    {"climbing", until("14:00:00"), flight_stage::ascent, true, false, false},
                    {"burst, not yet certain", until("14:37:15"), flight_stage::ascent, true, false, false},
                    {"falling", until("15:00:00"), flight_stage::descent, true, true, false},
                    {"down, not yet still", until("15:28:00"), flight_stage::descent, true, true, false},
                    {"landed", lines.size(), flight_stage::landed, true, true, true},
                });

    const flight f = build_flight({read_log_text(real_flight_log_name, text)}, -360);
    const flight_point& launch = f.points[*f.liftoff];
    const flight_point& burst = f.points[*f.burst];
    const flight_point& landing = f.points[*f.landing];
    EXPECT_NEAR(static_cast<double>(launch.local_time - f.points.front().local_time), 180, 60);
    EXPECT_NEAR(burst.frame.altitude, 28300, 100);
    EXPECT_EQ(burst.frame.altitude, f.points[f.highest].frame.altitude);
    const flight_summary s = summarize(f);
    EXPECT_NEAR(static_cast<double>(s.duration), 2 * 3600 + 11 * 60, 120);
    EXPECT_NEAR(s.launch_to_last.distance, 84000, 2000);
    EXPECT_NEAR(s.launch_to_last.azimuth, 112, 12);
    EXPECT_LE(landing.frame.altitude - f.points.back().frame.altitude, 20) << "on the ground, not above it";
    ASSERT_TRUE(s.mean_ascent_rate);
    EXPECT_NEAR(*s.mean_ascent_rate, 5.5, 0.5) << "from the liftoff, not from the first fix";
}

// A flight fed line by line is at every moment the flight read whole up to
// that line; two stations' logs, one fed whole after the other or read side
// by side from their files, are the flight made of both in time order.
TEST(flight_stages, grown_line_by_line_or_out_of_order_it_is_the_flight_read_whole)
{
    const made_flight made = test_flight();
    const civil_date day{2026, 12, 8};
    flight_builder growing(0);
    const std::size_t source = growing.add_log(day);
    log_reader reader(day);
    for (std::size_t i = 0; i < made.lines.size(); ++i) {
        std::string line = made.lines[i];
        line.resize(line.size() - 2);  // its CR LF
        growing.add_line(source, reader.feed(line));
        if (i % 97 == 0 || i + 1 == made.lines.size()) {
            expect_same_flight(growing.current(),
                               build_flight({read_log_text("QLT_20261208.txt", joined(made.lines, i + 1))}, 0),
                               "after line " + std::to_string(i + 1));
        }
    }

    // Station a heard two frames in three, b the others and every fifth
    // again, with its clock's frames shifted so that some share a time with
    // a's; a logged one frame late and one impossible position.
    std::string a;
    std::string b;
    for (std::size_t i = 0; i < made.lines.size(); ++i) {
        if (i % 3 != 0) a += made.lines[i];
        if (i % 3 == 0 || i % 5 == 0) b += made.lines[i];
    }
    a.insert(a.find(made.lines[520]), made.lines[501]);  // heard by b too, in its place
    a += " 77 ,10:00:03, 0 , 0 , 0 , 0 , 0 , 0 , 0 , 0 \r\n";
    const std::vector<log_reading> logs = {read_log_text("a/QLT_20261208.txt", a),
                                           read_log_text("b/QLT_20261208.txt", b)};
    const flight together = build_flight(logs, std::nullopt);
    EXPECT_EQ(together.points.size(), made.lines.size());

    flight_builder one_after_the_other;
    for (const log_reading& log : logs) one_after_the_other.add_log(log.date);
    for (std::size_t source_index : {std::size_t{1}, std::size_t{0}}) {
        for (const dated_record& r : logs[source_index].records) one_after_the_other.add(source_index, r);
    }
    expect_same_flight(one_after_the_other.finish(), together, "b's log first, then a's");

    char directory[] = "/tmp/zarim_stages_XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string path_a = std::string(directory) + "/QLT_20261208.txt";
    const std::string path_b = std::string(directory) + "/b-QLT_20261208.txt";
    std::ofstream(path_a, std::ios::binary) << a;
    std::ofstream(path_b, std::ios::binary) << b;
    const flight read = read_flight({path_a, path_b}, std::nullopt, {});
    std::remove(path_a.c_str());
    std::remove(path_b.c_str());
    rmdir(directory);
    expect_same_flight(read, together, "read side by side from the files");
}
