// A small HTTP/1.1 server for a service that may be opened to a shared
// network, where any client may be hostile. One network thread waits on
// every connection at once (Boost.Asio over epoll), request heads are read
// by Boost.Beast's parser within fixed bounds, and nothing a client sends
// can make the program's memory or its list of connections grow without
// limit:
// - only a request's head is read, at most `header_bytes` of it, and it
//   must arrive whole within `request_time`; a request that announces a
//   body is refused (413) before any of the body is read;
// - connections are bounded, per client address too; a new connection
//   beyond a bound pushes out the oldest that waits for a request (first
//   those that never completed one), so that idle or trickling connections
//   cannot keep a new page from loading;
// - answers that take time run on a few worker threads, and bodies waiting
//   to be sent are bounded as a whole: further work waits for room;
// - pipelined requests are answered one after the other, in order;
// - every answer says that no other site may frame it.
// Memory given back by bursts is returned to the system (malloc_trim).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct http_limits {
    std::size_t connections = 512;  // open at once
    std::size_t connections_per_address = 128;  // from one client address
    std::size_t header_bytes = 8192;  // a request's line and header fields
    // A connection waiting for a request (its first, or the next one on a
    // kept-alive connection) has this long to deliver its head whole.
    std::chrono::milliseconds request_time{10000};
    // An answer, or a stream's piece, must be taken by the client within this.
    std::chrono::milliseconds write_time{30000};
    std::size_t requests_per_connection = 100;
    // Threads for answers that take time. The map's documents are written
    // once for every request that came before them (document_cache.h), so
    // a second thread gains nothing: with two, a line's event during 30
    // reloads of a 100,000-line flight took 19-33 ms (median) against
    // 3-12 ms with one.
    std::size_t workers = 1;
    // Bodies of answers waiting to be sent; work that would add to them
    // waits while they are above this.
    std::size_t held_bytes = std::size_t{24} << 20;
};

struct http_request_head {
    std::string method;  // as sent: "GET", "HEAD", ...
    std::string target;  // as sent: the path and the query
    std::string host;  // the Host field; empty when there is none
    std::string origin;  // the Origin field; empty when there is none
    std::string last_event_id;  // the Last-Event-ID field
    std::string local_address;  // the address of ours the client reached
    bool head = false;  // HEAD: the answer's head only
};

struct http_answer {
    int status = 200;
    std::string content_type;
    std::vector<std::pair<std::string, std::string>> headers;
    std::shared_ptr<const std::string> body;  // null: no body
    std::string_view fixed_body;  // or bytes that outlive the server
    bool close = false;  // end the connection after it
    // The body follows as pieces pushed to the exchange's stream, until
    // the connection ends.
    bool stream = false;
};

// The sending end of a streamed answer.
class http_stream {
public:
    http_stream() = default;
    virtual ~http_stream() = default;
    http_stream(const http_stream&) = delete;
    http_stream& operator=(const http_stream&) = delete;

    // Queues text to go out after the answer's head, in order. Any thread.
    virtual void push(std::string text) = 0;
    // Bytes pushed that the client has not taken yet.
    [[nodiscard]] virtual std::size_t backlog() const = 0;
    // Whether the connection has ended, or the answer was no stream.
    [[nodiscard]] virtual bool ended() const = 0;
};

// One request and its answer.
class http_exchange {
public:
    http_exchange() = default;
    virtual ~http_exchange() = default;
    http_exchange(const http_exchange&) = delete;
    http_exchange& operator=(const http_exchange&) = delete;

    [[nodiscard]] virtual const http_request_head& request() const = 0;
    // Answers the request; the first answer counts. Any thread.
    virtual void respond(http_answer response) = 0;
    // Runs `work` on a worker thread, within the bound on bodies waiting
    // to be sent; `work` answers. For anything that may wait on a lock.
    virtual void later(std::function<void(http_exchange&)> work) = 0;
    // The stream a `stream` answer sends, made at the first call.
    // `ended` is called (on the network thread) when its connection ends.
    virtual std::shared_ptr<http_stream> stream(std::function<void()> ended) = 0;
};

struct http_server_parts;

class http_server {
public:
    // Called on the network thread for each request; it must not block.
    using handler = std::function<void(const std::shared_ptr<http_exchange>&)>;

    http_server(http_limits limits, handler route);
    ~http_server();
    http_server(const http_server&) = delete;
    http_server& operator=(const http_server&) = delete;

    // Takes the address (a name or a numeric address; port 0: any free
    // port). Another program listening there already is refused, never
    // shared. False with `problem` saying why.
    bool bind(const std::string& host, std::uint16_t port, std::string& problem);
    [[nodiscard]] std::uint16_t port() const;
    // Serves on this thread until stop(). False when the listening socket
    // failed.
    bool run();
    // Ends run(), closing every connection. Any thread, before run() too.
    void stop();

private:
    std::unique_ptr<http_server_parts> parts_;
};

// The path of a request target, without its query.
std::string_view target_path(std::string_view target);
// The value of `name` in a request target's query, percent-decoded; none
// when the query does not have it.
std::optional<std::string> query_parameter(std::string_view target, std::string_view name);
