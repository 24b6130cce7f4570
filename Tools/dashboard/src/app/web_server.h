// The page and its live data over HTTP on the loopback: the page's three files and the chart
// library, the state as server-sent events (/events) and as one JSON document (/state), the
// commands as POSTs (/led, /pwm), and the stored history (/history.json for the chart,
// /history.csv to download).
//
// Only the page itself may use it: every request must name this server in its Host header (a
// remote name that resolves to the loopback, as DNS rebinding arranges, is refused with 421), and a
// command must be JSON from the page's own origin, exactly (a form or a text/plain request, which
// any other site can make a browser send without asking, is refused, and so is a request the
// browser marks as sent from another site).
//
// A command is written to the history, as asked and by whom, before its 200 goes out: an
// acknowledged command is never lost, whatever becomes of the process afterwards.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "connection.h"
#include "http_server.h"

namespace dashboard {

struct WebFiles {
    std::string page_dir;   // index.html, app.js, style.css
    std::string uplot_dir;  // the uplot package's dist/ folder
};

class WebServer {
public:
    WebServer(Connection& connection, WebFiles files, HttpLimits limits = {});
    ~WebServer();

    // Binds to host:port (port 0: a free one); the port bound, or -1.
    int bind(const std::string& host, int port);
    // Serves until stop(); returns false when serving failed.
    bool serve();
    void stop();
    std::size_t open_streams() const { return http_.open_streams(); }
    std::size_t open_connections() const { return http_.open_connections(); }

private:
    std::optional<HttpResponse> refuse_foreign(const HttpRequest& req) const;
    std::string history_status() const;
    HttpResponse take_command(const HttpRequest& req, CommandKind kind, const std::string& frame);
    // The whole state with the chart's points and where the history is kept, formatted once per
    // change of the state and shared: /state, and (as an event) the first piece of every stream.
    struct FullState {
        std::shared_ptr<const std::string> json, event;
    };
    const FullState& full_state();
    void publish();

    Connection& connection_;
    WebFiles files_;
    HttpServer http_;
    std::string listen_host_;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread publisher_;
    // Reused while the state has not changed (a page reloaded by many tabs at once, or a thousand
    // clients asking for /state, cost one snapshot). Touched on the event loop only.
    std::uint64_t full_version_ = ~0ull;
    FullState full_;
};

// The one path of a command, from the page or from MQTT: written to the history as asked by `source`,
// then queued for the node. Nothing when it is queued; why not when it is not (and nothing is sent).
std::optional<std::string> submit_command(Connection& connection, CommandKind kind, const std::string& frame,
                                          const std::string& source);

// True for addresses of the loopback only ("127.x.y.z", "localhost", "::1"): the page sends
// commands to the node without asking who is there, so it is not offered to the network.
bool loopback_host(const std::string& host);

// A time bound of /history.csv and /history.json: unix seconds, or a UTC date ("2026-12-08") or
// date and time ("2026-12-08T14:30", seconds optional, "Z" optional). Nothing for bad text.
std::optional<double> parse_time_bound(const std::string& text);

}  // namespace dashboard
