#include "share_run.h"

#include <mqtt_protocol.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <utility>

#include "share_protocol.h"

namespace {

using clock = std::chrono::steady_clock;

// Between two reports of the same library problem (a broker whose
// certificate fails at every reconnection), at least.
constexpr auto repeat_pause = std::chrono::seconds(60);
// A connection lost sooner than this after it was made counts as brief.
constexpr auto brief_connection = std::chrono::seconds(10);

// Texts from the library and the broker reach the terminal only as
// printable ASCII.
std::string printable(std::string_view text)
{
    std::string shown;
    for (const char c : text.substr(0, 300)) shown += c >= 0x20 && c < 0x7f ? c : '?';
    return shown;
}

// A path the user gave may hold any byte; its control characters are not
// passed to the terminal.
std::string shown_path(std::string_view path)
{
    std::string shown;
    for (const char c : path) shown += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    return shown;
}

// A message that cannot be written has nowhere left to be reported.
void say(const std::string& text)
{
    static_cast<void>(std::fputs(("zarim-share: " + text + "\n").c_str(), stdout));
    static_cast<void>(std::fflush(stdout));
}

void complain(const std::string& text)
{
    static_cast<void>(std::fputs(("zarim-share: " + text + "\n").c_str(), stderr));
}

std::string log_directory_of(const std::string& log_path)
{
    struct stat status {};
    if (::stat(log_path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return log_path;
    const std::size_t slash = log_path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : log_path.substr(0, slash);
}

// The state names logs by absolute path, so that a restart from another
// working directory resumes the same logs.
share_options with_absolute_log_path(share_options options)
{
    std::string& path = options.log_path;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) != nullptr) {
        path = resolved;
        return options;
    }
    // A log not written yet: its directory, resolved, and its name.
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (::realpath(directory.c_str(), resolved) != nullptr) {
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        path = std::string(resolved) + (std::string_view(resolved) == "/" ? "" : "/") + name;
    }
    return options;
}

link_settings settings_for(const share_options& options, std::string password, const share_tuning& tuning)
{
    // One session per station of a flight, the same after every restart.
    link_settings settings =
        login_settings(options.login, "zarim-share/" + options.flight + "/" + options.station_name, std::move(password));
    settings.reconnect_min_seconds = tuning.reconnect_min_seconds;
    settings.reconnect_max_seconds = tuning.reconnect_max_seconds;
    return settings;
}

bool transient_refusal(int code, mqtt_version version)
{
    if (version == mqtt_version::v311) return code == 3;  // server unavailable
    return code == MQTT_RC_SERVER_UNAVAILABLE || code == MQTT_RC_SERVER_BUSY || code == MQTT_RC_QUOTA_EXCEEDED ||
           code == MQTT_RC_CONNECTION_RATE_EXCEEDED;
}

bool credentials_refused(int code, mqtt_version version)
{
    if (version == mqtt_version::v311) return code == 4 || code == 5;
    return code == MQTT_RC_BAD_USERNAME_OR_PASSWORD || code == MQTT_RC_NOT_AUTHORIZED;
}

}  // namespace

share_service::share_service(share_options options, std::string password, const share_tuning& tuning)
    : options_(with_absolute_log_path(std::move(options))),
      tuning_(tuning),
      state_path_(options_.state_path.empty()
                      ? default_state_path(options_.flight, options_.station_name, log_directory_of(options_.log_path))
                      : options_.state_path),
      follower_(options_.log_path),
      link_(settings_for(options_, std::move(password), tuning_), [this](link_event event) { link_happened(std::move(event)); }),
      answers_(options_.flight, options_.station_name, tuning_.catchup_lines_per_second)
{
}

share_service::~share_service()
{
    stop();
    wait();
}

bool share_service::start(std::string& problem)
{
    if (!lock_.acquire(state_path_, problem)) return false;
    share_state state;
    std::string why;
    switch (load_state(state_path_, state, why)) {
    case state_found::read:
        if (state.flight != options_.flight || state.station != options_.station_name) {
            complain("the state " + shown_path(state_path_) + " is another flight's or station's: sharing the log from its start");
            state = {};
        }
        break;
    case state_found::missing:
        break;
    case state_found::unreadable:
        complain("cannot read the state " + shown_path(state_path_) + " (" + why + "): sharing the log from its start");
        state = {};
        break;
    }
    ledger_ = publish_ledger(state.logs);
    // Written at once: a state that cannot be kept is better known now than
    // after a day of lines.
    if (!save_state(state_path_, ledger_.snapshot(options_.flight, options_.station_name), problem)) return false;
    if (!follower_.start(problem)) return false;
    source_.emplace(follower_, ledger_.resume_points());

    std::string unreachable;
    if (!link_.start(version_, problem, unreachable)) return false;
    if (!unreachable.empty()) {
        complain("cannot reach the broker at " + broker_url(options_.login.broker) + " yet (" + printable(unreachable) +
                 "); trying again");
    }
    // A thread that meets an exception ends the program with its message,
    // as a problem of its own would.
    reader_ = std::thread([this] {
        try {
            follow();
        } catch (const std::exception& error) {
            fail(std::string("stopped following the log: ") + error.what());
        }
    });
    publisher_ = std::thread([this] {
        try {
            publish();
        } catch (const std::exception& error) {
            fail(std::string("stopped publishing: ") + error.what());
            link_.stop();
        }
    });
    return true;
}

