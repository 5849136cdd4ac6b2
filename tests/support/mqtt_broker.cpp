#include "mqtt_broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::once_flag library_ready;

std::string file_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool write_file(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

std::string find_program(const std::string& name)
{
    for (const char* folder : {"/usr/sbin/", "/usr/bin/", "/usr/local/sbin/", "/usr/local/bin/"}) {
        const std::string path = folder + name;
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return name;
}

// Runs a program to its end, its output into `log`; true when it exits 0.
bool run_program(std::vector<std::string> arguments, const std::string& log)
{
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::uint16_t free_loopback_port()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) ::close(fd);
    return port;
}

bool takes_connections(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool connected = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) ::close(fd);
    return connected;
}

}  // namespace

std::string scratch_directory(const std::string& purpose)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zarim-" + purpose + "-XXXXXX";
    return ::mkdtemp(pattern.data()) != nullptr ? pattern : "";
}

bool make_test_certificates(const std::string& directory, const std::string& name, test_certificates& made,
                            std::string& problem)
{
    const std::string base = directory + "/" + name;
    const std::string log = base + "-openssl.log";
    const std::vector<std::string> key = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    std::vector<std::string> ca = {"openssl", "req", "-x509"};
    ca.insert(ca.end(), key.begin(), key.end());
    ca.insert(ca.end(), {"-keyout", base + "-ca.key", "-out", base + "-ca.crt", "-days", "2", "-subj", "/CN=" + name + " test CA"});
    std::vector<std::string> request = {"openssl", "req"};
    request.insert(request.end(), key.begin(), key.end());
    request.insert(request.end(), {"-keyout", base + "-server.key", "-out", base + "-server.csr", "-subj", "/CN=localhost"});
    const bool made_all =
        run_program(ca, log) && run_program(request, log) &&
        write_file(base + "-san.ext", "subjectAltName=DNS:localhost,IP:127.0.0.1\n") &&
        run_program({"openssl", "x509", "-req", "-in", base + "-server.csr", "-CA", base + "-ca.crt", "-CAkey",
                     base + "-ca.key", "-CAcreateserial", "-out", base + "-server.crt", "-days", "2", "-extfile",
                     base + "-san.ext"},
                    log);
    if (!made_all) {
        problem = "openssl could not make the test certificates: " + file_text(log);
        return false;
    }
    made = {base + "-ca.crt", base + "-server.crt", base + "-server.key"};
    return true;
}

test_broker::test_broker(broker_setup setup) : setup_(std::move(setup)) {}

test_broker::~test_broker()
{
    stop();
}

bool test_broker::prepare(std::string& problem)
{
    directory_ = scratch_directory("broker");
    port_ = free_loopback_port();
    if (directory_.empty() || port_ == 0) {
        problem = "no scratch directory or free port for the broker";
        return false;
    }
    if (setup_.tls && !make_test_certificates(directory_, "broker", certificates_, problem)) return false;
    std::string config;
    // Run as root (as CI does), Mosquitto would otherwise change to its
    // own user, who cannot read the test's files.
    if (::geteuid() == 0) config += "user root\n";
    config += "per_listener_settings false\npersistence " + std::string(setup_.persistence ? "true" : "false") + "\n";
    if (setup_.persistence) config += "persistence_location " + directory_ + "/\n";
    // A test's client may fall behind a burst for a moment; the broker
    // keeps what it owes it rather than dropping it.
    config += "max_queued_messages 100000\n";
    config += "log_dest file " + directory_ + "/mosquitto.log\nlog_type error\nlog_type warning\nlog_type notice\n"
              "log_type information\n";
    if (setup_.passwords.empty()) {
        config += "allow_anonymous true\n";
    } else {
        const std::string passwords = directory_ + "/passwords";
        bool first = true;
        for (const auto& [user, password] : setup_.passwords) {
            std::vector<std::string> command = {find_program("mosquitto_passwd")};
            if (first) command.emplace_back("-c");
            command.insert(command.end(), {"-b", passwords, user, password});
            if (!run_program(command, directory_ + "/mosquitto_passwd.log")) {
                problem = "mosquitto_passwd failed: " + file_text(directory_ + "/mosquitto_passwd.log");
                return false;
            }
            first = false;
        }
        config += "allow_anonymous false\npassword_file " + passwords + "\n";
    }
    if (!setup_.acl.empty()) {
        write_file(directory_ + "/acl", setup_.acl);
        config += "acl_file " + directory_ + "/acl\n";
    }
    config += "listener " + std::to_string(port_) + " 127.0.0.1\n";
    if (setup_.tls) {
        config += "cafile " + certificates_.ca + "\ncertfile " + certificates_.server_certificate + "\nkeyfile " +
                  certificates_.server_key + "\n";
    }
    config_ = directory_ + "/mosquitto.conf";
    if (!write_file(config_, config)) {
        problem = "cannot write " + config_;
        return false;
    }
    return true;
}

bool test_broker::use_config(const std::string& text)
{
    return write_file(config_, text);
}

