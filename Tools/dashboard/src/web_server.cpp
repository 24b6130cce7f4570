#include "web_server.h"

#include <httplib.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "commands.h"

namespace dashboard {
namespace {

// Each open page holds one worker for its event stream; a few pages and their requests fit.
constexpr std::size_t kWorkers = 16;
// An event stream sends at least this often, so a closed page frees its worker.
constexpr auto kKeepAlive = std::chrono::seconds(2);

std::string dump(const nlohmann::json& j) {
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void serve_file(httplib::Server& server, const std::string& url, const std::string& path,
                const std::string& type) {
    server.Get(url, [path, type](const httplib::Request&, httplib::Response& res) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            res.status = 404;
            res.set_content("missing " + path + " (run npm ci in Tools/dashboard)\n", "text/plain");
            return;
        }
        std::ostringstream text;
        text << in.rdbuf();
        res.set_content(text.str(), type);
        res.set_header("Cache-Control", "no-store");
    });
}

void reply(httplib::Response& res, int status, const std::string& message) {
    res.status = status;
    res.set_content(dump({{"ok", status == 200}, {"message", message}}), "application/json");
}

// The request body as JSON, or null when it is not.
nlohmann::json body_json(const httplib::Request& req) {
    return nlohmann::json::parse(req.body, nullptr, false);
}

}  // namespace

bool loopback_host(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

WebServer::WebServer(Connection& connection, WebFiles files)
    : connection_(connection), files_(std::move(files)), server_(std::make_unique<httplib::Server>()) {
    auto& s = *server_;
    // The library's own way to size its pool: a factory returning an owning raw pointer.
    s.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };

    serve_file(s, "/", files_.page_dir + "/index.html", "text/html; charset=utf-8");
    serve_file(s, "/app.js", files_.page_dir + "/app.js", "text/javascript");
    serve_file(s, "/style.css", files_.page_dir + "/style.css", "text/css");
    serve_file(s, "/uplot/uPlot.iife.min.js", files_.uplot_dir + "/uPlot.iife.min.js", "text/javascript");
    serve_file(s, "/uplot/uPlot.min.css", files_.uplot_dir + "/uPlot.min.css", "text/css");

    s.Get("/state", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(dump(connection_.snapshot(true)), "application/json");
    });

    // Server-sent events: the whole state at once, then the state without the chart's points
    // ("update") whenever it changes, plus the newest point of the chart.
    s.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        auto seen = std::make_shared<std::uint64_t>(0);
        auto first = std::make_shared<bool>(true);
        res.set_chunked_content_provider(
            "text/event-stream", [this, seen, first](std::size_t, httplib::DataSink& sink) {
                if (*first) {
                    *first = false;
                    *seen = connection_.version();
                    std::string event = "event: full\ndata: " + dump(connection_.snapshot(true)) + "\n\n";
                    return sink.write(event.data(), event.size());
                }
                auto now = connection_.wait_change(
                    *seen, std::chrono::duration_cast<std::chrono::milliseconds>(kKeepAlive));
                std::string event;
                if (now == *seen) {
                    event = ": keep-alive\n\n";
                } else {
                    *seen = now;
                    event = "event: update\ndata: " + dump(connection_.snapshot(false)) + "\n\n";
                }
                if (!sink.is_writable()) return false;
                return sink.write(event.data(), event.size());
            });
    });

    s.Post("/led", [this](const httplib::Request& req, httplib::Response& res) {
        auto j = body_json(req);
        if (!j.is_object() || !j.contains("on") || !j["on"].is_boolean())
            return reply(res, 400, "expected {\"on\": true|false}");
        std::string frame = led_frame(j["on"].get<bool>());
        connection_.command(CommandKind::Led, frame);
        reply(res, 200, frame);
    });

    s.Post("/pwm", [this](const httplib::Request& req, httplib::Response& res) {
        auto j = body_json(req);
        if (!j.is_object() || !j.contains("duty") || !j["duty"].is_number_integer())
            return reply(res, 400, "expected {\"duty\": 0-100}");
        auto frame = pwm_frame(j["duty"].get<long>());
        if (!frame) return reply(res, 400, "duty must be 0 to 100");
        connection_.command(CommandKind::Pwm, *frame);
        reply(res, 200, *frame);
    });
}

WebServer::~WebServer() = default;

int WebServer::bind(const std::string& host, int port) {
    if (port == 0) return server_->bind_to_any_port(host);
    return server_->bind_to_port(host, port) ? port : -1;
}

bool WebServer::serve() { return server_->listen_after_bind(); }

void WebServer::stop() { server_->stop(); }

}  // namespace dashboard
