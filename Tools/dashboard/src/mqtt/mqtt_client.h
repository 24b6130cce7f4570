// One connection to an MQTT broker, on Debian's libmosquitto (the protocol, TLS and the broker's
// packets are the library's), kept up by a network thread of its own: it connects, runs the
// library's loop, and after a failure connects again with back-off (1 s, doubling to 30 s), for as
// long as the program runs. Publishing and subscribing are safe from any thread; the handlers run
// on the network thread.
//
// The library's own thread (mosquitto_loop_start) is not used: it gives up for good after a TLS
// error or a refused connection, which a broker that restarts in the middle of a handshake, or
// while its password file is rewritten, can cause at any time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>

struct mosquitto;
struct mosquitto_message;

namespace dashboard::mqtt {

struct BrokerSettings {
    bool tls = false;
    std::string host;
    int port = 0;
    std::string ca_file;  // empty: the system's CAs
    std::string user, password;
    std::string name;  // "mqtts://127.0.0.1:8883", for messages
    // The last will, retained: published by the broker when the connection ends without a goodbye.
    std::string will_topic, will_payload;
};

class Client {
public:
    static constexpr auto kFirstRetry = std::chrono::seconds(1);
    static constexpr auto kLongestRetry = std::chrono::seconds(30);
    // A broker that takes the connection but answers nothing for this long is tried again.
    static constexpr auto kConnectTimeout = std::chrono::seconds(10);
    static constexpr int kKeepAliveSeconds = 30;

    using ConnectedHandler = std::function<void()>;
    using MessageHandler = std::function<void(const std::string& topic, std::string_view payload, bool retained)>;

    Client(BrokerSettings settings, ConnectedHandler on_connected, MessageHandler on_message);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // How the first attempt ended. Refused (credentials refused, a certificate not trusted, a port
    // that does not speak TLS, a CA file that is no certificate) is bad configuration, and the
    // thread ends; Unreachable (nothing listening, no answer) is retried in the background.
    struct FirstOutcome {
        enum class Kind { Connected, Unreachable, Refused } kind;
        std::string message;
    };
    // Starts the network thread and waits at most `wait` for the first attempt's outcome.
    FirstOutcome start(std::chrono::milliseconds wait);

    bool connected() const { return connected_; }
    // Counts successful connections: a new value means the broker may have forgotten what was
    // published before (it restarted), so everything retained is published again.
    std::uint64_t connections() const { return connections_; }

    // Publishes while connected; false when not (nothing is queued for later: the caller
    // publishes its whole state again on the next connection).
    bool publish(const std::string& topic, std::string_view payload, bool retain, int qos = 0);
    bool subscribe(const std::string& topic, int qos);
    // Waits at most `wait` until every message published so far has gone to the broker (and been
    // acknowledged, for QoS 1); false when some had not.
    bool flush(std::chrono::milliseconds wait);
    // Says goodbye to the broker (so the will is not published) and ends the thread.
    void stop();

private:
    void run();
    // Connects and runs the library's loop until the connection fails or stop(); why it ended.
    std::string connect_and_serve(bool first);
    void report_first(FirstOutcome outcome);
    std::string failure_text(int rc, int saved_errno);

    static void on_connect(mosquitto*, void* self, int rc);
    static void on_disconnect(mosquitto*, void* self, int rc);
    static void on_publish(mosquitto*, void* self, int mid);
    static void on_message(mosquitto*, void* self, const mosquitto_message* message);
    static void on_log(mosquitto*, void* self, int level, const char* text);

    BrokerSettings settings_;
    ConnectedHandler on_connected_;
    MessageHandler on_message_;
    mosquitto* mosq_ = nullptr;
    std::string setup_error_;

    std::atomic<bool> connected_{false};
    std::atomic<std::uint64_t> connections_{0};
    std::atomic<bool> stop_{false};
    // Set on the network thread while an attempt runs.
    int connack_ = -1;            // the broker's answer to the last attempt: 0 taken, else refused
    std::string last_tls_error_;  // the library's last TLS error message

    std::mutex mutex_;
    std::condition_variable cv_;
    std::optional<FirstOutcome> first_;
    // Message ids sent to the library and not yet confirmed gone, and confirmations that came
    // before publish() had noted the id.
    std::set<int> unconfirmed_, early_confirmations_;
    std::thread thread_;
};

}  // namespace dashboard::mqtt
