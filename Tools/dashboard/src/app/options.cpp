#include "options.h"

#include <CLI/CLI.hpp>

#include "history.h"
#include "link.h"
#include "web_server.h"

namespace dashboard {

std::variant<Options, int> parse_options(int argc, char** argv)
{
    Options o;
    o.nodesim = DASHBOARD_DEFAULT_NODESIM;
    o.web_dir = DASHBOARD_DEFAULT_WEB_DIR;
    o.uplot_dir = DASHBOARD_DEFAULT_UPLOT_DIR;
    o.db = default_history_path();
    o.keep_days = History::kDefaultKeepDays;
    std::string temp, speed;

    CLI::App app{
        "dashboard: a web page for the node, on a serial device, a nodesim's TCP port, or a "
        "nodesim of its own (the default)"};
    auto* device = app.add_option("--device", o.device, "serial device at 9600 8N1 (a USB adapter, a pseudo-terminal)");
    auto* tcp = app.add_option("--tcp", o.tcp, "HOST:PORT of a nodesim started with --tcp");
    device->excludes(tcp);
    app.add_option("--nodesim", o.nodesim, "the nodesim to start when given neither --device nor --tcp")
        ->capture_default_str();
    app.add_option("--temp", temp, "own nodesim: temperature at the sensor, degrees Celsius");
    app.add_option("--speed", speed, "own nodesim: virtual time per wall time (needs nodesim --speed)");
    app.add_option("--listen", o.listen, "HOST:PORT of the page, loopback only (port 0: a free one)")
        ->capture_default_str();
    app.add_option("--web", o.web_dir, "folder of index.html, app.js, style.css")->capture_default_str();
    app.add_option("--uplot", o.uplot_dir, "folder of uPlot.iife.min.js and uPlot.min.css")->capture_default_str();
    app.add_option("--db", o.db, "the history file (SQLite); :memory: keeps none past this run")->capture_default_str();
    app.add_option("--keep-days", o.keep_days, "history older than this many days is deleted")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    mqtt::add_options(app, o.mqtt);
    app.add_option("nodesim-args", o.nodesim_args,
                   "after --: more options for the own nodesim "
                   "(--scenario FILE, --trace FILE, --switch 1, ...)");
    app.footer("Prints the page's URL. Reconnects every second while the device or port is away.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    auto listen = common::parse_host_port(o.listen);
    const auto* listen_error = std::get_if<std::string>(&listen);
    if (listen_error || !loopback_host(std::get<common::HostPort>(listen).host)) {
        std::fprintf(stderr, "dashboard: --listen %s: %s%sgive a loopback address and a port, such as 127.0.0.1:8080\n",
                     o.listen.c_str(), listen_error ? listen_error->c_str() : "", listen_error ? "; " : "");
        return 2;
    }
    o.listen_address = std::get<common::HostPort>(listen);
    if (!o.tcp.empty()) {
        auto peer = common::parse_host_port(o.tcp, {.port_may_be_zero = false});
        if (const auto* error = std::get_if<std::string>(&peer)) {
            std::fprintf(stderr, "dashboard: --tcp %s: %s; expected HOST:PORT\n", o.tcp.c_str(), error->c_str());
            return 2;
        }
        o.tcp_address = std::get<common::HostPort>(peer);
    }
    if ((!o.device.empty() || !o.tcp.empty()) && (!temp.empty() || !speed.empty() || !o.nodesim_args.empty())) {
        std::fprintf(stderr,
                     "dashboard: --temp, --speed and options after -- are for a nodesim of its own, "
                     "not with --device or --tcp\n");
        return 2;
    }
    if (o.db.empty()) {
        std::fprintf(stderr, "dashboard: neither XDG_DATA_HOME nor HOME is set: give --db PATH (or --db :memory:)\n");
        return 2;
    }
    if (auto error = mqtt::resolve(o.mqtt, o.device, o.tcp)) {
        std::fprintf(stderr, "dashboard: %s\n", error->c_str());
        return 2;
    }
    std::vector<std::string> extra;
    if (!temp.empty()) extra.insert(extra.end(), {"--temp", temp});
    if (!speed.empty()) extra.insert(extra.end(), {"--speed", speed});
    o.nodesim_args.insert(o.nodesim_args.begin(), extra.begin(), extra.end());
    return o;
}

}  // namespace dashboard
