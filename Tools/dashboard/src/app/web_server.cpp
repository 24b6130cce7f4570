#include "web_server.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

#include "commands.h"

namespace dashboard {
namespace {

// An event stream sends at least this often, so a page notices a dashboard that went away.
constexpr auto kKeepAlive = std::chrono::seconds(2);
// How often the publisher looks for a stop while the state is quiet.
constexpr auto kPublishPoll = std::chrono::milliseconds(200);
// Rows per piece of a CSV download: about 300 kB, read from the file while the last goes out.
constexpr std::size_t kCsvRowsPerPiece = 5000;
// Points of a chart asked for without saying: about one per pixel of a wide window.
constexpr std::size_t kDefaultChartPoints = 2000;
constexpr std::size_t kMaxChartPoints = 20000;

std::string dump(const nlohmann::json& j)
{
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

HttpResponse json_reply(int status, const nlohmann::json& j)
{
    HttpResponse r;
    r.status = status;
    r.content_type = "application/json";
    r.body = dump(j);
    return r;
}

HttpResponse reply(int status, const std::string& message)
{
    return json_reply(status, {{"ok", status == 200}, {"message", message}});
}

// A file of the page. One that is missing is named by its URL only (the machine's own folders are
// nobody else's business); the console says where it was looked for.
HttpResponse file_reply(const std::string& url, const std::string& path, const std::string& type)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "dashboard: cannot read %s for %s\n", path.c_str(), url.c_str());
        return plain_response(404, "missing " + url + " (run npm ci in Tools/dashboard)");
    }
    std::ostringstream text;
    text << in.rdbuf();
    HttpResponse r;
    r.content_type = type;
    r.body = text.str();
    r.headers.emplace_back("Cache-Control", "no-store");
    return r;
}

// The request body as JSON, or null when it is not.
nlohmann::json body_json(const HttpRequest& req)
{
    return nlohmann::json::parse(req.body, nullptr, false);
}

// from= and to= of a history request; false (with `message`) when one is not a time.
bool time_range(const HttpRequest& req, double& from, double& to, std::string& message)
{
    from = 0;
    to = unix_seconds(DashboardState::WallClock::now()) + 86400;
    for (auto [name, bound] : {std::pair{"from", &from}, std::pair{"to", &to}}) {
        auto text = req.query_value(name);
        if (!text || text->empty()) continue;
        auto t = parse_time_bound(*text);
        if (!t) {
            message = std::string(name) + "=" + *text + ": give unix seconds or a UTC time such as 2026-12-08T14:30";
            return false;
        }
        *bound = *t;
    }
    return true;
}

}  // namespace

bool loopback_host(const std::string& host)
{
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

std::optional<double> parse_time_bound(const std::string& text)
{
    char* end = nullptr;
    double seconds = std::strtod(text.c_str(), &end);
    // The whole text, not up to a NUL inside it (from=1%00abc is not 1).
    if (end != text.c_str() && end == text.c_str() + text.size() && std::isfinite(seconds) &&
        text.find('-', 1) == std::string::npos)
        return seconds;
    std::tm tm{};
    int consumed = 0;
    int n = std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &consumed);
    if (n != 3) return std::nullopt;
    std::string rest = text.substr(static_cast<std::size_t>(consumed));
    if (!rest.empty()) {
        int used = 0;
        if (std::sscanf(rest.c_str(), "T%2d:%2d%n", &tm.tm_hour, &tm.tm_min, &used) != 2) return std::nullopt;
        rest = rest.substr(static_cast<std::size_t>(used));
        if (!rest.empty() && rest[0] == ':') {
            if (std::sscanf(rest.c_str(), ":%2d%n", &tm.tm_sec, &used) != 1) return std::nullopt;
            rest = rest.substr(static_cast<std::size_t>(used));
        }
        if (rest == "Z") rest.clear();
        if (!rest.empty()) return std::nullopt;
    }
    if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 60)
        return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<double>(::timegm(&tm));
}

