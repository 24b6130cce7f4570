// dashboard: serves a web page that shows the node's reports and sends it commands, over a serial
// device, a nodesim's TCP port, or a nodesim it starts itself.
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "connection.h"
#include "history.h"
#include "link.h"
#include "mqtt_bridge.h"
#include "nodesim_process.h"
#include "options.h"
#include "web_server.h"

using namespace dashboard;

namespace {

Connection::Opener make_opener(const Options& o, std::unique_ptr<NodesimProcess>& own)
{
    if (!o.device.empty()) return [path = o.device] { return open_serial(path); };
    if (!o.tcp.empty()) return [peer = o.tcp_address] { return connect_tcp(peer.host, peer.port); };
    own = std::make_unique<NodesimProcess>(o.nodesim, o.nodesim_args);
    return [sim = own.get()]() -> OpenResult {
        auto endpoint = sim->endpoint();
        if (auto* error = std::get_if<std::string>(&endpoint)) return *error;
        auto e = std::get<Endpoint>(endpoint);
        return connect_tcp(e.host, e.port);
    };
}

}  // namespace

int main(int argc, char** argv)
{
    auto parsed = parse_options(argc, argv);
    if (auto* status = std::get_if<int>(&parsed)) return *status;
    const Options& o = std::get<Options>(parsed);

    // Ctrl-C and SIGTERM are taken by one thread that stops the server; every other thread runs
    // with them blocked. A peer that goes away mid-write gives EPIPE, not a signal.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // Every open page holds a socket: let that be bounded by memory, not by the default 1024.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    if (o.mqtt.forget) return mqtt::forget(o.mqtt);

    if (o.db != History::kMemoryOnly && o.db == default_history_path()) {
        std::error_code ignored;  // a folder that cannot be made shows as a file that cannot be opened
        std::filesystem::create_directories(std::filesystem::path(o.db).parent_path(), ignored);
    }
    History history(o.db, o.keep_days);
    std::fprintf(stderr, "dashboard: history %s\n", history.status().c_str());

    std::unique_ptr<NodesimProcess> own;
    Connection connection(make_opener(o, own), &history);
    // Refused credentials or an untrusted certificate end the program here, before anything runs.
    std::unique_ptr<mqtt::Bridge> bridge;
    if (o.mqtt.enabled()) {
        bridge = std::make_unique<mqtt::Bridge>(o.mqtt, connection);
        if (auto error = bridge->start()) {
            std::fprintf(stderr, "dashboard: mqtt: %s\n", error->c_str());
            return 2;
        }
    }
    WebServer server(connection, WebFiles{o.web_dir, o.uplot_dir});

    const std::string& host = o.listen_address.host;
    int bound = server.bind(host, o.listen_address.port);
    if (bound < 0) {
        std::fprintf(stderr, "dashboard: cannot listen on %s (in use?)\n", o.listen.c_str());
        return 1;
    }
    if (own) {
        std::string args;
        for (const auto& a : own->arguments()) args += " " + a;
        std::fprintf(stderr, "dashboard: starting %s%s\n", o.nodesim.c_str(), args.c_str());
    }
    connection.start();
    std::string shown_host = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    std::printf("dashboard: open http://%s:%d/\n", shown_host.c_str(), bound);
    std::fflush(stdout);

    std::atomic<bool> asked_to_stop{false};
    std::thread stopper([&] {
        int sig = 0;
        sigwait(&stop_signals, &sig);
        asked_to_stop = true;
        server.stop();
    });
    server.serve();
    bool served = asked_to_stop;
    // Serving ended without a signal (it failed): wake the waiting thread so it can be joined.
    if (!served) pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    bridge.reset();  // offline, while the broker can still be told
    connection.stop();
    if (own) own->stop();
    std::fprintf(stderr, "dashboard: stopped\n");
    return served ? 0 : 1;
}