void share_service::stop()
{
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    room_.notify_all();
    follower_.stop();
}

int share_service::wait()
{
    if (publisher_.joinable()) publisher_.join();
    follower_.stop();
    if (reader_.joinable()) reader_.join();
    return failed() ? 1 : 0;
}

bool share_service::failed() const
{
    const std::lock_guard<std::mutex> guard(mutex_);
    return failed_;
}

void share_service::fail(const std::string& problem)
{
    complain(problem);
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        failed_ = true;
        stopping_ = true;
    }
    room_.notify_all();
    follower_.stop();
}

void share_service::link_happened(link_event event)
{
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        events_.push_back(std::move(event));
    }
    wake_.notify_one();
}

void share_service::follow()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            room_.wait(lock, [&] { return stopping_ || inbox_.size() < tuning_.waiting_lines; });
            if (stopping_) return;
        }
        std::vector<outgoing_line> lines;
        const bool more = source_->read(lines);
        if (!lines.empty()) {
            {
                const std::lock_guard<std::mutex> guard(mutex_);
                for (outgoing_line& line : lines) inbox_.push_back(std::move(line));
            }
            wake_.notify_one();
        }
        if (!more && !follower_.wait_for_change(-1)) return;
    }
}

void share_service::publish()
{
    clock::time_point stop_deadline{};
    clock::time_point answers_due = clock::time_point::max();
    bool ending = false;
    for (;;) {
        std::deque<link_event> events;
        {
            // Nothing to do costs nothing: the thread sleeps until an event,
            // a line with room for it, or the next timed piece of work.
            clock::time_point deadline = clock::time_point::max();
            if (ledger_.changed()) deadline = std::min(deadline, last_kept_ + tuning_.state_interval);
            if (connected_ && answers_.busy()) deadline = std::min(deadline, answers_due);
            if (reconnect_due_ != clock::time_point{}) deadline = std::min(deadline, reconnect_due_);
            if (ending) deadline = std::min(deadline, stop_deadline);
            const bool held = clock::now() < held_until_;
            if (held) deadline = std::min(deadline, held_until_);
            std::unique_lock<std::mutex> lock(mutex_);
            const auto room = [&] { return !held && ledger_.in_flight() + pending_.size() < tuning_.window; };
            const auto ready = [&] {
                return !events_.empty() || stopping_ != ending ||
                       (connected_ && !stopping_ && room() && !inbox_.empty()) ||
                       (connected_ && !stopping_ && room() && !pending_.empty());
            };
            if (deadline == clock::time_point::max()) {
                wake_.wait(lock, ready);
            } else {
                wake_.wait_until(lock, deadline, ready);
            }
            events.swap(events_);
            if (stopping_ && !ending) {
                ending = true;
                stop_deadline = clock::now() + (failed_ || !connected_ ? clock::duration{} : tuning_.stop_grace);
                // What was read and not handed over is read again next time.
                inbox_.clear();
            }
            while (connected_ && !ending && room() && !inbox_.empty()) {
                pending_.push_back(std::move(inbox_.front()));
                inbox_.pop_front();
            }
        }
        room_.notify_one();
        for (const link_event& event : events) {
            if (!handle(event)) break;
        }
        const clock::time_point now = clock::now();
        if (ending || failed()) {
            if (ledger_.in_flight() == 0 || !connected_ || now >= stop_deadline || failed()) break;
            continue;
        }
        if (reconnect_due_ != clock::time_point{} && now >= reconnect_due_) connect_again();
        publish_lines();
        answers_due = clock::time_point::max();
        publish_answers(now, answers_due);
        keep_state(false);
    }
    keep_state(true);
    link_.stop();
}

