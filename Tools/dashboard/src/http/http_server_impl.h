// What the server's connections share: the routes, the event loop, the threads of the two lanes
// off the loop, and the lists of connections by what they wait for. Inside the HTTP layer only.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include <list>
#include <map>
#include <unordered_map>

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
    // Closes the oldest connection of the cheap kind that holds the most; false when none is cheap.
    bool close_cheapest();
    // Event streams a peer may hold.
    std::size_t stream_share() const;
    boost::asio::thread_pool& pool(Lane lane) { return lane == Lane::Commands ? commands : workers; }

    HttpServer& owner;
    HttpLimits limits;
    Gate gate;
    std::map<std::string, std::map<std::string, Route>> routes;  // path, then method
    std::map<std::string, StreamStart> streams;

    // Touched on the event loop only, oldest first. Declared before the loop: a connection still
    // open when the loop is destroyed takes itself off them then.
    std::list<HttpSession*> waiting;       // for a request to begin or its head to end
    std::list<HttpSession*> sending_body;  // the client's, with its head taken
    std::list<HttpSession*> streaming;
    std::unordered_map<std::string, std::size_t> streams_by_peer;  // by address, without the port

    boost::asio::io_context loop{1};
    boost::asio::ip::tcp::acceptor acceptor{loop};
    boost::asio::steady_timer accept_pause{loop};
    // Last: joined (when the server stops) before the loop they hand their results to goes.
    boost::asio::thread_pool commands{1};
    boost::asio::thread_pool workers;
};

}  // namespace dashboard
