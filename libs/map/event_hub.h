// The live pages' event streams, fed from the flight without a thread
// per page: one thread waits on the flight for news (or for the heartbeat
// to come round), another hands each stream what it has not had yet. A
// stream whose client does not keep up is passed over until it has sent
// what it holds, so a slow page costs a bounded backlog, not memory.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "http_server.h"
#include "live_flight.h"

class event_hub {
public:
    event_hub(live_flight& flight, std::chrono::milliseconds heartbeat);
    ~event_hub();
    event_hub(const event_hub&) = delete;
    event_hub& operator=(const event_hub&) = delete;

    void start();
    // Ends both threads; the streams still open are left to the server.
    void stop();

    // A page's stream, already counted by the flight (join_stream), from
    // `cursor` on. The hub gives its place back (leave_stream) once the
    // stream has ended.
    void add(std::shared_ptr<http_stream> sink, stream_cursor cursor);
    // Something changed for the streams (one has ended): look again.
    void wake();

    // Text a stream may hold unsent before it is passed over.
    static constexpr std::size_t backlog_bound = std::size_t{256} << 10;

private:
    struct entry {
        std::shared_ptr<http_stream> sink;
        stream_cursor cursor;
    };

    void watch();
    void feed();
    // What `e` has not had, as Server-Sent Events; false once the flight is closed.
    bool next_text(entry& e, std::string& out, bool heartbeat, bool& more);

    live_flight& flight_;
    const std::chrono::milliseconds heartbeat_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<entry>> entries_;
    bool news_ = false;
    bool beat_ = false;
    bool dirty_ = false;
    bool stopping_ = false;
    std::thread watcher_;
    std::thread feeder_;
};
