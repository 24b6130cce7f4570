// One client's connection: waits for a request (dropping empty lines before it), reads its head and
// body with Beast's parser under their deadlines, checks what HTTP/1.1 requires of it, hands it to
// its lane, and writes the answer; or, for an event stream, writes the pieces shared by every
// stream until the client goes or falls too far behind. Lives on the event loop.
#pragma once

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>

#include <array>
#include <atomic>
#include <deque>
#include <list>
#include <memory>
#include <optional>

#include "http_server_impl.h"

namespace dashboard {

class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(HttpServer::Impl& server, boost::asio::ip::tcp::socket socket);
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    void start();
    // The server is full and nobody waits to be closed in this one's favour: 503.
    void refuse_at_door();
    // Ends the connection at once.
    void close();
    // Queues a piece of every stream for this one (a stream only).
    void send_event(const std::shared_ptr<const std::string>& piece);
    // True when the client has closed its end (from any thread): its work is not worth doing.
    bool peer_gone() const;

private:
    using Parser = boost::beast::http::request_parser<boost::beast::http::string_body>;

    void wait_for_request();
    void read_head();
    void on_head(boost::beast::error_code ec);
    void on_body(boost::beast::error_code ec);
    void arm_deadline(std::chrono::milliseconds after);
    // Checks the head, then reads the body (after 100 Continue when asked) or dispatches.
    void take_head();
    bool take_target(std::string_view target);
    void dispatch();
    void run_off_loop(const HttpServer::Impl::Route& route);
    void start_stream(const HttpServer::StreamStart& start);
    void answer(HttpResponse r);
    void refuse(int status, std::string message);
    void write_next_piece();
    void write_last_chunk();
    void finish();
    void linger();
    void drain();
    void count_out();
    void list_in(std::list<HttpSession*>& list);
    void unlist();
    void write_event();

    HttpServer::Impl& server_;
    boost::beast::tcp_stream stream_;
    const int fd_;  // for peer_gone() on another thread, which must not touch stream_
    boost::beast::flat_buffer buffer_;
    std::optional<Parser> parser_;
    boost::asio::steady_timer deadline_;
    bool timed_out_ = false;
    std::atomic<bool> closed_{false};
    std::list<HttpSession*>* listed_in_ = nullptr;
    std::list<HttpSession*>::iterator listed_at_;
    std::string peer_address_;  // without the port: what one peer's share of streams is counted by
    std::string peer_;          // with the port, for each request

    HttpRequest request_;
    unsigned version_ = 11;
    bool keep_alive_ = false;
    bool head_only_ = false;    // HEAD: the answer's head alone
    std::string route_method_;  // the route's method ("GET" for a HEAD)

    // The answer being written: its head (rendered by Beast), its body, and where more comes from.
    std::string head_;
    std::shared_ptr<const std::string> body_;
    std::function<std::optional<std::string>()> more_;
    bool chunked_ = false;

    // A stream's pieces not yet written; the front one is being written.
    bool streaming_ = false;
    std::deque<std::shared_ptr<const std::string>> queue_;
    std::size_t queued_bytes_ = 0;
    // The stream's opening (its head and the whole state) is sent whatever its size: only what
    // comes after it counts against the queue's limit.
    std::size_t opening_pieces_ = 0;
    std::size_t opening_bytes_ = 0;
    std::array<char, 1024> discard_{};
};

}  // namespace dashboard