WebServer::WebServer(Connection& connection, WebFiles files, HttpLimits limits)
    : connection_(connection), files_(std::move(files)), http_(limits)
{
    using Lane = HttpServer::Lane;
    auto& s = http_;
    s.set_gate([this](const HttpRequest& req) { return refuse_foreign(req); });

    // Pages and the state: on the event loop, read or formatted at once (the state once per change).
    auto file = [&s](const std::string& url, std::string path, std::string type) {
        s.handle("GET", url, Lane::Loop, [url, path, type](const HttpRequest&) { return file_reply(url, path, type); });
    };
    file("/", files_.page_dir + "/index.html", "text/html; charset=utf-8");
    file("/app.js", files_.page_dir + "/app.js", "text/javascript");
    file("/style.css", files_.page_dir + "/style.css", "text/css");
    file("/uplot/uPlot.iife.min.js", files_.uplot_dir + "/uPlot.iife.min.js", "text/javascript");
    file("/uplot/uPlot.min.css", files_.uplot_dir + "/uPlot.min.css", "text/css");

    s.handle("GET", "/state", Lane::Loop, [this](const HttpRequest&) {
        HttpResponse r;
        r.content_type = "application/json";
        r.shared_body = full_state().json;
        return r;
    });

    // Server-sent events: the whole state at once, then the state without the chart's points
    // ("update") whenever it changes; the page takes the newest point of the chart from its log.
    s.stream("/events", [this] { return full_state().event; });

    // Commands: on a thread of their own, each written to the history before its answer.
    s.handle("POST", "/led", Lane::Commands, [this](const HttpRequest& req) {
        auto j = body_json(req);
        if (!j.is_object() || !j.contains("on") || !j["on"].is_boolean())
            return reply(400, "expected {\"on\": true|false}");
        return take_command(req, CommandKind::Led, led_frame(j["on"].get<bool>()));
    });

    s.handle("POST", "/pwm", Lane::Commands, [this](const HttpRequest& req) {
        auto j = body_json(req);
        if (!j.is_object() || !j.contains("duty") || !j["duty"].is_number_integer())
            return reply(400, "expected {\"duty\": 0-100}");
        auto frame = pwm_frame(j["duty"].get<long>());
        if (!frame) return reply(400, "duty must be 0 to 100");
        return take_command(req, CommandKind::Pwm, *frame);
    });

    // The stored history: read from the file on the workers.
    // The chart's temperatures over a span, thinned to about `points`.
    s.handle("GET", "/history.json", Lane::Workers, [this](const HttpRequest& req) {
        double from, to;
        std::string message;
        if (!time_range(req, from, to, message)) return reply(400, message);
        std::size_t points = kDefaultChartPoints;
        if (auto p = req.query_value("points"))
            points = std::clamp<std::size_t>(std::strtoul(p->c_str(), nullptr, 10), 2, kMaxChartPoints);
        nlohmann::json list = nlohmann::json::array();
        History* h = connection_.history();
        if (h)
            for (auto [t, c] : h->temperatures(from, to, points)) list.push_back({t, c});
        return json_reply(200, {{"from", from}, {"to", to}, {"points", std::move(list)}, {"store", history_status()}});
    });

    // Everything stored in a span, as CSV, read from the file a piece at a time.
    s.handle("GET", "/history.csv", Lane::Workers, [this](const HttpRequest& req) {
        double from, to;
        std::string message;
        if (!time_range(req, from, to, message)) return reply(400, message);
        HttpResponse r;
        r.content_type = "text/csv; charset=utf-8";
        r.headers.emplace_back("Content-Disposition", "attachment; filename=\"node-history.csv\"");
        r.headers.emplace_back("Cache-Control", "no-store");
        r.body = History::csv_header();
        History* h = connection_.history();
        if (!h) return r;
        auto after = std::make_shared<std::int64_t>(0);
        r.more = [h, from, to, after]() -> std::optional<std::string> {
            std::string rows = h->csv_rows(from, to, *after, kCsvRowsPerPiece);
            if (rows.empty()) return std::nullopt;
            return rows;
        };
        return r;
    });

    publisher_ = std::thread(&WebServer::publish, this);
}

