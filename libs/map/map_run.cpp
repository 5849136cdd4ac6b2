#include "map_run.h"

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>

#include "map_messages.h"
#include "wall_clock.h"

namespace {

server_settings with_options(server_settings settings, const map_options& options)
{
    settings.host = options.listen_host;
    settings.port = options.listen_port;
    settings.allowed_hosts = options.allowed_hosts;
    settings.tiles = options.tiles;
    settings.tiles_given = options.tiles_given;
    settings.station = options.station;
    return settings;
}

std::string address_to_open(const std::string& host, std::uint16_t port)
{
    const bool any = host == "0.0.0.0" || host == "::";
    const bool ipv6 = host.find(':') != std::string::npos;
    const std::string shown = any ? "localhost" : ipv6 ? "[" + host + "]" : host;
    return "http://" + shown + ":" + std::to_string(port) + "/";
}

}  // namespace

map_service::map_service(const map_options& options, server_settings tuning)
    : log_path_(options.log_path),
      follow_log_(options.follow_log),
      follower_(options.log_path),
      flight_(options.station, tuning.streams, options.prediction),
      server_(flight_, with_options(std::move(tuning), options))
{
    if (options.broker) feed_.emplace(options, flight_);
}

map_service::~map_service()
{
    stop();
    wait();
}

bool map_service::start(std::string& problem)
{
    if ((follow_log_ && !follower_.start(problem)) || !server_.bind(problem)) return false;
    if (feed_ && !feed_->start(problem)) return false;
    if (!follow_log_) flight_.set_waiting_text("No local log: the flight's stations, through the broker");
    // A thread's exception would end the program without a word: each ends
    // the service instead, and says why.
    if (follow_log_) {
        reader_ = std::thread([this] {
            try {
                follow();
            } catch (const std::exception& error) {
                fail(std::string("following the log failed: ") + error.what());
            }
        });
    }
    serving_ = std::thread([this] {
        try {
            served_ = server_.serve();
        } catch (const std::exception& error) {
            served_ = false;
            fail(std::string("serving failed: ") + error.what());
        }
    });
    return true;
}

void map_service::follow()
{
    const std::string waiting = follower_.searches_directory()
                                    ? "Waiting for a log (QLT_yyyymmdd.txt) in " + follower_.directory()
                                    : "Waiting for " + log_path_;
    for (;;) {
        const follow_news news = follower_.read_news();
        flight_.apply(news, now_ms());
        // A log that cannot be read stops being followed until it can: the
        // page and /status.json say why in place of the file's name.
        if (news.path.empty()) flight_.set_waiting_text(news.problem.empty() ? waiting : news.problem);
        if (!news.more && !follower_.wait_for_change(-1)) return;
    }
}

void map_service::fail(const std::string& why)
{
    {
        const std::lock_guard lock(failure_mutex_);
        if (failure_.empty()) failure_ = why;
    }
    stop();
}

std::string map_service::failure() const
{
    const std::lock_guard lock(failure_mutex_);
    return failure_;
}

void map_service::stop()
{
    server_.stop();
    follower_.stop();
}

void map_service::stop_feed()
{
    if (feed_) feed_->stop();
}

bool map_service::wait()
{
    if (serving_.joinable()) serving_.join();
    // Serving can also end on its own (the socket failing): then the
    // follower is stopped here.
    follower_.stop();
    if (reader_.joinable()) reader_.join();
    stop_feed();
    return served_;
}

int run_map(const map_options& options)
{
    // Only the thread made for them takes the signals, so that none lands
    // in a worker in the middle of a write.
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);

    map_service service(options);
    for (const std::string& missing : service.server().missing_files()) {
        complain("cannot read " + missing + ": the page will show no map (install libjs-leaflet)");
    }
    std::string problem;
    if (!service.start(problem)) {
        complain(problem);
        return 1;
    }
    say("serving the live map at " + address_to_open(options.listen_host, service.port()));
    if (options.listen_host == "0.0.0.0" || options.listen_host == "::") {
        say("other devices on the network open this computer's address, port " +
            std::to_string(service.port()));
    }
    if (options.follow_log) {
        say(service.follower().searches_directory()
                ? "following the newest QLT_yyyymmdd.txt in " + service.follower().directory()
                : "following " + options.log_path);
    }
    if (options.broker) {
        say("showing flight " + options.flight + " from every station at " + broker_url(options.broker->broker) +
            ", as map " + service.feed()->map_name() +
            (options.record_directory.empty() ? "" : "; recording their logs in " + options.record_directory));
    }

    std::thread signals([&] {
        int received = 0;
        sigwait(&ending, &received);
        service.stop();
    });
    const bool served = service.wait();
    // Serving that ended on its own leaves the signal thread waiting.
    ::kill(::getpid(), SIGTERM);
    signals.join();
    if (const std::string failure = service.failure(); !failure.empty()) {
        complain(failure);
        return 1;
    }
    if (!served) {
        complain("serving stopped: the listening socket failed");
        return 1;
    }
    return 0;
}
