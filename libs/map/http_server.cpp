// Beast speaks std::string_view rather than its own.
#define BOOST_BEAST_USE_STD_STRING_VIEW

#include "http_server.h"

#include <malloc.h>
#include <sys/resource.h>

#include <array>
#include <condition_variable>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/status.hpp>
#include <cstring>
#include <deque>
#include <list>
#include <thread>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;
using clock_type = std::chrono::steady_clock;

// After an answer that ends the connection, what the client still sends
// is read and dropped for a moment, up to this much, so that closing with
// unread bytes (which resets the connection) does not destroy the answer
// on its way.
constexpr std::size_t linger_bytes = std::size_t{64} << 10;
constexpr std::chrono::milliseconds linger_time{1000};
// Descriptors kept for the log, the change notifications and the like.
constexpr std::size_t other_descriptors = 64;
constexpr std::chrono::milliseconds tidy_interval{2000};
// A connection pushed out to keep within the bound per address has waited
// at least this long: a burst of a client's own connections, accepted
// before any of their requests was read, does not push itself out.
constexpr std::chrono::milliseconds push_out_grace{1000};
// Freed memory worth giving back to the system at the next tidying.
constexpr std::size_t trim_worthwhile = std::size_t{1} << 20;
constexpr std::size_t buffer_per_connection = 4096;  // about, when it closes

std::string address_text(const asio::ip::address& address)
{
    // A dual-stack socket reports IPv4 clients as mapped IPv6 addresses;
    // one client is one address whichever way it came.
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
    return address.to_string();
}

bool connection_gone(const error_code& ec)
{
    return ec == http::error::end_of_stream || ec == http::error::partial_message ||
           ec == asio::error::eof || ec == asio::error::operation_aborted ||
           ec == asio::error::connection_reset || ec == asio::error::broken_pipe ||
           ec == asio::error::bad_descriptor || ec == asio::error::timed_out;
}

std::string status_line(int status)
{
    const std::string_view reason = http::obsolete_reason(static_cast<http::status>(status));
    return "HTTP/1.1 " + std::to_string(status) + " " +
           std::string(reason.empty() ? std::string_view("Status") : reason) + "\r\n";
}

bool has_header(const http_answer& response, std::string_view name)
{
    for (const auto& [key, value] : response.headers) {
        if (key.size() == name.size() &&
            std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            })) {
            return true;
        }
    }
    return false;
}

std::string response_head(const http_answer& response, std::size_t length, bool keep_alive)
{
    std::string head = status_line(response.status);
    if (!response.content_type.empty()) head.append("Content-Type: ").append(response.content_type).append("\r\n");
    head += response.stream ? std::string("Transfer-Encoding: chunked\r\n")
                            : "Content-Length: " + std::to_string(length) + "\r\n";
    for (const auto& [name, value] : response.headers) head.append(name).append(": ").append(value).append("\r\n");
    // No other site may show any of it in a frame (clickjacking).
    if (!has_header(response, "Content-Security-Policy"))
        head += "Content-Security-Policy: frame-ancestors 'none'\r\n";
    head += "X-Frame-Options: DENY\r\nX-Content-Type-Options: nosniff\r\n";
    head += keep_alive && !response.close ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    head += "\r\n";
    return head;
}

