// What the server's connections share: the routes, the event loop, the threads of the two lanes
// off the loop, and the lists of connections by what they wait for. Inside the HTTP layer only.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include <list>
#include <map>

#include "http_server.h"

namespace dashboard {

class HttpSession;

struct HttpServer::Impl {
    struct Route {
        Lane lane;
        Handler handler;
    };

    Impl(HttpServer& server, HttpLimits server_limits, std::size_t worker_count);

    void accept();
    // Open connections allowed now: the configured bound, or fewer when the process may open
    // fewer files.
    std::size_t connection_cap() const;
    // Closes the connection that has waited longest for its request; false when none waits.
    bool close_oldest_waiting();
    boost::asio::thread_pool& pool(Lane lane) { return lane == Lane::Commands ? commands : workers; }

    HttpServer& owner;
    HttpLimits limits;
    Gate gate;
    std::map<std::string, std::map<std::string, Route>> routes;  // path, then method
    std::map<std::string, StreamStart> streams;

    // Touched on the event loop only, oldest first. Declared before the loop: a connection still
    // open when the loop is destroyed takes itself off them then.
    std::list<HttpSession*> waiting;  // for a request to begin or its head to end
    std::list<HttpSession*> streaming;

    boost::asio::io_context loop{1};
    boost::asio::ip::tcp::acceptor acceptor{loop};
    boost::asio::steady_timer accept_pause{loop};
    // Last: joined (when the server stops) before the loop they hand their results to goes.
    boost::asio::thread_pool commands{1};
    boost::asio::thread_pool workers;
};

}  // namespace dashboard
