#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <set>

#include "export_options.h"
#include "export_run.h"
#include "sample_flight.h"
#include "text_safety.h"

namespace {

namespace fs = std::filesystem;

struct scratch {
    fs::path root;
    scratch()
    {
        std::string pattern = (fs::temp_directory_path() / "zarim_export_XXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
    }
    ~scratch() { fs::remove_all(root); }
    scratch(const scratch&) = delete;
    scratch& operator=(const scratch&) = delete;

    [[nodiscard]] std::string file(const std::string& name, const std::string& content) const
    {
        const fs::path path = root / name;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }
};

std::string read_file(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream all;
    all << file.rdbuf();
    return all.str();
}

struct parse_outcome {
    bool ok;
    export_request request;
    std::string problem;
};

parse_outcome parse(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), "zarim-export");
    std::vector<const char*> argv;
    for (const std::string& a : arguments) argv.push_back(a.c_str());
    parse_outcome outcome{};
    outcome.ok = parse_export_options(static_cast<int>(argv.size()), argv.data(), outcome.request,
                                      outcome.problem);
    return outcome;
}

struct run_outcome {
    int status;
    std::string out;
    std::string err;
};

run_outcome run(const export_request& request)
{
    std::ostringstream out;
    std::ostringstream err;
    const int status = run_export(request, out, err);
    return {status, out.str(), err.str()};
}

export_request request_for(const scratch& s, std::vector<std::string> logs)
{
    export_request request;
    request.logs = std::move(logs);
    request.output_dir = (s.root / "out").string();
    request.formats.assign(std::begin(all_formats), std::end(all_formats));
    request.utc_offset = -180;
    return request;
}

std::string export_path()
{
    const char* build = std::getenv("ZARIM_BUILD_DIR");
    return build != nullptr ? std::string(build) + "/zarim-export" : ZARIM_EXPORT_PATH;
}

// The built program with these arguments, its output caught in files.
run_outcome run_binary(const scratch& s, const std::vector<std::string>& arguments)
{
    const std::string out_path = (s.root / "stdout").string();
    const std::string err_path = (s.root / "stderr").string();
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
        const std::string program = export_path();
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128, read_file(out_path), read_file(err_path)};
}

}  // namespace

TEST(export_options, take_gnu_forms_and_refuse_bad_ones)
{
    const parse_outcome plain = parse({"QLT_20261208.txt"});
    ASSERT_TRUE(plain.ok) << plain.problem;
    EXPECT_EQ(plain.request.output_dir, ".");
    EXPECT_EQ(plain.request.formats.size(), std::size(all_formats));
    EXPECT_FALSE(plain.request.utc_offset);
    EXPECT_FALSE(plain.request.json);

    struct good {
        std::vector<std::string> arguments;
        std::optional<int> offset;
        std::vector<export_format> formats;
        std::string output_dir;
    };
    const std::vector<export_format> all(std::begin(all_formats), std::end(all_formats));
    const good goods[] = {
        {{"--utc-offset", "-03:00", "a"}, -180, all, "."},
        {{"--utc-offset=-03:00", "a"}, -180, all, "."},
        {{"a", "--utc-offset", "+05:30", "b"}, 330, all, "."},
        {{"--formats", "svg,gpx", "a"}, std::nullopt, {export_format::gpx, export_format::svg}, "."},
        {{"--formats=kml", "--formats=csv", "a"}, std::nullopt, {export_format::csv}, "."},
        {{"--formats=gpx,all", "a"}, std::nullopt, all, "."},
        {{"--output-dir", "out", "a"}, std::nullopt, all, "out"},
        {{"--output-dir=-out", "a"}, std::nullopt, all, "-out"},
        {{"--", "--odd-log-name"}, std::nullopt, all, "."},
    };
    for (const good& g : goods) {
        const parse_outcome o = parse(g.arguments);
        ASSERT_TRUE(o.ok) << g.arguments[0] << ": " << o.problem;
        EXPECT_EQ(o.request.utc_offset, g.offset) << g.arguments[0];
        EXPECT_EQ(o.request.formats, g.formats) << g.arguments[0];
        EXPECT_EQ(o.request.output_dir, g.output_dir) << g.arguments[0];
        EXPECT_FALSE(o.request.logs.empty());
    }

    struct bad {
        std::vector<std::string> arguments;
        const char* problem;
    };
    const bad bads[] = {
        {{}, "no log given"},
        {{"--json"}, "no log given"},
        {{"--formats", "pdf", "a"}, "unknown format 'pdf'"},
        {{"--formats", "gpx,,kml", "a"}, "empty format name"},
        {{"--utc-offset", "3", "a"}, "bad value '3' for --utc-offset"},
        {{"--utc-offset=-3:00", "a"}, "bad value '-3:00' for --utc-offset"},
        {{"a", "--utc-offset"}, "missing value for --utc-offset"},
        {{"--output-dir", "--json", "a"}, "missing value for --output-dir"},
        {{"--output-dir=", "a"}, "empty value for --output-dir"},
        {{"--bogus", "a"}, "unknown option --bogus"},
        {{"-j", "a"}, "unknown option -j"},
        {{"--json=yes", "a"}, "--json takes no value"},
        {{"--descent-rate", "0", "a"}, "bad value '0' for --descent-rate"},
        {{"--burst-altitude", "30 km", "a"}, "bad value '30 km' for --burst-altitude"},
        {{"--ground-altitude=nan", "a"}, "bad value 'nan' for --ground-altitude"},
    };
    for (const bad& b : bads) {
        const parse_outcome o = parse(b.arguments);
        EXPECT_FALSE(o.ok) << b.problem;
        EXPECT_NE(o.problem.find(b.problem), std::string::npos) << o.problem;
    }
    const parse_outcome predicting =
        parse({"--descent-rate", "6.5", "--burst-altitude=25000", "--ground-altitude", "-20", "a"});
    ASSERT_TRUE(predicting.ok) << predicting.problem;
    EXPECT_EQ(predicting.request.prediction.sea_level_descent_rate, 6.5);
    EXPECT_EQ(predicting.request.prediction.burst_altitude, 25000);
    EXPECT_EQ(predicting.request.prediction.ground_altitude, -20);
    EXPECT_FALSE(plain.request.prediction.ground_altitude) << "the launch height";
    EXPECT_TRUE(parse({"--help"}).request.help);
    EXPECT_TRUE(parse({"--version"}).request.version);
}

