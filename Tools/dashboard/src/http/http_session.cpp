#include "http_session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_cat.hpp>
#include <boost/beast/http/chunk_encode.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/url/parse.hpp>

#include <algorithm>
#include <cerrno>
#include <sstream>
#include <tuple>
#include <utility>

namespace dashboard {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

// How long a closed connection keeps reading what the client still sends, so that closing with
// unread input (which makes the kernel reset the connection) cannot destroy the answer before the
// client has read it.
constexpr auto kLinger = std::chrono::seconds(2);

// Headers on every answer: the page is never shown inside another site's frame (where that site
// could make the user click its buttons), and nothing is taken for another type than it is.
void set_common_headers(http::response<http::empty_body>& head)
{
    head.set("Content-Security-Policy", "frame-ancestors 'none'");
    head.set("X-Frame-Options", "DENY");
    head.set("X-Content-Type-Options", "nosniff");
}

template <class Header>
std::string render(const Header& head)
{
    std::ostringstream text;
    text << head;
    return text.str();
}

// The peer's address alone ("::1") and with its port ("[::1]:54321").
std::pair<std::string, std::string> peer_of(const net::ip::tcp::socket& socket)
{
    beast::error_code ec;
    auto at = socket.remote_endpoint(ec);
    if (ec) return {"unknown", "unknown"};
    auto address = at.address().to_string();
    return {address, (at.address().is_v6() ? "[" + address + "]" : address) + ":" + std::to_string(at.port())};
}

}  // namespace

HttpSession::HttpSession(HttpServer::Impl& server, net::ip::tcp::socket socket)
    : server_(server), stream_(std::move(socket)), fd_(stream_.socket().native_handle()), deadline_(server.loop)
{
    ++server_.owner.open_connections_;
    std::tie(peer_address_, peer_) = peer_of(stream_.socket());
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

HttpSession::~HttpSession()
{
    unlist();
    if (!closed_) count_out();
}

// Once, when the socket closes (or the session goes without closing it, as the loop is destroyed).
void HttpSession::count_out()
{
    if (streaming_) {
        --server_.owner.open_streams_;
        auto peer = server_.streams_by_peer.find(peer_address_);
        if (peer != server_.streams_by_peer.end() && --peer->second == 0) server_.streams_by_peer.erase(peer);
    }
    --server_.owner.open_connections_;
}

void HttpSession::list_in(std::list<HttpSession*>& list)
{
    unlist();
    listed_at_ = list.insert(list.end(), this);
    listed_in_ = &list;
}

void HttpSession::unlist()
{
    if (listed_in_) listed_in_->erase(listed_at_);
    listed_in_ = nullptr;
}

void HttpSession::start()
{
    wait_for_request();
}

void HttpSession::refuse_at_door()
{
    keep_alive_ = false;
    answer(plain_response(503, "too many connections; try again shortly"));
}

void HttpSession::close()
{
    if (closed_.exchange(true)) return;
    count_out();
    unlist();
    deadline_.cancel();
    beast::error_code ignored;
    stream_.socket().shutdown(net::socket_base::shutdown_both, ignored);
    stream_.socket().close(ignored);
}

// Only an error says so: the end of the client's input may be a half-close (`nc -N`, a script that
// shuts down its sending side once its requests are out) from a client still reading its answers.
// A client that closed for good resets the connection at the first piece written to it.
bool HttpSession::peer_gone() const
{
    if (closed_) return true;
    char c;
    ssize_t n = ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
}

// Our own deadline for a read, instead of the stream's: when it passes, the read ends and the
// client can still be told (408) rather than only cut off.
void HttpSession::arm_deadline(std::chrono::milliseconds after)
{
    timed_out_ = false;
    stream_.expires_never();
    deadline_.expires_after(after);
    deadline_.async_wait([self = weak_from_this()](beast::error_code ec) {
        auto s = self.lock();
        if (ec || !s || s->closed_) return;
        s->timed_out_ = true;
        beast::error_code ignored;
        s->stream_.socket().cancel(ignored);  // the pending read ends with operation_aborted
    });
}

// Until a request begins. Empty lines before it are dropped, as HTTP/1.1 asks of a server.
void HttpSession::wait_for_request()
{
    if (closed_) return;
    list_in(server_.waiting);
    auto data = static_cast<const char*>(buffer_.data().data());
    std::size_t blank = 0;
    while (blank < buffer_.size() && (data[blank] == '\r' || data[blank] == '\n')) ++blank;
    buffer_.consume(blank);
    if (buffer_.size() > 0) return read_head();
    arm_deadline(server_.limits.idle_time);
    stream_.async_read_some(buffer_.prepare(4096), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
        self->deadline_.cancel();
        if (ec || self->closed_) return self->close();  // gone, or idle too long: nothing owed
        self->buffer_.commit(n);
        self->wait_for_request();
    });
}