WebServer::~WebServer()
{
    stop();
    if (publisher_.joinable()) publisher_.join();
}

std::string WebServer::history_status() const
{
    return connection_.history() ? connection_.history()->status() : "not kept";
}

HttpResponse WebServer::take_command(const HttpRequest& req, CommandKind kind, const std::string& frame)
{
    const std::string* origin = req.header("origin");
    if (auto refused = submit_command(connection_, kind, frame, req.peer + (origin ? " from " + *origin : "")))
        return reply(503, *refused);
    return reply(200, frame);
}

std::optional<std::string> submit_command(Connection& connection, CommandKind kind, const std::string& frame,
                                          const std::string& source)
{
    if (History* h = connection.history()) {
        StoredEvent asked{
            unix_seconds(DashboardState::WallClock::now()), "command", command_name(kind), frame, std::nullopt, source};
        if (!h->record(asked)) return "not sent: the command could not be written to the history (" + h->status() + ")";
    }
    connection.command(kind, frame);
    return std::nullopt;
}

const WebServer::FullState& WebServer::full_state()
{
    auto version = connection_.version();
    if (version != full_version_ || !full_.json) {
        auto j = connection_.snapshot(true);
        j["history_store"] = history_status();
        auto text = dump(j);
        full_.event = std::make_shared<const std::string>("event: full\ndata: " + text + "\n\n");
        full_.json = std::make_shared<const std::string>(std::move(text));
        full_version_ = version;
    }
    return full_;
}

void WebServer::publish()
{
    std::uint64_t seen = connection_.version();
    auto last_sent = std::chrono::steady_clock::now();
    while (!stop_) {
        auto now_version = connection_.wait_change(seen, kPublishPoll);
        auto now = std::chrono::steady_clock::now();
        if (now_version != seen) {
            seen = now_version;
            http_.broadcast("event: update\ndata: " + dump(connection_.snapshot(false)) + "\n\n");
            last_sent = now;
        } else if (now - last_sent >= kKeepAlive) {
            http_.broadcast(": keep-alive\n\n");
            last_sent = now;
        }
    }
}

std::optional<HttpResponse> WebServer::refuse_foreign(const HttpRequest& req) const
{
    const std::string* host_header = req.header("host");
    std::string host = host_header ? lower_case(*host_header) : "";
    std::string port = ":" + std::to_string(port_);
    std::string listen = listen_host_.find(':') != std::string::npos ? "[" + listen_host_ + "]" : listen_host_;
    bool ours = false;
    for (const std::string& name : {listen, std::string("127.0.0.1"), std::string("localhost"), std::string("[::1]")})
        ours = ours || host == name + port || (port_ == 80 && host == name);
    if (!ours)
        return reply(421, "this dashboard answers only to http://" + listen + port +
                              "/ (Host: " + (host_header ? *host_header : "none") + ")");
    if (req.method == "POST") {
        // A browser sends Origin with every cross-site POST; a page of ours has our own, exactly.
        if (const std::string* origin = req.header("origin"); origin && lower_case(*origin) != "http://" + host)
            return reply(403, "commands are taken only from the dashboard's own page, not from " + *origin);
        // A browser that leaves Origin out still says where the request comes from.
        if (const std::string* site = req.header("sec-fetch-site"); site && lower_case(*site) != "same-origin")
            return reply(403, "commands are taken only from the dashboard's own page, not from a " + *site + " one");
        const std::string* type = req.header("content-type");
        std::string media = type ? lower_case(type->substr(0, type->find(';'))) : "";
        while (!media.empty() && media.back() == ' ') media.pop_back();
        if (media != "application/json") return reply(415, "send the command as Content-Type: application/json");
    }
    return std::nullopt;
}

int WebServer::bind(const std::string& host, int port)
{
    listen_host_ = lower_case(host);
    port_ = http_.bind(host, port);
    return port_;
}

bool WebServer::serve()
{
    bool ok = http_.serve();
    stop_ = true;
    if (publisher_.joinable()) publisher_.join();
    return ok;
}

void WebServer::stop()
{
    stop_ = true;
    http_.stop();
}

}  // namespace dashboard
