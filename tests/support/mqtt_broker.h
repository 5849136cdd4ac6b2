// A real Mosquitto broker for one test: its own configuration, password
// file, access rules and certificates in a scratch directory, on a free
// loopback port, started and stopped by the test (never a system service).
// And a plain MQTT client that collects what it receives.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;

struct broker_setup {
    bool tls = false;
    std::map<std::string, std::string> passwords;  // user -> password; none: anonymous clients
    std::string acl;  // Mosquitto access rules; empty: every client may do anything
    // Sessions and queued messages kept across a restart of the broker.
    bool persistence = false;
};

// Certificates made with openssl for a test: a CA, and a server
// certificate it signed for 127.0.0.1 and localhost.
struct test_certificates {
    std::string ca;  // the CA's certificate
    std::string server_certificate;
    std::string server_key;
};
bool make_test_certificates(const std::string& directory, const std::string& name, test_certificates& made,
                            std::string& problem);

class test_broker {
public:
    explicit test_broker(broker_setup setup = {});
    ~test_broker();
    test_broker(const test_broker&) = delete;
    test_broker& operator=(const test_broker&) = delete;

    // Picks the port and writes the configuration, the password file and
    // the certificates; start() does when it has not been done.
    bool prepare(std::string& problem);
    // Runs the broker with this configuration instead of the one written.
    bool use_config(const std::string& text);

    // Starts the broker (again on the same port after stop()) and waits
    // until it takes connections. False with `problem` when it cannot.
    bool start(std::string& problem);
    // Ends it with SIGTERM (a persistent broker saves its sessions) and
    // waits for it.
    void stop();
    [[nodiscard]] bool running() const { return pid_ > 0; }

    [[nodiscard]] std::uint16_t port() const { return port_; }
    // mqtt://127.0.0.1:PORT, or mqtts:// with TLS.
    [[nodiscard]] std::string url() const;
    [[nodiscard]] const std::string& directory() const { return directory_; }
    // The CA that signed the broker's certificate (with TLS).
    [[nodiscard]] const test_certificates& certificates() const { return certificates_; }
    [[nodiscard]] std::string passwords_file() const { return directory_ + "/passwords"; }
    // What the broker wrote to its log so far.
    [[nodiscard]] std::string log() const;

private:
    broker_setup setup_;
    std::string directory_;
    std::string config_;
    test_certificates certificates_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

// A fresh empty directory under the system's temporary directory.
std::string scratch_directory(const std::string& purpose);

// What a client received.
struct received_message {
    std::string topic;
    std::string payload;
    bool retained = false;
    std::chrono::steady_clock::time_point at;  // when it arrived
};

struct client_setup {
    std::string client_id;  // empty: a clean session with a made-up id
    std::string username;
    std::string password;
    std::string cafile;  // TLS when given
};

// An MQTT client (MQTT 5, QoS 1) on its own network thread, as a map
// would subscribe.
class test_client {
public:
    explicit test_client(client_setup setup = {});
    ~test_client();
    test_client(const test_client&) = delete;
    test_client& operator=(const test_client&) = delete;

    // Connects, subscribes to `filters` and waits for the broker to have
    // granted them. False with `problem` otherwise.
    bool connect(std::uint16_t port, const std::vector<std::string>& filters, std::string& problem);
    bool publish(const std::string& topic, const std::string& payload, bool retain = false);
    void disconnect();

    // Everything received so far, in order.
    std::vector<received_message> messages() const;
    // Waits until `done` holds for what has been received, or `limit`
    // passes; returns whether it holds.
    bool wait_for(const std::function<bool(const std::vector<received_message>&)>& done,
                  std::chrono::milliseconds limit) const;

private:
    friend struct test_client_callbacks;
    client_setup setup_;
    mosquitto* client_ = nullptr;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<received_message> received_;
    int connect_result_ = -1;
    int subscriptions_ = 0;
};
