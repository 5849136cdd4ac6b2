#include "mqtt_link.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "share_protocol.h"

namespace {

std::once_flag library_ready;

}  // namespace

// libmosquitto's callbacks, on its network thread: each only hands an
// event over.
struct link_callbacks {
    static mqtt_link& link(void* self) { return *static_cast<mqtt_link*>(self); }

    static void connected(mosquitto* /*client*/, void* self, int code, int flags,
                          const mosquitto_property* /*properties*/)
    {
        link_event event;
        event.what = code == 0 ? link_event::kind::connected : link_event::kind::refused;
        event.code = code;
        event.flag = (flags & 1) != 0;
        link(self).listener_(std::move(event));
    }

    static void disconnected(mosquitto* /*client*/, void* self, int code, const mosquitto_property* /*properties*/)
    {
        link_event event;
        event.what = link_event::kind::lost;
        event.code = code;
        link(self).listener_(std::move(event));
    }

    static void published(mosquitto* /*client*/, void* self, int mid, int reason,
                          const mosquitto_property* /*properties*/)
    {
        link_event event;
        // Reasons below 128 are successes ("no matching subscribers" too).
        event.what = reason < 128 ? link_event::kind::acknowledged : link_event::kind::rejected;
        event.mid = mid;
        event.code = reason;
        link(self).listener_(std::move(event));
    }

    static void subscribed(mosquitto* /*client*/, void* self, int mid, int count, const int* granted,
                           const mosquitto_property* /*properties*/)
    {
        link_event event;
        event.what = link_event::kind::subscribed;
        event.mid = mid;
        event.code = count > 0 ? granted[0] : 128;
        link(self).listener_(std::move(event));
    }

    static void received(mosquitto* /*client*/, void* self, const mosquitto_message* message,
                         const mosquitto_property* /*properties*/)
    {
        link_event event;
        event.topic = message->topic != nullptr ? message->topic : "";
        // Nothing larger is a message of ours: it is counted, not copied.
        if (message->payloadlen < 0 || static_cast<std::size_t>(message->payloadlen) > max_share_message_bytes) {
            event.what = link_event::kind::too_large;
            event.code = message->payloadlen;
            link(self).listener_(std::move(event));
            return;
        }
        event.what = link_event::kind::message;
        event.text.assign(static_cast<const char*>(message->payload), static_cast<std::size_t>(message->payloadlen));
        event.flag = message->retain;
        link(self).listener_(std::move(event));
    }

    static void logged(mosquitto* /*client*/, void* self, int level, const char* text)
    {
        if ((level & MOSQ_LOG_ERR) == 0 || text == nullptr) return;
        mqtt_link& l = link(self);
        {
            const std::lock_guard<std::mutex> guard(l.problem_mutex_);
            l.library_problem_ = text;
        }
        link_event event;
        event.what = link_event::kind::library_said;
        event.text = text;
        l.listener_(std::move(event));
    }
};

link_settings login_settings(const broker_login& login, std::string client_id, std::string password)
{
    link_settings settings;
    settings.broker = login.broker;
    settings.client_id = std::move(client_id);
    settings.username = login.username;
    settings.password = std::move(password);
    settings.cafile = login.cafile;
    settings.certfile = login.certfile;
    settings.keyfile = login.keyfile;
    return settings;
}

mqtt_link::mqtt_link(link_settings settings, link_listener listener)
    : settings_(std::move(settings)), listener_(std::move(listener))
{
}

mqtt_link::~mqtt_link()
{
    stop();
}

