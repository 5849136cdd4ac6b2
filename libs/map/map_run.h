// The live map as a program runs it: follow the log on one thread, serve
// the page on others.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "broker_feed.h"
#include "live_flight.h"
#include "log_follower.h"
#include "map_options.h"
#include "map_server.h"

// The follower, the flight and the server wired together, started and
// stopped as one; what the program runs, and what the tests start in
// their own process.
class map_service {
public:
    // `tuning` gives the server's bounds and timings; its address, tiles and
    // station are taken from `options`.
    explicit map_service(const map_options& options, server_settings tuning = {});
    ~map_service();
    map_service(const map_service&) = delete;
    map_service& operator=(const map_service&) = delete;

    // Takes the address and starts following and serving. False with
    // `problem` when the log's directory or the address cannot be had.
    bool start(std::string& problem);
    std::uint16_t port() const { return server_.port(); }
    live_flight& flight() { return flight_; }
    const log_follower& follower() const { return follower_; }
    const map_server& server() const { return server_; }
    // The broker's stations, with --broker.
    const broker_feed* feed() const { return feed_ ? &*feed_ : nullptr; }
    // Ends following and serving. Safe from any thread.
    void stop();
    // Blocks until serving has ended; false when it ended by a failure
    // rather than by stop().
    bool wait();
    // Why the service ended on its own, if it did: a thread that failed.
    std::string failure() const;

private:
    void follow();
    void stop_feed();
    void fail(const std::string& why);

    std::string log_path_;
    bool follow_log_ = true;
    log_follower follower_;
    live_flight flight_;
    map_server server_;
    std::optional<broker_feed> feed_;
    std::thread reader_;
    std::thread serving_;
    bool served_ = true;
    mutable std::mutex failure_mutex_;
    std::string failure_;
};

// Runs the service until SIGINT or SIGTERM. Prints the address to open on
// standard output, problems on standard error. Returns the exit status:
// 0 after a signal, 1 when the log or the address cannot be had.
int run_map(const map_options& options);