void HttpSession::read_head()
{
    head_only_ = false;
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(server_.limits.max_head));
    parser_->body_limit(server_.limits.max_body);
    arm_deadline(server_.limits.head_time);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_head(ec); });
}

void HttpSession::on_head(beast::error_code ec)
{
    deadline_.cancel();
    unlist();
    if (closed_) return;
    if (timed_out_) return refuse(408, "the request's head did not arrive in time");
    if (ec == http::error::end_of_stream || ec == net::error::eof || ec == net::error::connection_reset) return close();
    if (ec == http::error::header_limit) return refuse(431, "request head too large");
    if (ec == http::error::bad_version) return refuse(505, "HTTP/1.0 and HTTP/1.1 only");
    if (ec) return refuse(400, "malformed request (" + ec.message() + ")");
    take_head();
}

// The target as a path and a query: in origin form ("/state?x=1") as sent, or in absolute form
// ("http://127.0.0.1:8080/state"), whose authority then stands for the Host header (so the check
// of the server's own name applies to it).
bool HttpSession::take_target(std::string_view target)
{
    std::string path(target);
    if (!target.empty() && target.front() != '/') {
        auto url = boost::urls::parse_absolute_uri(target);
        if (!url || !beast::iequals(url->scheme(), "http") || !url->has_authority()) return false;
        std::string authority(url->encoded_host_and_port());
        auto host = std::find_if(request_.headers.begin(), request_.headers.end(),
                                 [](const auto& field) { return field.first == "host"; });
        if (host == request_.headers.end())
            request_.headers.emplace_back("host", std::move(authority));
        else
            host->second = std::move(authority);
        path = std::string(url->encoded_resource());
        if (path.empty() || path.front() == '?') path.insert(0, "/");
    }
    auto question = path.find('?');
    request_.path = std::string(path.substr(0, question));
    request_.query = question == std::string_view::npos ? "" : std::string(path.substr(question + 1));
    return true;
}

void HttpSession::take_head()
{
    const auto& head = parser_->get();
    version_ = head.version();
    keep_alive_ = head.keep_alive();
    if (version_ != 10 && version_ != 11) {
        version_ = 11;
        return refuse(505, "HTTP/1.0 and HTTP/1.1 only");
    }
    // One Host, exactly (none only from HTTP/1.0): with two, a proxy and this server could each
    // take a different one.
    auto hosts = head.count(http::field::host);
    if (hosts > 1 || (hosts == 0 && version_ == 11)) return refuse(400, "a request needs exactly one Host header");

    // A body's framing that this server and a proxy in front of it could read differently: with a
    // Transfer-Encoding that does not end in chunked, the body ends only when the connection does,
    // and a whole request hidden in it would be read here as the next one. Refused, and closed.
    // Beast itself refuses chunked beside a Content-Length; any other pair closes after its answer.
    if (head.count(http::field::transfer_encoding) > 0) {
        if (!head.chunked()) return refuse(400, "a Transfer-Encoding must end in chunked");
        keep_alive_ = keep_alive_ && head.count(http::field::content_length) == 0;
    }

    request_.method = std::string(head.method_string());
    head_only_ = request_.method == "HEAD";  // every answer to it, a refusal too, is a head alone
    request_.headers.clear();
    for (const auto& field : head) request_.headers.emplace_back(lower_case(field.name_string()), field.value());
    request_.body.clear();
    request_.peer = peer_;  // again each request: a handler off the loop took the last one's whole
    if (!take_target(head.target())) return refuse(400, "a target is a path, or an http:// URL of this server");

    if (server_.gate)
        if (auto refusal = server_.gate(request_)) {
            keep_alive_ = false;
            return answer(std::move(*refusal));
        }
    bool is_stream = server_.streams.count(request_.path) != 0;
    auto path = server_.routes.find(request_.path);
    if (!is_stream && path == server_.routes.end()) return refuse(404, "not found");
    // HEAD is GET without the body, wherever GET is served (a stream has no end to measure).
    route_method_ = head_only_ ? "GET" : request_.method;
    bool allowed = is_stream ? request_.method == "GET" : path->second.count(route_method_) != 0;
    if (!allowed) {
        std::string allow;
        if (is_stream)
            allow = "GET";
        else
            for (const auto& [method, route] : path->second)
                allow += (allow.empty() ? "" : ", ") + method + (method == "GET" ? ", HEAD" : "");
        auto r = plain_response(405, "method not allowed");
        r.headers.emplace_back("Allow", allow);
        keep_alive_ = false;
        return answer(std::move(r));
    }

    if (parser_->is_done()) return dispatch();
    auto expect = head[http::field::expect];
    if (!expect.empty() && !beast::iequals(expect, "100-continue")) return refuse(417, "only 100-continue is expected");
    auto read_body = [self = shared_from_this()] {
        // Until the body is in, the connection is as cheap to lose as one waiting for a request.
        self->list_in(self->server_.sending_body);
        self->arm_deadline(self->server_.limits.body_time);
        http::async_read(self->stream_, self->buffer_, *self->parser_,
                         [self](beast::error_code read_ec, std::size_t) { self->on_body(read_ec); });
    };
    if (expect.empty() || buffer_.size() > 0) return read_body();
    // The client waits for the go-ahead before it sends its body.
    head_ = render(http::response<http::empty_body>(http::status::continue_, 11).base());
    stream_.expires_after(server_.limits.write_time);
    net::async_write(stream_, net::buffer(head_),
                     [self = shared_from_this(), read_body](beast::error_code ec, std::size_t) {
                         if (ec) return self->close();
                         read_body();
                     });
}

