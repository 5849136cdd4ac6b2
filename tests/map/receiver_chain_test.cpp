// The whole chain as a chase team runs it: the real sender's simulated
// flight, the real receiver logging it, and zarim-map following that log
// while the receiver writes it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "e2e/receiver_process.h"
#include "geodesy.h"
#include "log_reading.h"
#include "map/http_client.h"
#include "map/map_process.h"
#include "private_network.h"

namespace {

using json = nlohmann::json;

pid_t start_sender(const std::vector<std::string>& arguments)
{
    const char* build = std::getenv("ZARIM_BUILD_DIR");
    std::string program = build != nullptr && *build != '\0' ? std::string(build) + "/zarim-send" : ZARIM_SEND_PATH;
    std::vector<std::string> all = {program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int nothing = ::open("/dev/null", O_WRONLY);
        if (nothing >= 0) ::dup2(nothing, 1);  // it names every frame it sends
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return child;
}

std::vector<std::string> whole_lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

class ReceiverChain : public testing::Test {
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
        if (map.pid > 0) {
            EXPECT_EQ(stop_map(map), 0);
        }
        if (!directory.empty()) std::filesystem::remove_all(directory);
    }

    receiver_process receiver;
    map_process map;
    std::string directory;
};

}  // namespace

TEST_F(ReceiverChain, the_map_follows_the_log_the_receiver_writes_frame_by_frame)
{
    directory = make_scratch_directory();
    // The map is there first, waiting for the receiver's first log.
    start_map(map, {"--listen", "127.0.0.1:0", "--station=-23.55,-46.64", directory});
    event_stream page;
    ASSERT_EQ(page.open(map.port, "/events?generation=1&from=0"), 200);

    start_receiver(receiver, 24, 80, directory);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!port_3000_taken() && std::chrono::steady_clock::now() < deadline) read_output(receiver, 50);
    ASSERT_TRUE(port_3000_taken()) << "the receiver never opened its port";

    // The whole flight at 20 flight seconds a frame, 100 frames a second,
    // read by the page as it comes.
    const pid_t sender = start_sender({"--simulate", "--steady", "--rate", "100", "--count", "460", "--step", "20"});
    std::vector<json> frames;
    std::vector<json> predictions;
    int sent = -1;
    while (std::chrono::steady_clock::now() < deadline) {
        read_output(receiver, 20);  // a terminal nobody reads would stall the receiver
        int raw = 0;
        if (sent < 0 && ::waitpid(sender, &raw, WNOHANG) == sender) sent = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128;
        // Once the sender is done, two seconds without news end the wait: the
        // map may still be reading the last lines on a loaded machine.
        const std::vector<sse_event> news = page.read(sent >= 0 ? 2000 : 20);
        for (const sse_event& e : news) {
            if (e.event == "frame") frames.push_back(json::parse(e.data));
            if (e.event == "prediction" && e.data != "null") predictions.push_back(json::parse(e.data));
        }
        if (sent >= 0 && (frames.size() >= 460 || (news.empty() && !frames.empty()))) break;
    }
    ASSERT_EQ(sent, 0);

    std::string log_path;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (entry.path().filename().string().rfind("QLT_", 0) == 0) log_path = entry.path();
    }
    ASSERT_FALSE(log_path.empty());
    std::ifstream in(log_path, std::ios::binary);
    const std::vector<std::string> lines =
        whole_lines_of(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    ASSERT_GT(lines.size(), 400U) << "most frames reach the log";

    // Every line the receiver wrote, once, in order.
    ASSERT_EQ(frames.size(), lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const parsed_line p = parse_log_line(lines[i]);
        ASSERT_TRUE(p.record) << lines[i];
        EXPECT_EQ(frames[i]["counter"], p.record->counter) << i;
        EXPECT_EQ(frames[i]["altitude"], p.record->altitude) << i;
        EXPECT_EQ(frames[i]["line"], i + 1);
    }
    const json track = json::parse(http_get(map.port, "/track.geojson").body);
    EXPECT_EQ(track["features"][0]["geometry"]["coordinates"].size(), lines.size());

    // The predictions made during the descent, against where the payload
    // came down: the last, made just above the ground, lands there.
    const json& down = frames.back();
    ASSERT_FALSE(predictions.empty());
    EXPECT_EQ(predictions.back()["progress"], "landed");
    std::optional<json> last_falling;
    for (const json& p : predictions) {
        if (p["progress"] == "descent") last_falling = p;
    }
    ASSERT_TRUE(last_falling);
    EXPECT_LT(ground_path((*last_falling)["latitude"], (*last_falling)["longitude"], down["latitude"],
                          down["longitude"]).distance, 500)
        << last_falling->dump();
    EXPECT_EQ(down["stage"], "landed");
}