// What a request gets when answering it threw: the program goes on.
http_answer server_failure()
{
    http_answer response;
    response.status = 500;
    response.content_type = "text/plain; charset=utf-8";
    response.fixed_body = "The server failed to answer.\n";
    response.close = true;
    return response;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percent_decoded(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
                   hex_digit(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

class connection;
class exchange_impl;

// Completion handlers go through std::function: a handler that starts the
// next operation is then no call cycle to the static checks, which cannot
// tell a handler run later from recursion.
using io_handler = std::function<void(const error_code&, std::size_t)>;
using wait_handler = std::function<void(const error_code&)>;
using accept_handler = std::function<void(const error_code&, tcp::socket)>;
using task = std::function<void()>;

// The connections of one client address that could be pushed out, oldest
// first in each list, and the lists in the order they are pushed out:
// those only waiting to close after an answer, those that never completed
// a request, and last those that did (a browser's kept-alive connections).
struct address_share {
    std::size_t open = 0;
    std::list<connection*> closing;
    std::list<connection*> fresh;
    std::list<connection*> idle;
};

struct queued_work {
    std::shared_ptr<exchange_impl> exchange;
    std::function<void(http_exchange&)> work;
};

// Threads that run tasks in the order given.
class worker_threads {
public:
    explicit worker_threads(std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i) threads_.emplace_back([this] { work(); });
    }
    ~worker_threads() { finish(); }
    worker_threads(const worker_threads&) = delete;
    worker_threads& operator=(const worker_threads&) = delete;

    void post(task job)
    {
        {
            const std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        ready_.notify_one();
    }

    // Ends the threads once the tasks given have run.
    void finish()
    {
        {
            const std::lock_guard lock(mutex_);
            finishing_ = true;
        }
        ready_.notify_all();
        for (std::thread& t : threads_) {
            if (t.joinable()) t.join();
        }
    }

private:
    void work()
    {
        for (;;) {
            task job;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [this] { return finishing_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<task> jobs_;
    bool finishing_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace

// Plain data, used on the network thread only; the functions below do the
// work.
struct http_server_parts {
    http_limits limits;
    http_server::handler route;
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer tidy_timer{io};
    asio::steady_timer accept_pause{io};
    std::optional<worker_threads> workers;
    std::unordered_map<std::string, address_share> addresses;
    std::unordered_map<connection*, std::shared_ptr<connection>> open;
    std::deque<queued_work> waiting_work;
    std::size_t working = 0;
    std::size_t held = 0;  // bytes of bodies being sent
    std::size_t freed_since_trim = 0;
    std::uint16_t port = 0;
    bool failed = false;
    bool shutting_down = false;
};

namespace {

void run_work(http_server_parts& p);

class stream_impl final : public http_stream {
public:
    stream_impl(http_server_parts& parts, std::weak_ptr<connection> owner, std::function<void()> ended)
        : parts_(parts), owner_(std::move(owner)), on_end_(std::move(ended))
    {
    }

    void push(std::string text) override;
    [[nodiscard]] std::size_t backlog() const override { return backlog_; }
    [[nodiscard]] bool ended() const override { return ended_; }

    void sent(std::size_t bytes) { backlog_ -= bytes; }
    void end()
    {
        if (ended_.exchange(true)) return;
        if (on_end_) on_end_();
    }

private:
    http_server_parts& parts_;
    std::weak_ptr<connection> owner_;
    std::function<void()> on_end_;
    std::atomic<std::size_t> backlog_{0};
    std::atomic<bool> ended_{false};
};

class exchange_impl final : public http_exchange, public std::enable_shared_from_this<exchange_impl> {
public:
    exchange_impl(http_server_parts& parts, std::weak_ptr<connection> owner, http_request_head request)
        : parts_(parts), owner_(std::move(owner)), request_(std::move(request))
    {
    }

    [[nodiscard]] const http_request_head& request() const override { return request_; }
    void respond(http_answer response) override;
    void later(std::function<void(http_exchange&)> work) override;
    std::shared_ptr<http_stream> stream(std::function<void()> ended) override
    {
        const std::lock_guard lock(mutex_);
        if (!stream_) stream_ = std::make_shared<stream_impl>(parts_, owner_, std::move(ended));
        return stream_;
    }

    std::shared_ptr<stream_impl> stream_if_any()
    {
        const std::lock_guard lock(mutex_);
        return stream_;
    }
    [[nodiscard]] bool abandoned() const { return owner_.expired(); }

private:
    http_server_parts& parts_;
    std::weak_ptr<connection> owner_;
    const http_request_head request_;
    std::atomic<bool> answered_{false};
    std::mutex mutex_;
    std::shared_ptr<stream_impl> stream_;
};

class connection : public std::enable_shared_from_this<connection> {
public:
    connection(http_server_parts& parts, tcp::socket socket, address_share& share, std::string local)
        : parts_(parts), socket_(std::move(socket)), timer_(parts.io), share_(share),
          local_(std::move(local)), buffer_(parts.limits.header_bytes * 2)
    {
    }

    void start() { wait_for_request(); }
    void close();
    // When it began to wait where it is listed.
    [[nodiscard]] clock_type::time_point listed_since() const { return listed_since_; }
    void answer(const std::shared_ptr<exchange_impl>& exchange, http_answer response);
    void take_piece(std::string text);
    [[nodiscard]] bool closed() const { return state_ == state::closed; }

private:
    enum class state { waiting, busy, streaming, lingering, closed };

    void wait_for_request();
    void on_head(const error_code& ec);
    void refuse(int status, const char* text);
    void answered(const error_code& ec);
    void write_pieces();
    void watch_for_close();
    void linger();
    void arm(std::chrono::milliseconds limit);
    void disarm();
    void join_list(std::list<connection*>& list);
    void leave_list();
    void release_body();

    http_server_parts& parts_;
    tcp::socket socket_;
    asio::steady_timer timer_;
    address_share& share_;
    std::string local_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    state state_ = state::waiting;
    std::list<connection*>* list_ = nullptr;
    std::list<connection*>::iterator place_;
    clock_type::time_point listed_since_;
    std::size_t requests_ = 0;
    bool answered_any_ = false;
    bool keep_alive_ = false;
    std::shared_ptr<exchange_impl> current_;
    // The answer on its way.
    std::string head_;
    std::shared_ptr<const std::string> body_;
    std::size_t held_ = 0;
    bool close_after_ = false;
    // A stream's pieces waiting, and the chunk being written.
    std::shared_ptr<stream_impl> stream_;
    std::deque<std::string> pieces_;
    std::string chunk_;
    std::size_t chunk_text_ = 0;
    bool writing_ = false;
    std::array<char, 512> scratch_{};
    std::size_t lingered_ = 0;
};

void stream_impl::push(std::string text)
{
    if (ended_ || text.empty()) return;
    backlog_ += text.size();
    asio::post(parts_.io, task([owner = owner_, text = std::move(text)]() mutable {
        if (const std::shared_ptr<connection> c = owner.lock()) c->take_piece(std::move(text));
    }));
}

void exchange_impl::respond(http_answer response)
{
    if (answered_.exchange(true)) return;
    asio::post(parts_.io, task([owner = owner_, self = shared_from_this(), response = std::move(response)]() mutable {
        if (const std::shared_ptr<connection> c = owner.lock()) {
            c->answer(self, std::move(response));
        } else if (const std::shared_ptr<stream_impl> s = self->stream_if_any()) {
            s->end();
        }
    }));
}

void exchange_impl::later(std::function<void(http_exchange&)> work)
{
    asio::post(parts_.io, task([self = shared_from_this(), work = std::move(work)]() mutable {
        self->parts_.waiting_work.push_back({self, std::move(work)});
        run_work(self->parts_);
    }));
}

void connection::join_list(std::list<connection*>& list)
{
    leave_list();
    list_ = &list;
    place_ = list.insert(list.end(), this);
    listed_since_ = clock_type::now();
}

void connection::leave_list()
{
    if (list_ == nullptr) return;
    list_->erase(place_);
    list_ = nullptr;
}

void connection::arm(std::chrono::milliseconds limit)
{
    timer_.expires_after(limit);
    timer_.async_wait(wait_handler([self = shared_from_this()](const error_code& ec) {
        // A wait that ends after the timer was set again is no time-out.
        if (ec || self->timer_.expiry() > clock_type::now()) return;
        self->close();
    }));
}

void connection::disarm()
{
    timer_.expires_at(clock_type::time_point::max());
}

void connection::wait_for_request()
{
    state_ = state::waiting;
    join_list(answered_any_ ? share_.idle : share_.fresh);
    arm(parts_.limits.request_time);
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(parts_.limits.header_bytes));
    http::async_read_header(socket_, buffer_, *parser_,
                            io_handler([self = shared_from_this()](const error_code& ec, std::size_t) { self->on_head(ec); }));
}

void connection::on_head(const error_code& ec)
{
    leave_list();
    if (state_ != state::waiting) return;  // pushed out or timed out meanwhile
    disarm();
    state_ = state::busy;
    if (ec) {
        if (connection_gone(ec)) {
            close();
        } else if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
            refuse(431, "The request's header is too large.\n");
        } else if (ec == http::error::body_limit) {
            refuse(413, "This server takes no request bodies.\n");
        } else {
            refuse(400, "The request cannot be read.\n");
        }
        return;
    }
    ++requests_;
    const auto& request = parser_->get();
    // Nothing served takes a body: a request that announces one is
    // answered before any of it is read, and the connection ends.
    if (parser_->chunked() || parser_->content_length().value_or(0) > 0) {
        refuse(413, "This server takes no request bodies.\n");
        return;
    }
    if (request.count(http::field::host) > 1 || request.count(http::field::origin) > 1) {
        refuse(400, "More than one Host or Origin.\n");
        return;
    }
    http_request_head r;
    r.method = std::string(request.method_string());
    r.target = std::string(request.target());
    r.host = std::string(request[http::field::host]);
    r.origin = std::string(request[http::field::origin]);
    r.last_event_id = std::string(request["Last-Event-ID"]);
    r.local_address = local_;
    r.head = request.method() == http::verb::head;
    keep_alive_ = request.keep_alive() && requests_ < parts_.limits.requests_per_connection;
    current_ = std::make_shared<exchange_impl>(parts_, weak_from_this(), std::move(r));
    try {
        parts_.route(current_);
    } catch (...) {
        current_->respond(server_failure());
    }
}

void connection::refuse(int status, const char* text)
{
    http_answer response;
    response.status = status;
    response.content_type = "text/plain; charset=utf-8";
    response.fixed_body = text;
    response.close = true;
    current_ = std::make_shared<exchange_impl>(parts_, weak_from_this(), http_request_head{});
    answer(current_, std::move(response));
}

void connection::answer(const std::shared_ptr<exchange_impl>& exchange, http_answer response)
{
    if (state_ != state::busy || exchange != current_) {
        if (const std::shared_ptr<stream_impl> s = exchange->stream_if_any()) s->end();
        return;
    }
    const bool head_only = exchange->request().head;
    if (response.stream && !head_only) {
        stream_ = exchange->stream_if_any();
        if (!stream_) response.stream = false;
    }
    if (!response.stream) {
        if (const std::shared_ptr<stream_impl> s = exchange->stream_if_any()) s->end();
        pieces_.clear();
    }
    const std::string_view body = response.body ? std::string_view(*response.body) : response.fixed_body;
    head_ = response_head(response, body.size(), keep_alive_);
    close_after_ = response.close || !keep_alive_;
    if (response.stream) {
        state_ = state::streaming;
        chunk_ = std::move(head_);
        chunk_text_ = 0;
        writing_ = true;
        arm(parts_.limits.write_time);
        asio::async_write(socket_, asio::buffer(chunk_), io_handler([self = shared_from_this()](const error_code& ec, std::size_t) {
                              self->writing_ = false;
                              self->disarm();
                              if (ec) {
                                  self->close();
                                  return;
                              }
                              self->write_pieces();
                          }));
        watch_for_close();
        return;
    }
    body_ = std::move(response.body);
    held_ = head_only ? 0 : body.size();
    parts_.held += held_;
    std::array<asio::const_buffer, 2> buffers{asio::buffer(head_),
                                              asio::buffer(body.data(), head_only ? 0 : body.size())};
    arm(parts_.limits.write_time);
    asio::async_write(socket_, buffers, io_handler([self = shared_from_this()](const error_code& ec, std::size_t) {
        self->answered(ec);
    }));
}

void connection::release_body()
{
    parts_.held -= held_;
    parts_.freed_since_trim += held_;
    held_ = 0;
    body_.reset();
    head_.clear();
    head_.shrink_to_fit();
}

void connection::answered(const error_code& ec)
{
    if (state_ != state::busy) return;
    disarm();
    release_body();
    run_work(parts_);
    if (ec) {
        close();
        return;
    }
    current_.reset();
    answered_any_ = true;
    if (close_after_) {
        linger();
    } else {
        wait_for_request();
    }
}

void connection::take_piece(std::string text)
{
    if (state_ == state::closed || state_ == state::lingering) return;
    if (state_ == state::busy && current_ && !current_->stream_if_any()) return;
    pieces_.push_back(std::move(text));
    write_pieces();
}

void connection::write_pieces()
{
    if (state_ != state::streaming || writing_ || pieces_.empty()) return;
    std::size_t size = 0;
    for (const std::string& piece : pieces_) size += piece.size();
    char length[32];
    const int written = std::snprintf(length, sizeof length, "%zx\r\n", size);
    chunk_.assign(length, static_cast<std::size_t>(std::max(written, 0)));
    for (const std::string& piece : pieces_) chunk_ += piece;
    chunk_ += "\r\n";
    pieces_.clear();
    chunk_text_ = size;
    writing_ = true;
    arm(parts_.limits.write_time);
    asio::async_write(socket_, asio::buffer(chunk_), io_handler([self = shared_from_this()](const error_code& ec, std::size_t) {
        self->writing_ = false;
        self->disarm();
        if (ec || self->state_ != state::streaming) {
            self->close();
            return;
        }
        self->stream_->sent(self->chunk_text_);
        self->chunk_text_ = 0;
        self->write_pieces();
    }));
}

// A stream's client sends nothing more; reading tells at once when it has
// gone, and anything it does send is dropped.
void connection::watch_for_close()
{
    socket_.async_read_some(asio::buffer(scratch_), io_handler([self = shared_from_this()](const error_code& ec, std::size_t) {
        if (ec) {
            self->close();
            return;
        }
        if (self->state_ == state::streaming) self->watch_for_close();
    }));
}

void connection::linger()
{
    if (state_ != state::lingering) join_list(share_.closing);
    state_ = state::lingering;
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    arm(linger_time);
    socket_.async_read_some(asio::buffer(scratch_), io_handler([self = shared_from_this()](const error_code& ec, std::size_t n) {
        self->lingered_ += n;
        if (ec || self->lingered_ >= linger_bytes || self->state_ != state::lingering) {
            self->close();
            return;
        }
        self->linger();
    }));
}

void connection::close()
{
    if (state_ == state::closed) return;
    const std::shared_ptr<connection> keep = shared_from_this();
    state_ = state::closed;
    leave_list();
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    timer_.cancel();
    release_body();
    pieces_.clear();
    if (stream_) stream_->end();
    if (current_) {
        if (const std::shared_ptr<stream_impl> s = current_->stream_if_any()) s->end();
    }
    current_.reset();
    --share_.open;
    parts_.freed_since_trim += buffer_per_connection + buffer_.capacity();
    parts_.open.erase(this);
}


void accept_next(http_server_parts& p);

// Ends the connection of `share` that only waits, first those closing, then
// the oldest that never completed a request, then the oldest kept alive;
// with `waited_only`, only one that has waited for the grace at least.
bool push_out_one(address_share& share, bool waited_only)
{
    if (!share.closing.empty()) {
        share.closing.front()->close();
        return true;
    }
    const auto now = clock_type::now();
    for (std::list<connection*>* list : {&share.fresh, &share.idle}) {
        if (list->empty() || (waited_only && now - list->front()->listed_since() < push_out_grace)) continue;
        list->front()->close();
        return true;
    }
    return false;
}

bool push_out_from_largest(http_server_parts& p)
{
    address_share* largest = nullptr;
    for (auto& [address, share] : p.addresses) {
        if ((share.closing.empty() && share.fresh.empty() && share.idle.empty()) ||
            (largest != nullptr && largest->open >= share.open))
            continue;
        largest = &share;
    }
    return largest != nullptr && push_out_one(*largest, false);
}

void admit(http_server_parts& p, tcp::socket socket)
{
    error_code ec;
    const tcp::endpoint peer = socket.remote_endpoint(ec);
    if (ec) return;
    const tcp::endpoint local = socket.local_endpoint(ec);
    if (ec) return;
    address_share& share = p.addresses[address_text(peer.address())];
    // A newcomer is let in at the cost of a connection that only waits: of
    // its own address beyond that address's bound (when one has waited a
    // while), and of the address with the most beyond the bound on all. With
    // none to push out there, the newcomer is the one refused.
    if (share.open >= p.limits.connections_per_address) push_out_one(share, true);
    if (p.open.size() >= p.limits.connections && !push_out_from_largest(p)) {
        socket.close(ec);
        return;
    }
    socket.set_option(tcp::no_delay(true), ec);  // an event is one small write: at once
    auto c = std::make_shared<connection>(p, std::move(socket), share, address_text(local.address()));
    p.open.emplace(c.get(), c);
    ++share.open;
    c->start();
}

void shut_down(http_server_parts& p)
{
    p.shutting_down = true;
    error_code ignored;
    p.acceptor.close(ignored);
    p.tidy_timer.cancel();
    p.accept_pause.cancel();
    p.waiting_work.clear();
    std::vector<std::shared_ptr<connection>> all;
    all.reserve(p.open.size());
    for (auto& [raw, owned] : p.open) all.push_back(owned);
    for (const std::shared_ptr<connection>& c : all) c->close();
}

void accept_next(http_server_parts& p)
{
    p.acceptor.async_accept(accept_handler([&p](const error_code& ec, tcp::socket socket) {
        if (p.shutting_down) return;
        if (!ec) {
            admit(p, std::move(socket));
        } else if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
                   ec == asio::error::no_memory || ec.value() == ENFILE) {
            // Out of descriptors: wait a little rather than spin.
            p.accept_pause.expires_after(std::chrono::milliseconds(100));
            p.accept_pause.async_wait(wait_handler([&p](const error_code& e) {
                if (!e && !p.shutting_down) accept_next(p);
            }));
            return;
        } else if (ec == asio::error::operation_aborted || ec == asio::error::bad_descriptor) {
            p.failed = !p.shutting_down;
            if (p.failed) shut_down(p);
            return;
        }
        accept_next(p);
    }));
}

void run_work(http_server_parts& p)
{
    while (p.working < p.limits.workers && p.held < p.limits.held_bytes && !p.waiting_work.empty()) {
        queued_work next = std::move(p.waiting_work.front());
        p.waiting_work.pop_front();
        if (next.exchange->abandoned()) continue;
        ++p.working;
        p.workers->post(task([&p, next]() mutable {
            try {
                next.work(*next.exchange);
            } catch (...) {
                next.exchange->respond(server_failure());
            }
            next = {};
            asio::post(p.io, task([&p] {
                --p.working;
                run_work(p);
            }));
        }));
    }
}

void tidy(http_server_parts& p)
{
    p.tidy_timer.expires_after(tidy_interval);
    p.tidy_timer.async_wait(wait_handler([&p](const error_code& ec) {
        if (ec || p.shutting_down) return;
        for (auto at = p.addresses.begin(); at != p.addresses.end();) {
            at = at->second.open == 0 ? p.addresses.erase(at) : std::next(at);
        }
        // The allocator keeps what a burst freed; give it back.
        if (p.freed_since_trim >= trim_worthwhile) {
            ::malloc_trim(0);
            p.freed_since_trim = 0;
        }
        tidy(p);
    }));
}

}  // namespace

http_server::http_server(http_limits limits, handler route) : parts_(std::make_unique<http_server_parts>())
{
    parts_->limits = limits;
    parts_->route = std::move(route);
    parts_->workers.emplace(std::max<std::size_t>(limits.workers, 1));
}

http_server::~http_server()
{
    parts_->workers->finish();
}

bool http_server::bind(const std::string& host, std::uint16_t port, std::string& problem)
{
    http_server_parts& p = *parts_;
    // Room for every connection allowed, or fewer connections.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
        const rlim_t wanted = p.limits.connections + other_descriptors;
        if (files.rlim_cur < wanted) {
            files.rlim_cur = std::min(wanted, files.rlim_max);
            ::setrlimit(RLIMIT_NOFILE, &files);
            ::getrlimit(RLIMIT_NOFILE, &files);
        }
        if (files.rlim_cur < wanted) {
            p.limits.connections = std::max<std::size_t>(files.rlim_cur, 2 * other_descriptors) - other_descriptors;
            p.limits.connections_per_address = std::min(p.limits.connections_per_address, p.limits.connections);
        }
    }

    const std::string place = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                              std::to_string(port);
    tcp::resolver resolver(p.io);
    error_code ec;
    const tcp::resolver::results_type found =
        resolver.resolve(host, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec) {
        problem = "cannot serve on " + place + ": the address is unknown: " + ec.message();
        return false;
    }
    std::string reason = "no address to listen on";
    for (const auto& entry : found) {
        error_code e;
        tcp::acceptor acceptor(p.io);
        acceptor.open(entry.endpoint().protocol(), e);
        // Only to take a port whose earlier connections linger closed;
        // never SO_REUSEPORT, which would share the port with another
        // program listening on it.
        if (!e) acceptor.set_option(tcp::acceptor::reuse_address(true), e);
        if (!e) acceptor.bind(entry.endpoint(), e);
        if (!e) acceptor.listen(asio::socket_base::max_listen_connections, e);
        if (e) {
            reason = e == asio::error::address_in_use
                         ? "the port is in use by another program (choose another with --listen)"
                         : e.message();
            continue;
        }
        p.port = acceptor.local_endpoint(e).port();
        p.acceptor = std::move(acceptor);
        return true;
    }
    problem = "cannot serve on " + place + ": " + reason;
    return false;
}

std::uint16_t http_server::port() const
{
    return parts_->port;
}

bool http_server::run()
{
    http_server_parts& p = *parts_;
    asio::post(p.io, task([&p] {
        if (p.shutting_down) return;
        accept_next(p);
        tidy(p);
    }));
    p.io.run();
    p.workers->finish();
    return !p.failed;
}

void http_server::stop()
{
    http_server_parts& p = *parts_;
    asio::post(p.io, task([&p] { shut_down(p); }));
}

std::string_view target_path(std::string_view target)
{
    return target.substr(0, target.find('?'));
}

std::optional<std::string> query_parameter(std::string_view target, std::string_view name)
{
    const std::size_t mark = target.find('?');
    if (mark == std::string_view::npos) return std::nullopt;
    std::string_view query = target.substr(mark + 1);
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const std::size_t equals = pair.find('=');
        if (percent_decoded(pair.substr(0, equals)) == name)
            return equals == std::string_view::npos ? std::string() : percent_decoded(pair.substr(equals + 1));
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}
