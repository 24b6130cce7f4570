#include "http_server.h"

#include <sys/resource.h>

#include <boost/asio/post.hpp>

#include "http_session.h"

namespace dashboard {
namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;

// After accept() ran out of file descriptors with nobody to close in a newcomer's favour, it is
// tried again this much later (instead of at once, for ever, with the connection still pending).
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

}  // namespace

HttpServer::Impl::Impl(HttpServer& server, HttpLimits server_limits, std::size_t worker_count)
    : owner(server), limits(server_limits), workers(worker_count)
{}

std::size_t HttpServer::Impl::connection_cap() const
{
    rlimit files{};
    std::size_t cap = limits.max_connections;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        cap = std::min<std::size_t>(
            cap, files.rlim_cur > kSpareFiles * 2 ? files.rlim_cur - kSpareFiles : files.rlim_cur / 2);
    return cap;
}

bool HttpServer::Impl::close_cheapest()
{
    std::list<HttpSession*>* most = &waiting;
    for (auto* kind : {&sending_body, &streaming})
        if (kind->size() > most->size()) most = kind;
    if (most->empty()) return false;
    most->front()->close();  // takes itself off the list
    return true;
}

std::size_t HttpServer::Impl::stream_share() const
{
    return limits.max_streams_per_peer > 0 ? limits.max_streams_per_peer
                                           : std::max<std::size_t>(1, connection_cap() / 2);
}

void HttpServer::Impl::accept()
{
    acceptor.async_accept([this](boost::beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || !acceptor.is_open()) return;  // stopping
        if (ec == net::error::no_descriptors || ec == net::error::no_buffer_space || ec == net::error::no_memory) {
            if (close_cheapest()) return accept();
            accept_pause.expires_after(kAcceptPause);
            accept_pause.async_wait([this](boost::beast::error_code wait_ec) {
                if (!wait_ec) accept();
            });
            return;
        }
        if (!ec) {
            auto session = std::make_shared<HttpSession>(*this, std::move(socket));
            if (owner.open_connections_ > connection_cap() && !close_cheapest())
                session->refuse_at_door();
            else
                session->start();
        }
        accept();
    });
}

HttpServer::HttpServer(HttpLimits limits, std::size_t workers) : impl_(std::make_unique<Impl>(*this, limits, workers))
{}

HttpServer::~HttpServer()
{
    stop();
    impl_->commands.join();
    impl_->workers.join();
}

void HttpServer::set_gate(Gate gate)
{
    impl_->gate = std::move(gate);
}

void HttpServer::handle(std::string method, std::string path, Lane lane, Handler handler)
{
    impl_->routes[std::move(path)][std::move(method)] = Impl::Route{lane, std::move(handler)};
}

void HttpServer::stream(std::string path, StreamStart start)
{
    impl_->streams[std::move(path)] = std::move(start);
}

int HttpServer::bind(const std::string& host, int port)
{
    boost::beast::error_code ec;
    tcp::resolver resolver(impl_->loop);
    auto found =
        resolver.resolve(host, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec) return -1;
    for (const auto& entry : found) {
        tcp::acceptor& a = impl_->acceptor;
        a.open(entry.endpoint().protocol(), ec);
        if (ec) continue;
        a.set_option(net::socket_base::reuse_address(true), ec);
        a.bind(entry.endpoint(), ec);
        if (!ec) a.listen(net::socket_base::max_listen_connections, ec);
        if (!ec) return a.local_endpoint().port();
        a.close(ec);
    }
    return -1;
}

bool HttpServer::serve()
{
    if (!impl_->acceptor.is_open()) return false;
    impl_->accept();
    impl_->loop.run();
    return true;
}

void HttpServer::stop()
{
    net::post(impl_->loop, [impl = impl_.get()] {
        boost::beast::error_code ignored;
        impl->acceptor.close(ignored);
        impl->accept_pause.cancel();
        for (auto* kind : {&impl->waiting, &impl->sending_body, &impl->streaming})
            while (!kind->empty()) kind->front()->close();
        impl->loop.stop();
    });
}

void HttpServer::broadcast(std::string event)
{
    net::post(impl_->loop, [impl = impl_.get(), piece = std::make_shared<const std::string>(std::move(event))] {
        // Closing a stream that fell behind takes it off the list: walk a copy.
        std::vector<HttpSession*> streams(impl->streaming.begin(), impl->streaming.end());
        for (HttpSession* s : streams) s->send_event(piece);
    });
}

}  // namespace dashboard