bool share_service::handle(const link_event& event)
{
    using kind = link_event::kind;
    switch (event.what) {
    case kind::connected:
        connected_ = true;
        connected_at_ = clock::now();
        refused_ = false;
        say(std::string(ever_connected_ ? "connected to the broker again" : "connected to the broker") +
            (event.flag ? ", which kept this station's session" : ""));
        ever_connected_ = true;
        link_.subscribe(catchup_topic(options_.flight));
        if (options_.station) {
            const position_option& p = *options_.station;
            station_position position{options_.station_name, p.latitude, p.longitude, p.altitude, p.altitude_given};
            int mid = 0;
            std::string problem;
            if (!link_.publish(station_topic(options_.flight, options_.station_name), station_payload(position), true,
                               mid, problem)) {
                complain("cannot publish the station's position: " + problem);
            }
        }
        return true;
    case kind::refused:
        connected_ = false;
        refused_ = true;
        if (version_ == mqtt_version::v5 && event.code == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION) {
            say("the broker speaks MQTT 3.1.1, not 5: connecting with 3.1.1");
            version_ = mqtt_version::v311;
            connect_again();
            return !failed();
        }
        if (transient_refusal(event.code, version_)) {
            complain("the broker takes no connection now (" + printable(reason_text(event.code, version_)) +
                     "); trying again in " + std::to_string(tuning_.reconnect_max_seconds) + " s");
            reconnect_due_ = clock::now() + std::chrono::seconds(tuning_.reconnect_max_seconds);
            return true;
        }
        fail("the broker at " + broker_url(options_.login.broker) + " refused the connection: " +
             printable(reason_text(event.code, version_)) +
             (credentials_refused(event.code, version_)
                  ? " (check --username" + std::string(options_.login.username.empty() ? "" : " " + options_.login.username) +
                        " and --password-file, or the certificate given with --cert)"
                  : ""));
        return false;
    case kind::lost:
        if (connected_) {
            complain("lost the connection to the broker (" + printable(mqtt_error_text(event.code)) + "); trying again");
            // Two programs with one client id take the session from each
            // other in turn, each connection soon lost.
            short_connections_ = clock::now() - connected_at_ < brief_connection ? short_connections_ + 1 : 0;
            if (short_connections_ == 3) {
                complain("the connection keeps being lost soon after it is made: is another zarim-share sharing as "
                         "station " + options_.station_name + " of flight " + options_.flight + "? Only one may");
            }
        } else if (!ever_connected_ && !refused_ && !told_unanswered_) {
            // Said once: the attempts go on with growing pauses.
            complain("the broker at " + broker_url(options_.login.broker) + " ended the connection before answering (" +
                     printable(mqtt_error_text(event.code)) + ")" +
                     (options_.login.broker.tls ? "" : "; if it takes only TLS there, give mqtts://") + "; trying again");
            told_unanswered_ = true;
        }
        connected_ = false;
        return true;
    case kind::acknowledged:
        if (!ledger_.acknowledged(event.mid)) std::erase(answer_mids_, event.mid);
        return true;
    case kind::rejected:
        if (const outgoing_line* line = ledger_.line_of(event.mid); line != nullptr) {
            fail("the broker refused line " + std::to_string(line->number) + " of " + shown_path(line->log->path) +
                 " on " + lines_topic(options_.flight, options_.station_name) + ": " +
                 printable(reason_text(event.code, version_)) + " (its access rules must let user " +
                 (options_.login.username.empty() ? std::string("(none)") : options_.login.username) + " publish on zarim/" +
                 options_.flight + "/" + options_.station_name + "/#)");
            return false;
        }
        std::erase(answer_mids_, event.mid);
        complain("the broker refused a message of this station: " + printable(reason_text(event.code, version_)));
        return true;
    case kind::subscribed:
        if (event.code >= 128) {
            complain("the broker lets this station read no catch-up requests on " + catchup_topic(options_.flight) +
                     " (" + printable(reason_text(event.code, version_)) + "): maps opened late will miss its earlier lines");
        }
        return true;
    case kind::too_large:
        return true;  // no request is that long
    case kind::message: {
        if (event.flag || event.topic != catchup_topic(options_.flight)) return true;  // a request is never kept
        share_message message;
        std::string problem;
        if (read_share_message(options_.flight, event.topic, event.text, message, problem)) {
            if (const auto* request = std::get_if<catchup_request>(&message)) answers_.request(*request);
        }
        return true;
    }
    case kind::library_said: {
        // The broker's certificate or the TLS itself refused: no retry can
        // mend that. Before the first connection any TLS failure counts so,
        // since the user is there to see it.
        const bool tls = event.text.find("OpenSSL Error") != std::string::npos;
        const bool refused = event.text.find("certificate") != std::string::npos ||
                             event.text.find("alert") != std::string::npos ||
                             event.text.find("wrong version number") != std::string::npos;
        if (tls && (refused || !ever_connected_)) {
            fail("the TLS connection to the broker failed: " + printable(event.text));
            return false;
        }
        const clock::time_point now = clock::now();
        if (event.text != last_library_text_ || now - last_library_said_ >= repeat_pause) {
            complain("broker connection: " + printable(event.text));
            last_library_text_ = event.text;
            last_library_said_ = now;
        }
        return true;
    }
    }
    return true;
}