bool test_broker::start(std::string& problem)
{
    if (running()) return true;
    if (config_.empty() && !prepare(problem)) return false;
    std::string program = find_program("mosquitto");
    std::vector<char*> argv = {program.data(), const_cast<char*>("-c"), config_.data(), nullptr};
    const std::string output = directory_ + "/mosquitto.out";
    pid_ = ::fork();
    if (pid_ == 0) {
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!takes_connections(port_)) {
        int status = 0;
        if (pid_ <= 0 || ::waitpid(pid_, &status, WNOHANG) == pid_ || std::chrono::steady_clock::now() > deadline) {
            if (pid_ > 0) stop();
            pid_ = -1;
            problem = "mosquitto did not start: " + file_text(output) + log();
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

void test_broker::stop()
{
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(25ms);
    if (::waitpid(pid_, &status, WNOHANG) == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
}

std::string test_broker::url() const
{
    return std::string(setup_.tls ? "mqtts" : "mqtt") + "://127.0.0.1:" + std::to_string(port_);
}

std::string test_broker::log() const
{
    return file_text(directory_ + "/mosquitto.log");
}

// libmosquitto's callbacks, on the client's network thread.
struct test_client_callbacks {
    static test_client& of(void* self) { return *static_cast<test_client*>(self); }

    static void connected(mosquitto* /*client*/, void* self, int code, int /*flags*/,
                          const mosquitto_property* /*properties*/)
    {
        test_client& c = of(self);
        const std::lock_guard<std::mutex> guard(c.mutex_);
        c.connect_result_ = code;
        c.changed_.notify_all();
    }

    static void subscribed(mosquitto* /*client*/, void* self, int /*mid*/, int /*count*/, const int* /*granted*/,
                           const mosquitto_property* /*properties*/)
    {
        test_client& c = of(self);
        const std::lock_guard<std::mutex> guard(c.mutex_);
        ++c.subscriptions_;
        c.changed_.notify_all();
    }

    static void received(mosquitto* /*client*/, void* self, const mosquitto_message* message,
                         const mosquitto_property* /*properties*/)
    {
        test_client& c = of(self);
        const std::lock_guard<std::mutex> guard(c.mutex_);
        c.received_.push_back({message->topic,
                               std::string(static_cast<const char*>(message->payload),
                                           static_cast<std::size_t>(message->payloadlen)),
                               message->retain, std::chrono::steady_clock::now()});
        c.changed_.notify_all();
    }
};

test_client::test_client(client_setup setup) : setup_(std::move(setup)) {}

test_client::~test_client()
{
    disconnect();
}

bool test_client::connect(std::uint16_t port, const std::vector<std::string>& filters, std::string& problem)
{
    std::call_once(library_ready, [] { mosquitto_lib_init(); });
    const bool persistent = !setup_.client_id.empty();
    client_ = mosquitto_new(persistent ? setup_.client_id.c_str() : nullptr, !persistent, this);
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(client_, test_client_callbacks::connected);
    mosquitto_subscribe_v5_callback_set(client_, test_client_callbacks::subscribed);
    mosquitto_message_v5_callback_set(client_, test_client_callbacks::received);
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    if (!setup_.username.empty()) {
        mosquitto_username_pw_set(client_, setup_.username.c_str(), setup_.password.c_str());
    }
    if (!setup_.cafile.empty()) mosquitto_tls_set(client_, setup_.cafile.c_str(), nullptr, nullptr, nullptr, nullptr);
    mosquitto_property* properties = nullptr;
    if (persistent) mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 3600);
    const int result = mosquitto_connect_bind_v5(client_, "127.0.0.1", port, 30, nullptr, properties);
    mosquitto_property_free_all(&properties);
    if (result != MOSQ_ERR_SUCCESS || mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) {
        problem = std::string("the test client cannot connect: ") + mosquitto_strerror(result);
        return false;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, 10s, [&] { return connect_result_ >= 0; }) || connect_result_ != 0) {
        problem = "the broker refused the test client: " + std::to_string(connect_result_);
        return false;
    }
    const int wanted = subscriptions_ + static_cast<int>(filters.size());
    lock.unlock();
    for (const std::string& filter : filters) mosquitto_subscribe_v5(client_, nullptr, filter.c_str(), 1, 0, nullptr);
    lock.lock();
    if (!changed_.wait_for(lock, 10s, [&] { return subscriptions_ >= wanted; })) {
        problem = "the broker did not grant the test client's subscriptions";
        return false;
    }
    return true;
}

bool test_client::publish(const std::string& topic, const std::string& payload, bool retain)
{
    return client_ != nullptr &&
           mosquitto_publish_v5(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                                retain, nullptr) == MOSQ_ERR_SUCCESS;
}

void test_client::disconnect()
{
    if (client_ == nullptr) return;
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, true);
    mosquitto_destroy(client_);
    client_ = nullptr;
}

std::vector<received_message> test_client::messages() const
{
    const std::lock_guard<std::mutex> guard(mutex_);
    return received_;
}

bool test_client::wait_for(const std::function<bool(const std::vector<received_message>&)>& done,
                           std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return done(received_); });
}
