#include "event_hub.h"

#include <utility>

namespace {

// Text handed to one stream in one round at most; a page far behind gets
// the rest in the rounds after.
constexpr std::size_t text_per_round = std::size_t{64} << 10;
// How soon a stream passed over, or not given everything, is looked at again.
constexpr std::chrono::milliseconds retry_interval{50};

bool same_place(const stream_cursor& a, const stream_cursor& b)
{
    return a.generation == b.generation && a.next == b.next && a.status_sent == b.status_sent &&
           a.prediction_sent == b.prediction_sent && a.clock_sent == b.clock_sent;
}

}  // namespace

event_hub::event_hub(live_flight& flight, std::chrono::milliseconds heartbeat)
    : flight_(flight), heartbeat_(heartbeat)
{
}

event_hub::~event_hub()
{
    stop();
}

void event_hub::start()
{
    watcher_ = std::thread([this] { watch(); });
    feeder_ = std::thread([this] { feed(); });
}

void event_hub::stop()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    // The watcher waits on the flight, which its owner closes first.
    if (watcher_.joinable()) watcher_.join();
    if (feeder_.joinable()) feeder_.join();
}

void event_hub::add(std::shared_ptr<http_stream> sink, stream_cursor cursor)
{
    {
        const std::lock_guard lock(mutex_);
        entries_.push_back(std::make_shared<entry>(entry{std::move(sink), cursor}));
        dirty_ = true;
    }
    changed_.notify_all();
}

void event_hub::wake()
{
    {
        const std::lock_guard lock(mutex_);
        dirty_ = true;
    }
    changed_.notify_all();
}

// Follows the flight with a cursor of its own, only to learn when there
// is news, or when a heartbeat's time has passed without any.
void event_hub::watch()
{
    stream_cursor mine;
    std::string ignored;
    for (;;) {
        const stream_cursor before = mine;
        if (!flight_.next_events(mine, ignored, heartbeat_)) break;
        ignored.clear();
        {
            const std::lock_guard lock(mutex_);
            if (stopping_) break;
            news_ = true;
            if (same_place(before, mine)) beat_ = true;
        }
        changed_.notify_all();
    }
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
}

bool event_hub::next_text(entry& e, std::string& out, bool heartbeat, bool& more)
{
    const std::size_t first = out.size();
    for (;;) {
        const stream_cursor before = e.cursor;
        const std::size_t size = out.size();
        if (!flight_.next_events(e.cursor, out, std::chrono::milliseconds(0))) return false;
        if (same_place(before, e.cursor)) {
            // Nothing new: what it wrote is a clock, wanted only as the
            // heartbeat of a stream that had nothing else.
            if (!heartbeat || size != first) out.resize(size);
            return true;
        }
        if (out.size() - first >= text_per_round) {
            more = true;
            return true;
        }
    }
}

void event_hub::feed()
{
    std::unique_lock lock(mutex_);
    bool again = false;
    for (;;) {
        const auto ready = [this] { return stopping_ || news_ || dirty_; };
        if (again) {
            changed_.wait_for(lock, retry_interval, ready);
        } else {
            changed_.wait(lock, ready);
        }
        if (stopping_) return;
        const bool heartbeat = beat_;
        news_ = beat_ = dirty_ = false;
        std::size_t ended = 0;
        std::vector<std::shared_ptr<entry>> live;
        for (const std::shared_ptr<entry>& e : entries_) {
            if (e->sink->ended()) {
                ++ended;
            } else {
                live.push_back(e);
            }
        }
        entries_ = live;
        lock.unlock();

        again = false;
        for (; ended > 0; --ended) flight_.leave_stream();
        for (const std::shared_ptr<entry>& e : live) {
            if (e->sink->backlog() > backlog_bound) {
                again = true;
                continue;
            }
            std::string out;
            bool more = false;
            if (!next_text(*e, out, heartbeat, more)) {
                lock.lock();
                return;
            }
            again = again || more;
            if (!out.empty()) e->sink->push(std::move(out));
        }
        lock.lock();
    }
}