TEST(export_run, writes_every_format_and_reports_bad_lines_by_place)
{
    const scratch s;
    const std::string a = s.file("a/QLT_20261231.txt", station_a_log);
    const std::string b = s.file("b/QLT_20270101.txt", station_b_log);
    const run_outcome text = run(request_for(s, {a, b}));
    EXPECT_EQ(text.status, 1);
    EXPECT_EQ(text.err, a + ":5: fewer than 10 comma-separated fields\n");
    for (const char* extension : {"gpx", "kml", "geojson", "csv", "svg"}) {
        const fs::path path = s.root / "out" / (std::string("QLT_20261231.") + extension);
        EXPECT_TRUE(fs::exists(path)) << path;
        EXPECT_FALSE(fs::exists(path.string() + ".part"));
        EXPECT_NE(text.out.find(path.string()), std::string::npos) << text.out;
    }
    for (const char* line : {
             "Flight from         " /* then the first log */,
             "Frames read         10, 2 heard again and counted once\n",
             "Frames used         6, 2 impossible positions left out\n",
             "Frames missing      0 (gaps in the frame counter)\n",
             "Not readable        1 line, 0 logs (reported on standard error)\n",
             "Stage               falling, 700 m at 2027-01-01T00:05:00-03:00, not landed yet\n",
             "Launch              2026-12-31T23:58:00-03:00  -23.55, -46.63  760 m\n",
             "Burst               1500 m  2027-01-01T00:03:00-03:00  -23.5504, -46.626\n",
             "Mean ascent rate    2.47 m/s\n",
             "Mean descent rate   6.67 m/s so far\n",
             "Greatest speed      472.26 km/h  2027-01-01T00:04:00-03:00\n",
             "Flight duration     7 min 00 s, launch to last fix (not landed yet)\n",
             "Last fix            2027-01-01T00:05:00-03:00  -23.5506, -46.624  700 m\n",
         }) {
        EXPECT_NE(text.out.find(line), std::string::npos) << line << "\n" << text.out;
    }

    export_request as_json = request_for(s, {a, b});
    as_json.json = true;
    const run_outcome json = run(as_json);
    const nlohmann::json summary = nlohmann::json::parse(json.out);
    EXPECT_EQ(summary.at("frames").at("read"), 10);
    EXPECT_EQ(summary.at("frames").at("duplicates"), 2);
    EXPECT_EQ(summary.at("frames").at("used"), 6);
    EXPECT_EQ(summary.at("frames").at("impossible"), 2);
    EXPECT_EQ(summary.at("frames").at("unreadable_lines"), 1);
    EXPECT_EQ(summary.at("burst").at("altitude"), 1500);
    EXPECT_EQ(summary.at("burst").at("time"), "2027-01-01T03:03:00Z");
    EXPECT_EQ(summary.at("mean_descent_rate"), 6.667);
    EXPECT_EQ(summary.at("utc_offset"), "-03:00");
    EXPECT_EQ(summary.at("outputs").size(), 5U);
    EXPECT_EQ(summary.at("duration"), 420);
    EXPECT_EQ(summary.at("stage"), "descent");
    EXPECT_TRUE(summary.at("landing").is_null());
}

