// The page's HTTP/1.1 server, on Boost.Beast (its parser, with limits on heads and bodies) and
// Boost.Asio (one thread's event loop accepts, reads, writes, keeps the deadlines and feeds the
// event streams).
//
// Handlers run where their kind of work belongs, so that none waits behind another kind:
//   Lane::Loop      on the event loop itself: what takes microseconds (pages, a cached state);
//   Lane::Commands  on a thread of their own, in arrival order: a command and its row in the
//                   history, never queued behind a download or a slow client;
//   Lane::Workers   on a small pool: reads of the stored history, piece by piece.
// A read for a connection whose client has gone is skipped.
//
// An open page holds an event stream for as long as it is open, so streams cost no thread: each is
// a socket and a queue of pieces shared with every other stream, and a client that stops reading
// is dropped once its queue passes kStreamQueueLimit.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "http_request.h"

namespace dashboard {

struct HttpLimits {
    // Largest request head and body taken; a page's commands are a few dozen bytes.
    std::size_t max_head = 16 * 1024;
    std::size_t max_body = 64 * 1024;
    // A request's head must have arrived this long after its first byte, and its body after the
    // head, or it gets 408: a client trickling a byte at a time cannot hold a connection for ever.
    std::chrono::milliseconds head_time = std::chrono::seconds(10);
    std::chrono::milliseconds body_time = std::chrono::seconds(10);
    // A connection with no request begun is closed after this long; a browser opens another.
    std::chrono::milliseconds idle_time = std::chrono::seconds(60);
    // An answer (or a piece of a long one) the client has not taken in this long ends its connection.
    std::chrono::milliseconds write_time = std::chrono::seconds(60);
    // Open connections at most (and never closer than kSpareFiles to the process's limit of open
    // files). Past it, one is closed in the newcomer's favour: the oldest of the kind that holds
    // the most of them, of the kinds that are cheap to lose (waiting for a request or its head,
    // sending a body, holding an event stream; never one whose request is being served); with none
    // such the newcomer gets 503. So one client holding thousands of one kind only ever closes its
    // own kind, and a user's page, /state and commands still get in.
    std::size_t max_connections = 4096;
    // Event streams one peer address may hold; past it, that peer's oldest stream is closed (a page
    // reconnects on its own). 0: half of the connections.
    std::size_t max_streams_per_peer = 0;
};

class HttpServer {
public:
    enum class Lane { Loop, Commands, Workers };
    using Handler = std::function<HttpResponse(const HttpRequest&)>;
    // Looks at every request first, on the event loop: a refusal, or nothing to let it through.
    using Gate = std::function<std::optional<HttpResponse>(const HttpRequest&)>;
    // The first event of a new stream. Made on the event loop, so that every broadcast after it
    // reaches the stream and none before it is needed.
    using StreamStart = std::function<std::shared_ptr<const std::string>()>;

    // A stream whose client has this much not yet taken (beyond what the socket holds) is dropped:
    // at one update of about 20 kB per report that is a dozen reports behind.
    static constexpr std::size_t kStreamQueueLimit = 256 * 1024;
    // The kernel's send buffer of a stream or a download: small, so a client that stops reading
    // shows quickly and holds little.
    static constexpr int kSlowSocketBuffer = 64 * 1024;
    // File descriptors kept free for everything else (the history file, the node's link, a nodesim).
    static constexpr std::size_t kSpareFiles = 64;

    explicit HttpServer(HttpLimits limits = {}, std::size_t workers = 2);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    void set_gate(Gate gate);
    void handle(std::string method, std::string path, Lane lane, Handler handler);
    void stream(std::string path, StreamStart start);  // GET only

    // Binds to host:port (port 0: a free one); the port bound, or -1.
    int bind(const std::string& host, int port);
    // Runs the event loop until stop(); false when it could not run.
    bool serve();
    void stop();
    // Queues `event` for every open stream (from any thread).
    void broadcast(std::string event);
    std::size_t open_streams() const { return open_streams_; }
    std::size_t open_connections() const { return open_connections_; }

    struct Impl;

private:
    friend class HttpSession;
    // Before impl_: connections still open when it goes count themselves out of these.
    std::atomic<std::size_t> open_streams_{0};
    std::atomic<std::size_t> open_connections_{0};
    std::unique_ptr<Impl> impl_;
};

}  // namespace dashboard
