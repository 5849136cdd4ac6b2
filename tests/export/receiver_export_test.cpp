// The log as the real receiver writes it, from frames the real sender sends
// of a simulated flight, exported by the real program.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "e2e/receiver_process.h"
#include "private_network.h"

namespace {

std::string build_path(const char* program, const char* fallback)
{
    const char* build = std::getenv("ZARIM_BUILD_DIR");
    return build != nullptr ? std::string(build) + "/" + program : fallback;
}

std::string read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream all;
    all << file.rdbuf();
    return all.str();
}

pid_t spawn(const std::string& program, const std::vector<std::string>& arguments,
            const std::string& out_path)
{
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open((out_path + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return child;
}

int exit_status(pid_t child)
{
    int raw = 0;
    waitpid(child, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

std::string only_log_in(const std::string& directory)
{
    std::string found;
    DIR* folder = opendir(directory.c_str());
    if (folder == nullptr) return found;
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name.starts_with("QLT_") && name.ends_with(".txt")) found = directory + "/" + name;
    }
    closedir(folder);
    return found;
}

struct logged_frame {
    int counter;
    int altitude;
};

std::vector<logged_frame> frames_in(const std::string& log)
{
    std::vector<logged_frame> frames;
    std::size_t start = 0;
    for (std::size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
        std::vector<std::string> fields;
        std::stringstream line(log.substr(start, end - start));
        for (std::string field; std::getline(line, field, ',');) fields.push_back(field);
        EXPECT_EQ(fields.size(), 10U);
        if (fields.size() == 10) frames.push_back({std::stoi(fields[0]), std::stoi(fields[4])});
    }
    EXPECT_EQ(start, log.size()) << "the log ends in a whole line";
    return frames;
}

class receiver_export : public testing::Test {
protected:
    void SetUp() override
    {
        if (!enter_private_network() && port_3000_taken()) {
            GTEST_SKIP() << "UDP port 3000 is held on this machine and no private network can be had";
        }
    }
    void TearDown() override
    {
        stop_receiver(receiver);
        if (!directory.empty()) std::filesystem::remove_all(directory);
    }

    receiver_process receiver;
    std::string directory;
};

}  // namespace

TEST_F(receiver_export, a_log_the_receiver_wrote_becomes_the_flight)
{
    directory = make_scratch_directory();
    start_receiver(receiver, 24, 80, directory);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!port_3000_taken() && std::chrono::steady_clock::now() < deadline) read_output(receiver, 50);
    ASSERT_TRUE(port_3000_taken()) << "the receiver never opened its port";

    // 500 frames 20 flight seconds apart: the whole ascent to the burst and
    // the descent to the ground, in two seconds.
    const pid_t sender =
        spawn(build_path("zarim-send", ZARIM_SEND_PATH),
              {"--simulate", "--steady", "--rate", "250", "--count", "500", "--step", "20"}, directory + "/sent");
    int sent = -1;
    while (sent < 0 && std::chrono::steady_clock::now() < deadline) {
        read_output(receiver, 50);  // a terminal nobody reads would stall the receiver
        int raw = 0;
        if (waitpid(sender, &raw, WNOHANG) == sender) sent = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128;
    }
    ASSERT_EQ(sent, 0) << read_file(directory + "/sent.err");
    const std::string log_path = only_log_in(directory);
    ASSERT_FALSE(log_path.empty());
    for (std::size_t size = 0; std::chrono::steady_clock::now() < deadline;) {
        read_output(receiver, 300);
        const std::size_t now = read_file(log_path).size();
        if (now == size) break;
        size = now;
    }
    type_keys(receiver, "\x1b");
    // ESC is seen when the next datagram ends the wait, once it has reached
    // the receiver and stood alone for the key gap.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    send_datagram("00");
    EXPECT_NE(wait_for_exit(receiver, 10000), -1);

    const std::vector<logged_frame> frames = frames_in(read_file(log_path));
    ASSERT_GT(frames.size(), 300U) << "most frames reach the log";
    int highest = frames.front().altitude;
    for (const logged_frame& f : frames) highest = std::max(highest, f.altitude);
    ASSERT_GT(highest, 29000) << "the flight reached its burst";

    const std::string out = directory + "/out";
    const int status = exit_status(spawn(build_path("zarim-export", ZARIM_EXPORT_PATH),
                                         {"--json", "--utc-offset=-03:00", "--output-dir", out, log_path},
                                         directory + "/summary"));
    EXPECT_EQ(status, 0) << read_file(directory + "/summary.err");
    EXPECT_EQ(read_file(directory + "/summary.err"), "");
    const nlohmann::json summary = nlohmann::json::parse(read_file(directory + "/summary"));
    const nlohmann::json& counts = summary.at("frames");
    EXPECT_EQ(counts.at("read"), frames.size());
    EXPECT_EQ(counts.at("used"), frames.size());
    EXPECT_EQ(counts.at("duplicates"), 0);
    EXPECT_EQ(counts.at("unreadable_lines"), 0);
    const int span = frames.back().counter - frames.front().counter + 1;
    EXPECT_EQ(counts.at("missing"), static_cast<std::size_t>(span) - frames.size());
    EXPECT_EQ(summary.at("launch").at("counter"), frames.front().counter);
    EXPECT_EQ(summary.at("last_fix").at("counter"), frames.back().counter);
    EXPECT_EQ(summary.at("burst").at("altitude"), highest);
    EXPECT_NEAR(summary.at("mean_ascent_rate").get<double>(), 5, 0.1);
    EXPECT_NEAR(summary.at("mean_descent_rate").get<double>(), 12, 0.3);

    const std::string stem = log_path.substr(log_path.rfind('/') + 1, 12);
    pugi::xml_document gpx;
    ASSERT_TRUE(gpx.load_file((out + "/" + stem + ".gpx").c_str()));
    std::size_t i = 0;
    for (const pugi::xml_node point : gpx.child("gpx").child("trk").child("trkseg").children("trkpt")) {
        ASSERT_LT(i, frames.size());
        EXPECT_EQ(point.child("ele").text().as_int(), frames[i++].altitude);
    }
    EXPECT_EQ(i, frames.size());
    pugi::xml_document svg;
    EXPECT_TRUE(svg.load_file((out + "/" + stem + ".svg").c_str()));
    pugi::xml_document kml;
    EXPECT_TRUE(kml.load_file((out + "/" + stem + ".kml").c_str()));
}