void HttpSession::on_body(beast::error_code ec)
{
    deadline_.cancel();
    unlist();
    if (closed_) return;
    if (timed_out_) return refuse(408, "the request's body did not arrive in time");
    if (ec == http::error::body_limit) return refuse(413, "request body too large");
    if (ec) return refuse(400, "malformed request body (" + ec.message() + ")");
    request_.body = parser_->release().body();
    dispatch();
}

void HttpSession::dispatch()
{
    if (auto s = server_.streams.find(request_.path); s != server_.streams.end()) return start_stream(s->second);
    const auto& route = server_.routes.at(request_.path).at(route_method_);
    if (route.lane != HttpServer::Lane::Loop) return run_off_loop(route);
    HttpResponse r;
    try {
        r = route.handler(request_);
    } catch (const std::exception&) {
        r = plain_response(500, "internal error");
    }
    answer(std::move(r));
}

// The handler runs on its lane's threads; its answer comes back to the loop. A read for a client
// that has gone meanwhile is not worth the work; a command that arrived whole is taken all the same
// (a client that only shut down its sending side looks the same, and a command is what was asked).
void HttpSession::run_off_loop(const HttpServer::Impl::Route& route)
{
    bool always = route.lane == HttpServer::Lane::Commands;
    net::post(server_.pool(route.lane),
              [self = shared_from_this(), handler = route.handler, always, request = std::move(request_)]() mutable {
                  std::optional<HttpResponse> r;
                  if (always || !self->peer_gone()) {
                      try {
                          r = handler(request);
                      } catch (const std::exception&) {
                          r = plain_response(500, "internal error");
                      }
                  }
                  // The session is let go of on the loop, where it is listed.
                  net::post(self->server_.loop, [self, r = std::move(r)]() mutable {
                      if (self->closed_) return;
                      if (!r) return self->close();
                      self->answer(std::move(*r));
                  });
              });
}

void HttpSession::refuse(int status, std::string message)
{
    keep_alive_ = false;
    answer(plain_response(status, std::move(message)));
}

void HttpSession::answer(HttpResponse r)
{
    if (closed_) return;
    http::response<http::empty_body> head(static_cast<http::status>(r.status), version_);
    head.set(http::field::content_type, r.content_type);
    set_common_headers(head);
    for (const auto& [name, value] : r.headers) head.set(name, value);
    body_ = r.shared_body ? std::move(r.shared_body) : std::make_shared<const std::string>(std::move(r.body));
    more_ = std::move(r.more);
    chunked_ = more_ && version_ == 11;
    if (head_only_) {
        // The head GET would have had, with its length when known, and nothing after it.
        if (more_)
            head.chunked(version_ == 11);
        else
            head.content_length(body_->size());
        more_ = nullptr;
        chunked_ = false;
        body_ = std::make_shared<const std::string>();
    } else if (more_) {
        // A long body goes out a piece at a time: chunked, or to an HTTP/1.0 client until the close.
        if (!chunked_) keep_alive_ = false;
        head.chunked(chunked_);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &HttpServer::kSlowSocketBuffer, sizeof HttpServer::kSlowSocketBuffer);
    } else {
        head.content_length(body_->size());
    }
    head.keep_alive(keep_alive_);
    head_ = render(head.base());
    stream_.expires_after(server_.limits.write_time);
    auto written = [self = shared_from_this()](beast::error_code ec, std::size_t) {
        if (ec) return self->close();
        if (self->more_) return self->write_next_piece();
        self->finish();
    };
    if (chunked_ && !body_->empty())
        net::async_write(stream_, beast::buffers_cat(net::buffer(head_), http::make_chunk(net::buffer(*body_))),
                         std::move(written));
    else
        net::async_write(stream_, std::array<net::const_buffer, 2>{net::buffer(head_), net::buffer(*body_)},
                         std::move(written));
}

