// A small HTTP/1.1 server for the page: one thread runs an event loop for every connection (reading
// requests, writing answers, feeding the event streams), and a few workers run the handlers.
//
// An open page holds an event stream for as long as it is open, so streams must cost no thread:
// each is a socket and a queue of pieces shared with every other stream. A client that stops
// reading is dropped once its queue passes kStreamQueueLimit, and nobody else waits for it.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "http_message.h"

namespace dashboard {

class HttpServer {
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;
    // Looks at every request first, on the event loop: a refusal, or nothing to let it through.
    using Gate = std::function<std::optional<HttpResponse>(const HttpRequest&)>;
    // The first event of a new stream. Made on the event loop, so that every broadcast after it
    // reaches the stream and none before it is needed.
    using StreamStart = std::function<std::string()>;

    // A stream whose client has this much not yet taken (beyond what the socket holds) is dropped:
    // at one update of about 20 kB per report that is a dozen reports behind.
    static constexpr std::size_t kStreamQueueLimit = 256 * 1024;
    // The kernel's send buffer of a stream: small, so a client that stops reading shows quickly.
    static constexpr int kStreamSocketBuffer = 64 * 1024;
    // Largest request head and body taken; a page's commands are a few dozen bytes.
    static constexpr std::size_t kMaxHead = 16 * 1024;
    static constexpr std::size_t kMaxBody = 64 * 1024;

    explicit HttpServer(std::size_t workers = 4);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    void set_gate(Gate gate);
    void handle(std::string method, std::string path, Handler handler);
    void stream(std::string path, StreamStart start);  // GET only

    // Binds to host:port (port 0: a free one); the port bound, or -1.
    int bind(const std::string& host, int port);
    // Runs the event loop until stop(); false when it could not run.
    bool serve();
    void stop();
    // Queues `event` for every open stream (from any thread).
    void broadcast(std::string event);
    std::size_t open_streams() const { return open_streams_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::atomic<std::size_t> open_streams_{0};
};

}  // namespace dashboard
