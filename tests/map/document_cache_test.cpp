// The flight's documents: written once per state for every request that
// wants them, outside the lock that new lines need.
#include <gtest/gtest.h>

#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "document_cache.h"
#include "live_flight.h"
#include "map/receiver_log.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

document_cache::writer writing(std::string text)
{
    return [text] { return text; };
}

follow_news line_news(const std::string& line, bool new_file)
{
    follow_news news;
    news.path = "/logs/QLT_20261208.txt";
    news.new_file = new_file;
    news.lines.push_back(without_line_end(line));
    return news;
}

}  // namespace

TEST(document_cache, a_request_waits_for_the_document_being_written_while_the_lock_is_free)
{
    std::mutex flight_lock;
    document_cache cache;
    std::promise<void> second_has_the_lock;
    std::future<void> lock_taken = second_has_the_lock.get_future();
    std::thread first([&] {
        std::unique_lock lock(flight_lock);
        const document_text text = cache.get(lock, {1, 1}, clock_type::now(), [&]() -> document_cache::writer {
            return [&] {
                // Under the lock this would wait in vain.
                return lock_taken.wait_for(10s) == std::future_status::ready ? "written" : "under the lock";
            };
        });
        EXPECT_EQ(*text, "written");
    });
    while (cache.made() == 0) std::this_thread::yield();
    std::unique_lock lock(flight_lock);
    second_has_the_lock.set_value();
    const document_text text = cache.get(lock, {1, 1}, clock_type::now(), [] { return writing("again"); });
    first.join();
    EXPECT_EQ(*text, "written");
    EXPECT_EQ(cache.made(), 1U);
}

TEST(document_cache, the_kept_document_serves_its_state_and_requests_older_than_its_copy)
{
    struct request_case {
        const char* what;
        document_state state;
        bool asked_before_the_copy;
        bool written_anew;
    };
    const request_case cases[] = {
        {"the same state, asked later", {1, 5}, false, false},
        {"a later state, asked before the copy", {1, 6}, true, false},
        {"a later state, asked later", {1, 6}, false, true},
        {"another generation, asked later", {2, 5}, false, true},
    };
    for (const request_case& c : cases) {
        std::mutex flight_lock;
        document_cache cache;
        const clock_type::time_point before = clock_type::now();
        std::unique_lock lock(flight_lock);
        const document_text first = cache.get(lock, {1, 5}, before, [] { return writing("first"); });
        lock.lock();
        const clock_type::time_point asked = c.asked_before_the_copy ? before : clock_type::now();
        const document_text second = cache.get(lock, c.state, asked, [] { return writing("second"); });
        EXPECT_EQ(*second, c.written_anew ? "second" : "first") << c.what;
        EXPECT_EQ(first == second, !c.written_anew) << c.what;
        EXPECT_FALSE(lock.owns_lock()) << c.what;
    }
}

TEST(document_cache, the_flights_documents_are_written_once_until_a_line_comes)
{
    live_flight flight(std::nullopt);
    simulated_receiver receiver;
    flight.apply(line_news(receiver.next_line(), true), 0);
    const document_text track = flight.geojson_document();
    EXPECT_EQ(flight.geojson_document(), track);
    EXPECT_EQ(flight.kml_document(), flight.kml_document());
    EXPECT_EQ(flight.documents_made(), 2U);

    flight.apply(line_news(receiver.next_line(), false), 0);
    const nlohmann::json later = nlohmann::json::parse(*flight.geojson_document());
    EXPECT_EQ(later["zarim"]["next_event"], 2);
    EXPECT_EQ(flight.documents_made(), 3U);
}