// The next piece of a long body, read on a worker once the last has gone out: a client that stops
// taking them costs one piece of memory and no more work.
void HttpSession::write_next_piece()
{
    net::post(server_.workers, [self = shared_from_this()] {
        std::optional<std::string> piece;
        bool gone = self->peer_gone();
        if (!gone) piece = self->more_();
        net::post(self->server_.loop, [self, gone, piece = std::move(piece)]() mutable {
            if (self->closed_ || gone) return self->close();
            if (!piece || piece->empty()) return self->write_last_chunk();
            self->body_ = std::make_shared<const std::string>(std::move(*piece));
            self->stream_.expires_after(self->server_.limits.write_time);
            auto written = [self](beast::error_code ec, std::size_t) {
                if (ec) return self->close();
                self->write_next_piece();
            };
            if (self->chunked_)
                net::async_write(self->stream_, http::make_chunk(net::buffer(*self->body_)), std::move(written));
            else
                net::async_write(self->stream_, net::buffer(*self->body_), std::move(written));
        });
    });
}

void HttpSession::write_last_chunk()
{
    more_ = nullptr;
    body_.reset();
    if (!chunked_) return finish();
    stream_.expires_after(server_.limits.write_time);
    net::async_write(stream_, http::make_chunk_last(), [self = shared_from_this()](beast::error_code ec, std::size_t) {
        if (ec) return self->close();
        self->finish();
    });
}

void HttpSession::finish()
{
    body_.reset();
    if (keep_alive_) return wait_for_request();
    linger();
}

// Closes our sending side and reads what the client still sends until it closes too (or kLinger
// passes), so the answer is not lost to a reset.
void HttpSession::linger()
{
    beast::error_code ignored;
    stream_.socket().shutdown(net::socket_base::shutdown_send, ignored);
    arm_deadline(std::chrono::duration_cast<std::chrono::milliseconds>(kLinger));
    drain();
}

void HttpSession::drain()
{
    stream_.async_read_some(net::buffer(discard_), [self = shared_from_this()](beast::error_code ec, std::size_t) {
        if (ec || self->closed_) return self->close();
        self->drain();
    });
}

void HttpSession::start_stream(const HttpServer::StreamStart& start)
{
    // An event stream never ends, so a request sent behind it on this connection could never be
    // answered: say so now rather than leave that request unanswered for ever.
    if (buffer_.size() > 0)
        return refuse(400, "an event stream takes its connection for itself; send other requests on another");
    streaming_ = true;
    ++server_.owner.open_streams_;
    list_in(server_.streaming);
    // A peer over its share loses its oldest stream: a page left open longest, which reconnects.
    if (++server_.streams_by_peer[peer_address_] > server_.stream_share())
        for (HttpSession* s : server_.streaming)
            if (s != this && s->peer_address_ == peer_address_) {
                s->close();
                break;
            }
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &HttpServer::kSlowSocketBuffer, sizeof HttpServer::kSlowSocketBuffer);
    http::response<http::empty_body> head(http::status::ok, version_);
    head.set(http::field::content_type, "text/event-stream");
    head.set(http::field::cache_control, "no-store");
    set_common_headers(head);
    head.keep_alive(false);  // the body ends when the connection does
    stream_.expires_never();
    // The whole state is shared with every other stream that starts before it changes: a client
    // opening a stream every half millisecond costs a head each, not a copy of the state each.
    auto opening = {std::make_shared<const std::string>(render(head.base())), start()};
    for (const auto& piece : opening) {
        ++opening_pieces_;
        opening_bytes_ += piece->size();
        send_event(piece);
    }
    // The client has nothing more to say: anything it sends is a request this connection cannot
    // answer, and its close ends the stream.
    stream_.async_read_some(net::buffer(discard_),
                            [self = shared_from_this()](beast::error_code, std::size_t) { self->close(); });
}

void HttpSession::send_event(const std::shared_ptr<const std::string>& piece)
{
    if (closed_ || piece->empty()) return;
    queue_.push_back(piece);
    queued_bytes_ += piece->size();
    // The client stopped reading (what the opening weighs does not count: a large state must not
    // close every stream before its first byte).
    if (queued_bytes_ - opening_bytes_ > HttpServer::kStreamQueueLimit) return close();
    if (queue_.size() == 1) write_event();
}

void HttpSession::write_event()
{
    net::async_write(stream_, net::buffer(*queue_.front()),
                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                         if (ec || self->closed_) return self->close();
                         self->queued_bytes_ -= self->queue_.front()->size();
                         if (self->opening_pieces_ > 0) {
                             --self->opening_pieces_;
                             self->opening_bytes_ -= self->queue_.front()->size();
                         }
                         self->queue_.pop_front();
                         if (!self->queue_.empty()) self->write_event();
                     });
}

}  // namespace dashboard
