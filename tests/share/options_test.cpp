// zarim-share's command line: what it needs, what it refuses, and the
// password from its file.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "share_options.h"
#include "support/mqtt_broker.h"

namespace {

struct parsed {
    bool ok = false;
    share_options options;
    std::string problem;
};

parsed parse(std::vector<std::string> arguments, const std::string& host = "laptop")
{
    arguments.insert(arguments.begin(), "zarim-share");
    std::vector<const char*> argv;
    for (const std::string& a : arguments) argv.push_back(a.c_str());
    parsed p;
    p.ok = parse_share_options(static_cast<int>(argv.size()), argv.data(), host, p.options, p.problem);
    return p;
}

}  // namespace

TEST(share_options, a_full_command_line)
{
    const parsed p = parse({"--broker", "mqtts://broker.example:8884", "--flight=f1", "--station-name", "car-2",
                            "--station=-23.5,-46.6,760", "--cafile", "ca.crt", "--cert", "c.crt", "--key", "c.key",
                            "--username", "car-2", "--password-file", "pw", "--state", "s.state", "logs"});
    ASSERT_TRUE(p.ok) << p.problem;
    EXPECT_EQ(p.options.login.broker.host, "broker.example");
    EXPECT_EQ(p.options.login.broker.port, 8884);
    EXPECT_TRUE(p.options.login.broker.tls);
    EXPECT_EQ(p.options.flight, "f1");
    EXPECT_EQ(p.options.station_name, "car-2");
    ASSERT_TRUE(p.options.station.has_value());
    EXPECT_DOUBLE_EQ(p.options.station->latitude, -23.5);
    EXPECT_DOUBLE_EQ(p.options.station->altitude, 760);
    EXPECT_EQ(p.options.login.password_file, "pw");
    EXPECT_EQ(p.options.state_path, "s.state");
    EXPECT_EQ(p.options.log_path, "logs");

    const parsed plain = parse({"--broker", "mqtt://10.0.0.1", "--flight", "f1"});
    ASSERT_TRUE(plain.ok) << plain.problem;
    EXPECT_EQ(plain.options.station_name, "laptop");  // the computer's name
    EXPECT_EQ(plain.options.login.broker.port, 1883);
    EXPECT_EQ(plain.options.log_path, ".");
}

TEST(share_options, broker_addresses)
{
    struct row {
        std::string url;
        std::string host;
        int port;  // 0: refused
        bool tls;
    };
    const std::vector<row> rows = {
        {"mqtt://localhost", "localhost", 1883, false},
        {"mqtt://localhost:1884/", "localhost", 1884, false},
        {"mqtts://broker", "broker", 8883, true},
        {"mqtt://[::1]:1883", "::1", 1883, false},
        {"tcp://localhost:1883", "", 0, false},
        {"mqtt://", "", 0, false},
        {"mqtt://host:0", "", 0, false},
        {"mqtt://host:65536", "", 0, false},
        {"mqtt://host/path", "", 0, false},
        {"mqtt://[::1]x", "", 0, false},
        {"localhost:1883", "", 0, false},
    };
    for (const row& r : rows) {
        broker_address broker;
        std::string problem;
        EXPECT_EQ(parse_broker_url(r.url, broker, problem), r.port != 0) << r.url;
        if (r.port == 0) continue;
        EXPECT_EQ(broker.host, r.host) << r.url;
        EXPECT_EQ(broker.port, r.port) << r.url;
        EXPECT_EQ(broker.tls, r.tls) << r.url;
    }
}

TEST(share_options, a_bad_command_line_says_what_is_wrong)
{
    struct row {
        std::vector<std::string> arguments;
        std::string problem;
    };
    const std::vector<std::string> good = {"--broker", "mqtt://b", "--flight", "f"};
    const auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> all = good;
        all.insert(all.end(), more.begin(), more.end());
        return all;
    };
    const std::vector<row> rows = {
        {{"--flight", "f"}, "--broker is needed: the MQTT broker to publish to (mqtt://HOST:PORT)"},
        {{"--broker", "mqtt://b"}, "--flight is needed: the name every station and map of this flight uses"},
        {{"--broker", "mqtt://user:pw@b", "--flight", "f"},
         "--broker takes no user or password: give --username and --password-file"},
        {{"--broker", "mqtt://b", "--flight", "a/b"},
         "--flight: 'a/b' may hold only letters, digits, '-', '_' and '.' (1 to 64 of them)"},
        {with({"--station-name", "car#1"}),
         "--station-name: 'car#1' may hold only letters, digits, '-', '_' and '.' (1 to 64 of them)"},
        {with({"--station", "91,0"}), "--station: latitude must be within -90 to 90 and longitude within -180 to 180"},
        {with({"--station", "1"}), "--station wants LAT,LON or LAT,LON,ALT in degrees and metres, not '1'"},
        {with({"--cafile", "ca.crt"}), "--cafile, --cert and --key are for a TLS broker: give it as mqtts://"},
        {{"--broker", "mqtts://b", "--flight", "f", "--cert", "c.crt"},
         "--cert and --key go together: the client certificate and its private key"},
        {with({"--password-file", "pw"}), "--password-file needs --username"},
        {with({"--password", "secret"}), "unknown option --password"},
    };
    for (const row& r : rows) {
        const parsed p = parse(r.arguments);
        EXPECT_FALSE(p.ok) << r.problem;
        EXPECT_EQ(p.problem, r.problem);
    }
    const parsed unnamed = parse(good, "my host");
    EXPECT_FALSE(unnamed.ok);
    EXPECT_EQ(unnamed.problem, "--station-name is needed: this computer's name ('my host' may hold only letters, "
                               "digits, '-', '_' and '.' (1 to 64 of them)) cannot be one");
}

TEST(share_options, the_password_is_the_files_first_line)
{
    const std::string directory = scratch_directory("share-options");
    struct row {
        std::string content;
        std::string password;  // empty: refused
    };
    const std::vector<row> rows = {
        {"s3cret\r\nmore\n", "s3cret"}, {"with space", "with space"}, {"\nsecond", ""},
    };
    for (const row& r : rows) {
        const std::string path = directory + "/pw";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << r.content;
        std::string password;
        std::string problem;
        EXPECT_EQ(read_password_file(path, password, problem), !r.password.empty()) << r.content;
        EXPECT_EQ(password, r.password);
    }
    std::string password;
    std::string problem;
    EXPECT_FALSE(read_password_file(directory + "/missing", password, problem));
    EXPECT_EQ(problem, "cannot read the password file " + directory + "/missing: No such file or directory");
}