void share_service::connect_again()
{
    reconnect_due_ = {};
    // The client that held the lines in flight goes with its connection.
    std::vector<outgoing_line> again = ledger_.take_back_in_flight();
    pending_.insert(pending_.begin(), std::make_move_iterator(again.begin()), std::make_move_iterator(again.end()));
    answer_mids_.clear();
    connected_ = false;
    std::string problem;
    std::string unreachable;
    if (!link_.start(version_, problem, unreachable)) {
        fail(problem);
        return;
    }
    if (!unreachable.empty()) complain("cannot reach the broker (" + printable(unreachable) + "); trying again");
}

void share_service::publish_lines()
{
    const std::string topic = lines_topic(options_.flight, options_.station_name);
    while (connected_ && !pending_.empty() && ledger_.in_flight() < tuning_.window) {
        const outgoing_line& line = pending_.front();
        const shared_line shared{options_.station_name, line.log->date, line.number, line.text, {}};
        int mid = 0;
        std::string problem;
        if (!link_.publish(topic, line_payload(shared), false, mid, problem)) {
            // Kept, and tried again a moment later.
            complain("cannot hand a line to the MQTT client: " + printable(problem));
            held_until_ = clock::now() + std::chrono::seconds(1);
            return;
        }
        ledger_.sent(line, mid);
        pending_.pop_front();
    }
}

void share_service::publish_answers(clock::time_point now, clock::time_point& due)
{
    while (connected_ && answers_.busy() && answer_mids_.size() < tuning_.catchup_window) {
        const std::optional<catchup_message> message = answers_.next(ledger_.logs(), now, due);
        if (!message) return;
        int mid = 0;
        std::string problem;
        if (!link_.publish(message->topic, message->payload, false, mid, problem)) {
            complain("cannot hand an answer to the MQTT client: " + printable(problem));
            return;
        }
        answer_mids_.push_back(mid);
    }
}

bool share_service::keep_state(bool now)
{
    const clock::time_point at = clock::now();
    if (!now && (!ledger_.changed() || at - last_kept_ < tuning_.state_interval)) return true;
    last_kept_ = at;
    std::string problem;
    if (!save_state(state_path_, ledger_.snapshot(options_.flight, options_.station_name), problem)) {
        if (!state_failing_) complain(problem + ": a restart will send lines again");
        state_failing_ = true;
        return false;
    }
    if (state_failing_) say("the state is kept again in " + shown_path(state_path_));
    state_failing_ = false;
    return true;
}

int run_share(const share_options& options)
{
    // Only the thread made for them takes the signals. A broker that goes
    // away mid-write must not end the program.
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);
    static_cast<void>(std::signal(SIGPIPE, SIG_IGN));

    std::string password;
    std::string problem;
    if (!options.login.password_file.empty()) {
        if (!read_password_file(options.login.password_file, password, problem)) {
            complain(problem);
            return 1;
        }
        struct stat status {};
        if (::stat(options.login.password_file.c_str(), &status) == 0 && (status.st_mode & 077) != 0) {
            complain("the password file " + shown_path(options.login.password_file) +
                     " can be read by other users (chmod 600 it)");
        }
    }
    share_service service(options, std::move(password));
    if (!service.start(problem)) {
        complain(problem);
        return 1;
    }
    const bool directory = log_directory_of(options.log_path) == options.log_path;
    say("sharing " + std::string(directory ? "the newest QLT_yyyymmdd.txt in " : "") + shown_path(options.log_path) +
        " as station " + options.station_name + " of flight " +
        options.flight + " through " + broker_url(options.login.broker));
    say("keeping how far the broker has acknowledged in " + shown_path(service.state_path()));

    std::thread signals([&] {
        int received = 0;
        sigwait(&ending, &received);
        service.stop();
    });
    const int status = service.wait();
    // A service that ended on its own leaves the signal thread waiting.
    ::kill(::getpid(), SIGTERM);
    signals.join();
    return status;
}
