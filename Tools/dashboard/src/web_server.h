// The page and its live data over HTTP on the loopback: the page's three files and the chart
// library, the state as server-sent events (/events) and as one JSON document (/state), and the
// commands as POSTs (/led, /pwm).
#pragma once

#include <memory>
#include <string>

#include "connection.h"

namespace httplib {
class Server;
}

namespace dashboard {

struct WebFiles {
    std::string page_dir;   // index.html, app.js, style.css
    std::string uplot_dir;  // the uplot package's dist/ folder
};

class WebServer {
public:
    WebServer(Connection& connection, WebFiles files);
    ~WebServer();

    // Binds to host:port (port 0: a free one); the port bound, or -1.
    int bind(const std::string& host, int port);
    // Serves until stop(); returns false when serving failed.
    bool serve();
    void stop();

private:
    Connection& connection_;
    WebFiles files_;
    std::unique_ptr<httplib::Server> server_;
};

// True for addresses of the loopback only ("127.x.y.z", "localhost", "::1"): the page sends
// commands to the node without asking who is there, so it is not offered to the network.
bool loopback_host(const std::string& host);

}  // namespace dashboard
