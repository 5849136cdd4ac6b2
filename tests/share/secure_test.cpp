// A team's broker as packaging/ describes it (TLS, a password for every
// user, each station publishing only as itself), with a CA the test makes:
// the right station gets through, and every wrong one is told why and
// ends, rather than trying again and again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "share/share_process.h"
#include "support/mqtt_broker.h"

namespace {

using namespace std::chrono_literals;

std::string file_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void replace(std::string& text, const std::string& from, const std::string& to)
{
    ASSERT_NE(text.find(from), std::string::npos) << from;
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

class TeamBroker : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        broker_setup setup;
        setup.tls = true;
        setup.passwords = {{"alpha", "alpha-secret"}, {"bravo", "bravo-secret"}, {"map", "map-secret"}};
        broker = new test_broker(setup);
        std::string problem;
        ASSERT_TRUE(broker->prepare(problem)) << problem;
        // The reference configuration itself, pointed at the test's files.
        std::string config = file_text(ZARIM_SOURCE_DIR "/packaging/mosquitto-zarim.conf");
        replace(config, "/etc/mosquitto/zarim.passwd", broker->passwords_file());
        replace(config, "/etc/mosquitto/zarim.acl", ZARIM_SOURCE_DIR "/packaging/mosquitto-zarim.acl");
        replace(config, "/var/lib/mosquitto/", broker->directory() + "/");
        replace(config, "listener 8883", "listener " + std::to_string(broker->port()) + " 127.0.0.1");
        replace(config, "/etc/mosquitto/certs/broker.crt", broker->certificates().server_certificate);
        replace(config, "/etc/mosquitto/certs/broker.key", broker->certificates().server_key);
        replace(config, "/etc/mosquitto/certs/ca.crt", broker->certificates().ca);
        if (::geteuid() == 0) config = "user root\n" + config;
        config += "log_dest file " + broker->directory() + "/mosquitto.log\n";
        ASSERT_TRUE(broker->use_config(config));
        ASSERT_TRUE(broker->start(problem)) << problem;
    }

    static void TearDownTestSuite()
    {
        delete broker;
        broker = nullptr;
    }

    void SetUp() override
    {
        ASSERT_NE(broker, nullptr);
        logs = scratch_directory("share-logs");
        state_home = scratch_directory("share-state");
        append_lines(logs + "/QLT_20261208.txt", 1, 5);
        for (const auto& [user, password] : {std::pair<std::string, std::string>{"alpha", "alpha-secret\n"},
                                             {"bravo", "bravo-secret\n"}, {"wrong", "guess\n"}}) {
            const std::string path = state_home + "/" + user + ".password";
            std::ofstream(path) << password;
            ::chmod(path.c_str(), 0600);
        }
        map = std::make_unique<test_client>(client_setup{"", "map", "map-secret", broker->certificates().ca});
        std::string problem;
        ASSERT_TRUE(map->connect(broker->port(), {"zarim/" + flight() + "/#"}, problem)) << problem;
    }

    void TearDown() override
    {
        if (share.pid > 0) stop_share(share, SIGKILL);
    }

    // One flight per test, so that the tests see nothing of each other.
    static std::string flight() { return testing::UnitTest::GetInstance()->current_test_info()->name(); }

    std::vector<std::string> arguments(const std::string& user, const std::string& password_file,
                                       const std::string& cafile) const
    {
        return {"--broker", broker->url(), "--flight", flight(), "--station-name", "alpha", "--username", user,
                "--password-file", state_home + "/" + password_file + ".password", "--cafile", cafile, logs};
    }

    static test_broker* broker;
    std::string logs;
    std::string state_home;
    std::unique_ptr<test_client> map;
    share_process share;
};

test_broker* TeamBroker::broker = nullptr;

}  // namespace

TEST_F(TeamBroker, a_station_with_its_password_over_tls_is_heard)
{
    start_share(share, arguments("alpha", "alpha", broker->certificates().ca), state_home);
    ASSERT_TRUE(map->wait_for([](const std::vector<received_message>& all) {
        return numbers_of(lines_in(all, flight())).size() == 5;
    }, 30s)) << share_output(share);
    EXPECT_EQ(stop_share(share, SIGTERM), 0);
}

TEST_F(TeamBroker, every_refusal_ends_the_program_with_its_reason)
{
    const std::string other_ca_directory = scratch_directory("share-other-ca");
    test_certificates other;
    std::string problem;
    ASSERT_TRUE(make_test_certificates(other_ca_directory, "other", other, problem)) << problem;
    struct row {
        std::vector<std::string> arguments;
        std::string said;
    };
    const std::string ca = broker->certificates().ca;
    const std::vector<row> rows = {
        {arguments("alpha", "wrong", ca),
         "refused the connection: Not authorized (check --username alpha and --password-file, or the certificate "
         "given with --cert)"},
        {arguments("alpha", "alpha", other.ca),
         "the TLS connection to the broker failed: OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify "
         "failed"},
        // Bravo's own password, but alpha's name: the access rules refuse.
        {arguments("bravo", "bravo", ca),
         "on zarim/" + flight() + "/alpha/lines: Not authorized (its access rules must let user bravo publish on zarim/" +
             flight() + "/alpha/#)"},
    };
    for (const row& r : rows) {
        start_share(share, r.arguments, state_home);
        EXPECT_EQ(wait_share(share, 30), 1) << r.said;
        if (share.pid > 0) stop_share(share, SIGKILL);
        EXPECT_NE(share_output(share).find(r.said), std::string::npos) << share_output(share);
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(lines_in(map->messages(), flight()).empty());
}