TEST(export_run, exit_status_says_what_went_wrong)
{
    const scratch s;
    const std::string good = s.file("QLT_20270101.txt", station_b_log);
    const std::string no_fix = s.file("QLT_20270102.txt", " 1 ,10:00:00, 0 , 0 , 0 , 0 , 0 , 0 , 0 , 0 \r\n");
    const std::string blocking_file = s.file("blocked", "a file where the output folder should be");

    const run_outcome clean = run(request_for(s, {good}));
    EXPECT_EQ(clean.status, 0) << clean.err;
    EXPECT_EQ(clean.err, "");

    export_request only_gpx = request_for(s, {good});
    only_gpx.output_dir = (s.root / "gpx-only" / "deeper").string();
    only_gpx.formats = {export_format::gpx};
    EXPECT_EQ(run(only_gpx).status, 0);
    EXPECT_EQ(std::distance(fs::directory_iterator(only_gpx.output_dir), fs::directory_iterator()), 1);

    const run_outcome missing = run(request_for(s, {good, "/nonexistent/QLT_20261208.txt"}));
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("zarim-export: /nonexistent/QLT_20261208.txt: cannot open"),
              std::string::npos)
        << missing.err;
    EXPECT_TRUE(fs::exists(s.root / "out" / "QLT_20270101.gpx"));

    const run_outcome undated = run(request_for(s, {s.file("flight.txt", station_b_log)}));
    EXPECT_EQ(undated.status, 1);
    EXPECT_NE(undated.err.find("QLT_yyyymmdd"), std::string::npos) << undated.err;

    const run_outcome nothing = run(request_for(s, {no_fix}));
    EXPECT_EQ(nothing.status, 1);
    EXPECT_NE(nothing.err.find("no usable position"), std::string::npos);
    EXPECT_FALSE(fs::exists(s.root / "out" / "QLT_20270102.gpx"));

    export_request blocked = request_for(s, {good});
    blocked.output_dir = blocking_file;
    const run_outcome cannot = run(blocked);
    EXPECT_EQ(cannot.status, 1);
    EXPECT_NE(cannot.err.find("zarim-export: cannot make"), std::string::npos) << cannot.err;
}