bool mqtt_link::start(mqtt_version version, std::string& problem, std::string& unreachable)
{
    std::call_once(library_ready, [] { mosquitto_lib_init(); });
    stop();
    {
        const std::lock_guard<std::mutex> guard(problem_mutex_);
        library_problem_.clear();
    }
    // Not a clean session: the broker keeps the station's subscription and
    // what it queued for it while the station is away.
    client_ = mosquitto_new(settings_.client_id.c_str(), false, this);
    if (client_ == nullptr) {
        problem = std::string("cannot make an MQTT client: ") + std::strerror(errno);
        return false;
    }
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION,
                         version == mqtt_version::v5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_connect_v5_callback_set(client_, link_callbacks::connected);
    mosquitto_disconnect_v5_callback_set(client_, link_callbacks::disconnected);
    mosquitto_publish_v5_callback_set(client_, link_callbacks::published);
    mosquitto_subscribe_v5_callback_set(client_, link_callbacks::subscribed);
    mosquitto_message_v5_callback_set(client_, link_callbacks::received);
    mosquitto_log_callback_set(client_, link_callbacks::logged);
    // Pauses that grow by a second each time, up to the most: a broker back
    // from a short outage is found again within seconds.
    mosquitto_reconnect_delay_set(client_, settings_.reconnect_min_seconds, settings_.reconnect_max_seconds, false);

    int result = MOSQ_ERR_SUCCESS;
    if (!settings_.username.empty()) {
        result = mosquitto_username_pw_set(client_, settings_.username.c_str(),
                                           settings_.password.empty() ? nullptr : settings_.password.c_str());
    }
    if (result == MOSQ_ERR_SUCCESS && settings_.broker.tls) {
        const char* cafile = settings_.cafile.empty() ? nullptr : settings_.cafile.c_str();
        const char* certfile = settings_.certfile.empty() ? nullptr : settings_.certfile.c_str();
        const char* keyfile = settings_.keyfile.empty() ? nullptr : settings_.keyfile.c_str();
        if (cafile == nullptr) mosquitto_int_option(client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        // With the system's authorities and no client certificate there is
        // nothing more to give.
        if (cafile != nullptr || certfile != nullptr) {
            result = mosquitto_tls_set(client_, cafile, nullptr, certfile, keyfile, nullptr);
        }
    }
    if (result != MOSQ_ERR_SUCCESS) {
        problem = std::string("libmosquitto refuses the settings: ") + mosquitto_strerror(result);
        stop();
        return false;
    }

    int connect_errno = 0;
    if (version == mqtt_version::v5) {
        // Without an expiry an MQTT 5 session ends with its connection.
        mosquitto_property* properties = nullptr;
        mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL, settings_.session_expiry_seconds);
        result = mosquitto_connect_bind_v5(client_, settings_.broker.host.c_str(), settings_.broker.port,
                                           settings_.keepalive_seconds, nullptr, properties);
        connect_errno = errno;
        mosquitto_property_free_all(&properties);
    } else {
        result = mosquitto_connect_bind(client_, settings_.broker.host.c_str(), settings_.broker.port,
                                        settings_.keepalive_seconds, nullptr);
        connect_errno = errno;
    }
    if (result == MOSQ_ERR_TLS) {
        const std::string said = last_library_problem();
        problem = "the TLS connection to the broker failed" + (said.empty() ? std::string() : ": " + said);
        stop();
        return false;
    }
    if (result == MOSQ_ERR_ERRNO) {
        unreachable = std::strerror(connect_errno);
    } else if (result != MOSQ_ERR_SUCCESS) {
        unreachable = mosquitto_strerror(result);
    }
    result = mosquitto_loop_start(client_);
    if (result != MOSQ_ERR_SUCCESS) {
        problem = std::string("cannot start the MQTT network thread: ") + mosquitto_strerror(result);
        stop();
        return false;
    }
    looping_ = true;
    return true;
}

void mqtt_link::stop()
{
    if (client_ == nullptr) return;
    if (looping_) {
        mosquitto_disconnect(client_);
        // Forced: the thread may sit in a connect to a broker that does not
        // answer.
        mosquitto_loop_stop(client_, true);
        looping_ = false;
    }
    mosquitto_destroy(client_);
    client_ = nullptr;
}

bool mqtt_link::publish(const std::string& topic, std::string_view payload, bool retain, int& mid,
                        std::string& problem)
{
    if (client_ == nullptr) {
        problem = "no MQTT client";
        return false;
    }
    mid = 0;
    const int result = mosquitto_publish_v5(client_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                            payload.data(), 1, retain, nullptr);
    if (result == MOSQ_ERR_SUCCESS || (result == MOSQ_ERR_NO_CONN && mid != 0)) return true;
    problem = mosquitto_strerror(result);
    return false;
}

void mqtt_link::subscribe(const std::string& topic)
{
    if (client_ != nullptr) mosquitto_subscribe_v5(client_, nullptr, topic.c_str(), 1, 0, nullptr);
}

std::string mqtt_link::last_library_problem() const
{
    const std::lock_guard<std::mutex> guard(problem_mutex_);
    return library_problem_;
}

std::string reason_text(int code, mqtt_version version)
{
    if (version == mqtt_version::v311 && code >= 0 && code <= 5) return mosquitto_connack_string(code);
    return mosquitto_reason_string(code);
}

std::string mqtt_error_text(int code)
{
    return mosquitto_strerror(code);
}
