// A station's network link to the broker, that a test can cut and restore:
// a TCP relay on a free loopback port to the broker's. Cut, it drops every
// connection and refuses new ones, as a car driving out of coverage would
// see its link go.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

class tcp_relay {
public:
    // To 127.0.0.1:`target`; port() is 0 when no port could be had.
    explicit tcp_relay(std::uint16_t target);
    ~tcp_relay();
    tcp_relay(const tcp_relay&) = delete;
    tcp_relay& operator=(const tcp_relay&) = delete;

    [[nodiscard]] std::uint16_t port() const { return port_; }
    void cut() { cut_ = true; }
    void restore() { cut_ = false; }

private:
    void run();

    std::uint16_t target_;
    std::uint16_t port_ = 0;
    int listener_ = -1;
    std::atomic<bool> cut_{false};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