TEST(export_program, speaks_through_its_exit_status)
{
    const scratch s;
    const run_outcome help = run_binary(s, {"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--output-dir", "--formats", "--utc-offset", "--json", "--version"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    EXPECT_EQ(help.err, "");

    const run_outcome version = run_binary(s, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(version.out.starts_with("zarim-export ")) << version.out;

    const run_outcome bad = run_binary(s, {"--utc-offset", "BRT", "x"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_TRUE(bad.err.starts_with("zarim-export: bad value 'BRT' for --utc-offset")) << bad.err;
    EXPECT_TRUE(bad.err.ends_with("(see --help)\n"));

    const std::string a = s.file("QLT_20261231.txt", station_a_log);
    const run_outcome partly = run_binary(
        s, {"--utc-offset=-03:00", "--formats", "geojson", "--output-dir", (s.root / "o").string(), a});
    EXPECT_EQ(partly.status, 1);
    EXPECT_EQ(partly.err, a + ":5: fewer than 10 comma-separated fields\n");
    EXPECT_TRUE(fs::exists(s.root / "o" / "QLT_20261231.geojson"));

    const std::string b = s.file("QLT_20270101.txt", station_b_log);
    const run_outcome json = run_binary(s, {"--json", "--output-dir", (s.root / "o").string(), b});
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(nlohmann::json::parse(json.out).at("frames").at("used"), 4);
}

// Logs of two launches days apart, and two logs that place the payload far
// apart at the same time: refused with a message and nothing written, or
// with --split-days one set of files per flight.
TEST(export_run, logs_that_cannot_be_one_flight_are_refused_or_split)
{
    const scratch s;
    const std::string april_2023 = s.file("QLT_20230422.txt", steady_log(60, 36000));
    const std::string april_2022 = s.file("QLT_20220404.txt", steady_log(90, 50000));
    const std::string here = s.file("a/QLT_20230422.txt", steady_log(60, 36000, -1, 0, -23.5, -46.6));
    const std::string far = s.file("b/QLT_20230422.txt", steady_log(60, 36001, -1, 0, -22.9, -43.2));
    struct split_case {
        std::vector<std::string> logs;
        bool split_days;
        int status;
        const char* message;
        std::vector<std::string> files;  // stems written, each in every format
    };
    const split_case cases[] = {
        {{april_2023, april_2022}, false, 1, "the logs hold 2 flights, not one: no frame between 2022-04-04T13:54:49-03:00 and 2023-04-22T10:00:00-03:00 (382 days)", {}},
        {{april_2023, april_2022}, true, 0, "", {"QLT_20220404", "QLT_20230422"}},
        {{here, far}, false, 1, "cannot be one flight: at 2023-04-22T10:00:01-03:00 they place the payload", {}},
        {{here, far}, true, 1, "export each on its own. Nothing written.", {}},
    };
    for (const split_case& c : cases) {
        const scratch out;
        export_request request = request_for(out, c.logs);
        request.split_days = c.split_days;
        request.json = true;
        const run_outcome outcome = run(request);
        EXPECT_EQ(outcome.status, c.status) << outcome.err;
        EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
        std::set<std::string> written;
        if (fs::exists(out.root / "out")) {
            for (const auto& entry : fs::directory_iterator(out.root / "out"))
                written.insert(entry.path().filename().string());
        }
        std::set<std::string> expected;
        for (const std::string& stem : c.files) {
            for (const export_format format : all_formats) expected.insert(stem + "." + format_name(format));
        }
        EXPECT_EQ(written, expected) << c.message;
        if (c.files.size() > 1) {
            const nlohmann::json summaries = nlohmann::json::parse(outcome.out);
            ASSERT_EQ(summaries.size(), c.files.size());
            EXPECT_EQ(summaries[0].at("frames").at("used"), 90);
            EXPECT_EQ(summaries[1].at("frames").at("used"), 60);
        } else {
            EXPECT_EQ(outcome.out, "");
        }
    }
}

// A folder and a log whose names are not UTF-8: every document is still
// well-formed UTF-8, the name carries U+FFFD, and the message shows the
// bytes.
TEST(export_program, names_that_are_not_utf8_make_valid_documents)
{
    const scratch s;
    const std::string log = s.file("jo\xe3o/QLT_20261208-\xe3.txt", station_b_log);
    const std::string out = (s.root / "jo\xe3o" / "out").string();
    const run_outcome json = run_binary(s, {"--json", "--utc-offset=-03:00", "--output-dir", out, log});
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.err.find("QLT_20261208-\\xe3.txt is not UTF-8"), std::string::npos) << json.err;
    const nlohmann::json summary = nlohmann::json::parse(json.out);
    EXPECT_EQ(summary.at("outputs").size(), std::size(all_formats));
    for (const export_format format : all_formats) {
        const std::string text = read_file(fs::path(out) / (std::string("QLT_20261208-\xe3.") + format_name(format)));
        EXPECT_TRUE(is_utf8(text)) << format_name(format);
        if (format == export_format::geojson) {
            EXPECT_EQ(nlohmann::json::parse(text).at("name"), "QLT_20261208-\xef\xbf\xbd");
        } else if (format != export_format::csv) {
            pugi::xml_document document;
            EXPECT_TRUE(document.load_string(text.c_str())) << format_name(format);
            EXPECT_NE(text.find("QLT_20261208-\xef\xbf\xbd"), std::string::npos) << format_name(format);
        }
    }
    const run_outcome plain = run_binary(s, {"--utc-offset=-03:00", "--output-dir", out, log});
    EXPECT_EQ(plain.status, 0);
    EXPECT_NE(plain.out.find("Flight from         " + s.root.string() + "/jo\\xe3o/QLT_20261208-\\xe3.txt"),
              std::string::npos)
        << plain.out;
}
