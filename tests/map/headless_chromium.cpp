#include "map/headless_chromium.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>


namespace {

std::string fresh_profile_directory()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zarim-chromium-XXXXXX";
    return ::mkdtemp(pattern.data()) != nullptr ? pattern : "";
}

std::string file_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string base64_decode(const std::string& text)
{
    std::string bytes;
    unsigned value = 0;
    int bits = 0;
    for (const char c : text) {
        int digit = -1;
        if (c >= 'A' && c <= 'Z') digit = c - 'A';
        if (c >= 'a' && c <= 'z') digit = c - 'a' + 26;
        if (c >= '0' && c <= '9') digit = c - '0' + 52;
        if (c == '+') digit = 62;
        if (c == '/') digit = 63;
        if (digit < 0) continue;
        value = (value << 6) | static_cast<unsigned>(digit);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<char>((value >> bits) & 0xFF));
        }
    }
    return bytes;
}

// Moves a descriptor above the ones the child's fixed numbers need.
int lifted(int fd)
{
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return high;
}

}  // namespace

headless_chromium::~headless_chromium()
{
    stop();
}

std::string headless_chromium::browser_path()
{
    const char* chosen = std::getenv("ZARIM_CHROMIUM");
    const std::string path = chosen != nullptr && *chosen != '\0' ? chosen : "/usr/bin/chromium";
    return ::access(path.c_str(), X_OK) == 0 ? path : "";
}

bool headless_chromium::start(int width, int height, std::string& problem)
{
    const std::string browser = browser_path();
    if (browser.empty()) {
        problem = "no Chromium at /usr/bin/chromium (make test installs it)";
        return false;
    }
    profile_ = fresh_profile_directory();
    if (profile_.empty()) {
        problem = "no directory for the browser's profile";
        return false;
    }
    int commands[2];
    int replies[2];
    if (::pipe(commands) != 0 || ::pipe(replies) != 0) {
        problem = "no pipes";
        return false;
    }
    // The browser reads commands on descriptor 3 and answers on 4.
    const int command_read = lifted(commands[0]);
    const int reply_write = lifted(replies[1]);
    to_browser_ = lifted(commands[1]);
    from_browser_ = lifted(replies[0]);

    std::vector<std::string> arguments = {
        browser,
        "--headless",
        "--disable-gpu",
        "--disable-quic",
        "--no-first-run",
        "--no-default-browser-check",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--disable-extensions",
        "--disable-dev-shm-usage",
        "--mute-audio",
        "--hide-scrollbars",
        // Every name resolves to nothing, so the browser reaches loopback only.
        "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
        "--remote-debugging-pipe",
        "--user-data-dir=" + profile_,
        "--window-size=" + std::to_string(width) + "," + std::to_string(height),
        "about:blank",
    };
    if (::geteuid() == 0) arguments.insert(arguments.begin() + 1, "--no-sandbox");
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string log = profile_ + "/chromium.log";

    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(command_read, 3);
        ::dup2(reply_write, 4);
        const int output = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (output >= 0) {
            ::dup2(output, 1);
            ::dup2(output, 2);
        }
        const int nothing = ::open("/dev/null", O_RDONLY);
        if (nothing >= 0) ::dup2(nothing, 0);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(command_read);
    ::close(reply_write);
    if (pid_ < 0) {
        problem = "cannot fork";
        return false;
    }

    width_ = width;
    height_ = height;
    const nlohmann::json target = call("Target.createTarget", {{"url", "about:blank"}}, false);
    if (!target.contains("targetId")) {
        problem = "the browser did not open a page: " + target.dump() + "\n" + file_text(log);
        return false;
    }
    if (!attach(target)) {
        problem = "cannot attach to the page";
        return false;
    }
    return true;
}

