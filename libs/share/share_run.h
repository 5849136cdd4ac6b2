// zarim-share as a program runs it: the follower on one thread, the
// publisher on another, libmosquitto's network thread under them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "catchup_server.h"
#include "log_follower.h"
#include "mqtt_link.h"
#include "publish_ledger.h"
#include "share_options.h"
#include "share_source.h"
#include "share_state.h"

// Bounds and pauses; the tests and the benchmark shorten some.
struct share_tuning {
    std::size_t window = 200;  // lines handed to the broker and not yet acknowledged, at most
    std::size_t catchup_window = 50;  // of them, answers to maps
    double catchup_lines_per_second = 1000;
    std::size_t waiting_lines = 1000;  // read ahead of the window before the follower pauses
    std::chrono::milliseconds state_interval{1000};  // between state writes, at least
    std::chrono::milliseconds stop_grace{5000};  // for acknowledgements once asked to end
    unsigned reconnect_min_seconds = 1;
    unsigned reconnect_max_seconds = 30;
};

class share_service {
public:
    share_service(share_options options, std::string password, const share_tuning& tuning = {});
    ~share_service();
    share_service(const share_service&) = delete;
    share_service& operator=(const share_service&) = delete;

    // Takes the state, starts following and connecting. False with
    // `problem` when the log, the state or the broker's settings cannot be
    // had.
    bool start(std::string& problem);
    // Ends following, waits a while for the lines in flight, keeps the
    // state and disconnects. Safe from any thread.
    void stop();
    // Blocks until the service has ended. Returns 0 after stop(), 1 when
    // it ended on a problem (which it has reported).
    int wait();
    // Whether it ended (or is ending) by itself on a problem.
    bool failed() const;

    const std::string& state_path() const { return state_path_; }

private:
    void link_happened(link_event event);
    void follow();
    void publish();
    bool handle(const link_event& event);
    void connect_again();
    void publish_lines();
    void publish_answers(std::chrono::steady_clock::time_point now,
                         std::chrono::steady_clock::time_point& due);
    bool keep_state(bool now);
    void fail(const std::string& problem);

    share_options options_;
    share_tuning tuning_;
    std::string state_path_;
    state_lock lock_;
    log_follower follower_;
    mqtt_link link_;
    mqtt_version version_ = mqtt_version::v5;
    std::optional<share_source> source_;  // the follower thread's
    publish_ledger ledger_{{}};
    catchup_server answers_;
    std::deque<outgoing_line> pending_;  // taken from the inbox, not yet handed over
    std::vector<int> answer_mids_;  // answers in flight
    bool connected_ = false;
    bool ever_connected_ = false;
    bool refused_ = false;
    bool told_unanswered_ = false;
    std::chrono::steady_clock::time_point connected_at_{};
    int short_connections_ = 0;  // lost soon after being made, in a row
    std::chrono::steady_clock::time_point reconnect_due_{};
    std::chrono::steady_clock::time_point held_until_{};  // after a line the client did not take
    std::chrono::steady_clock::time_point last_kept_{};
    std::string last_library_text_;
    std::chrono::steady_clock::time_point last_library_said_{};
    bool state_failing_ = false;

    // Between the threads.
    mutable std::mutex mutex_;
    std::condition_variable wake_;  // the publisher's
    std::condition_variable room_;  // the follower's
    std::deque<outgoing_line> inbox_;
    std::deque<link_event> events_;
    bool stopping_ = false;
    bool failed_ = false;

    std::thread reader_;
    std::thread publisher_;
};

// Runs the service until SIGINT or SIGTERM. Reports on standard output,
// problems on standard error. Returns the exit status: 0 after a signal,
// 1 when the log, the state or the broker refuses.
int run_share(const share_options& options);