bool headless_chromium::attach(const nlohmann::json& target)
{
    const nlohmann::json attached =
        call("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}}, false);
    if (!attached.contains("sessionId")) return false;
    session_ = attached["sessionId"];
    tabs_.push_back({target["targetId"], session_});
    call("Runtime.enable", nlohmann::json::object(), true);
    call("Page.enable", nlohmann::json::object(), true);
    call("Emulation.setDeviceMetricsOverride",
         {{"width", width_}, {"height", height_}, {"deviceScaleFactor", 1}, {"mobile", false}}, true);
    return true;
}

bool headless_chromium::open_tab(const std::string& url)
{
    const nlohmann::json target = call("Target.createTarget", {{"url", "about:blank"}}, false);
    return target.contains("targetId") && attach(target) && navigate(url);
}

bool headless_chromium::close_tab(std::size_t index)
{
    const nlohmann::json closed = call("Target.closeTarget", {{"targetId", tabs_.at(index).target}}, false);
    return closed.is_object() && !closed.contains("error");
}

void headless_chromium::stop()
{
    if (pid_ > 0) {
        call("Browser.close", nlohmann::json::object(), false, std::chrono::seconds(5));
        int status = 0;
        for (int i = 0; i < 100 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (::waitpid(pid_, &status, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    if (to_browser_ >= 0) ::close(to_browser_);
    if (from_browser_ >= 0) ::close(from_browser_);
    to_browser_ = from_browser_ = -1;
    if (!profile_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(profile_, ignored);
        profile_.clear();
    }
}

bool headless_chromium::read_message(nlohmann::json& message, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const std::size_t end = buffer_.find('\0');
        if (end != std::string::npos) {
            message = nlohmann::json::parse(buffer_.substr(0, end), nullptr, false);
            buffer_.erase(0, end + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{from_browser_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char chunk[65536];
        const ssize_t n = ::read(from_browser_, chunk, sizeof chunk);
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

void headless_chromium::note_event(const nlohmann::json& message)
{
    const std::string method = message.value("method", "");
    if (method == "Runtime.exceptionThrown") {
        page_errors_.push_back(message["params"]["exceptionDetails"].dump());
    } else if (method == "Runtime.consoleAPICalled" && message["params"].value("type", "") == "error") {
        page_errors_.push_back(message["params"]["args"].dump());
    }
}

nlohmann::json headless_chromium::call(const std::string& method, const nlohmann::json& params, bool to_page,
                                       std::chrono::milliseconds timeout)
{
    if (to_browser_ < 0) return nullptr;
    const int id = ++next_id_;
    nlohmann::json command = {{"id", id}, {"method", method}, {"params", params}};
    if (to_page) command["sessionId"] = session_;
    const std::string text = command.dump() + '\0';
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::write(to_browser_, text.data() + sent, text.size() - sent);
        if (n <= 0) return nullptr;
        sent += static_cast<std::size_t>(n);
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    nlohmann::json message;
    while (read_message(message, deadline)) {
        if (!message.contains("id")) {
            note_event(message);
            continue;
        }
        if (message["id"] != id) continue;
        if (message.contains("error")) return {{"error", message["error"]}};
        return message.value("result", nlohmann::json::object());
    }
    return nullptr;
}

bool headless_chromium::navigate(const std::string& url)
{
    const nlohmann::json result = call("Page.navigate", {{"url", url}}, true);
    return result.is_object() && !result.contains("errorText") && !result.contains("error");
}

bool headless_chromium::run_before_each_page(const std::string& source)
{
    const nlohmann::json added = call("Page.addScriptToEvaluateOnNewDocument", {{"source", source}}, true);
    return added.is_object() && !added.contains("error");
}

nlohmann::json headless_chromium::evaluate(const std::string& expression, std::string* error)
{
    const nlohmann::json result = call(
        "Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}}, true);
    if (!result.is_object() || result.contains("error") || result.contains("exceptionDetails")) {
        if (error != nullptr) *error = result.dump();
        return nullptr;
    }
    return result["result"].value("value", nlohmann::json(nullptr));
}

bool headless_chromium::wait_for(const std::string& expression, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::string test = "Boolean(" + expression + ")";
    for (;;) {
        if (evaluate(test) == true) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool headless_chromium::screenshot(const std::string& path)
{
    const nlohmann::json result = call("Page.captureScreenshot", {{"format", "png"}}, true);
    if (!result.is_object() || !result.contains("data")) return false;
    std::ofstream out(path, std::ios::binary);
    out << base64_decode(result["data"].get<std::string>());
    return static_cast<bool>(out);
}

bool headless_chromium::set_position(const std::string& origin, double latitude, double longitude, double altitude)
{
    const nlohmann::json granted =
        call("Browser.grantPermissions", {{"permissions", {"geolocation"}}, {"origin", origin}}, false);
    const nlohmann::json placed = call("Emulation.setGeolocationOverride",
                                       {{"latitude", latitude}, {"longitude", longitude},
                                        {"altitude", altitude}, {"accuracy", 5}},
                                       true);
    return granted.is_object() && !granted.contains("error") && placed.is_object() && !placed.contains("error");
}
