#include "mqtt_client.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace dashboard::mqtt {
namespace {

// How long one turn of the library's loop waits for the socket: the longest a stop() waits for it.
constexpr int kLoopTimeoutMs = 100;
constexpr auto kGoodbyeWait = std::chrono::seconds(1);

// The library's global set-up (its TLS library), once per process.
void init_library()
{
    static const int once = mosquitto_lib_init();
    (void)once;
}

std::string seconds_text(std::chrono::seconds s)
{
    return std::to_string(s.count()) + " s";
}

}  // namespace

Client::Client(BrokerSettings settings, ConnectedHandler on_connected, MessageHandler on_message)
    : settings_(std::move(settings)), on_connected_(std::move(on_connected)), on_message_(std::move(on_message))
{
    init_library();
    mosq_ = mosquitto_new(nullptr, true, this);
    if (!mosq_) {
        setup_error_ = std::string("cannot make an MQTT client: ") + std::strerror(errno);
        return;
    }
    // Other threads publish while ours runs the loop: the library then leaves every write to it.
    mosquitto_threaded_set(mosq_, true);
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq_, &Client::on_connect);
    mosquitto_disconnect_callback_set(mosq_, &Client::on_disconnect);
    mosquitto_publish_callback_set(mosq_, &Client::on_publish);
    mosquitto_message_callback_set(mosq_, &Client::on_message);
    mosquitto_log_callback_set(mosq_, &Client::on_log);
    auto check = [this](int rc, const std::string& what) {
        if (rc != MOSQ_ERR_SUCCESS && setup_error_.empty()) setup_error_ = what + ": " + mosquitto_strerror(rc);
    };
    if (!settings_.user.empty())
        check(mosquitto_username_pw_set(mosq_, settings_.user.c_str(),
                                        settings_.password.empty() ? nullptr : settings_.password.c_str()),
              "--mqtt-user");
    if (!settings_.will_topic.empty())
        check(mosquitto_will_set(mosq_, settings_.will_topic.c_str(), static_cast<int>(settings_.will_payload.size()),
                                 settings_.will_payload.data(), 1, true),
              "the last will");
    if (settings_.tls) {
        if (!settings_.ca_file.empty())
            check(mosquitto_tls_set(mosq_, settings_.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr),
                  "--mqtt-ca " + settings_.ca_file);
        else
            check(mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1), "the system's certificates");
    }
}

Client::~Client()
{
    stop();
    if (mosq_) mosquitto_destroy(mosq_);
}

Client::FirstOutcome Client::start(std::chrono::milliseconds wait)
{
    if (!setup_error_.empty()) return {FirstOutcome::Kind::Refused, setup_error_};
    thread_ = std::thread(&Client::run, this);
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, wait, [&] { return first_.has_value(); }))
        first_ =
            FirstOutcome{FirstOutcome::Kind::Unreachable, "no answer within " + std::to_string(wait.count()) + " ms"};
    return *first_;
}

void Client::report_first(FirstOutcome outcome)
{
    std::lock_guard lock(mutex_);
    if (!first_) first_ = std::move(outcome);
    cv_.notify_all();
}

void Client::run()
{
    auto retry = std::chrono::seconds(kFirstRetry);
    std::string last_said;
    for (bool first = true; !stop_; first = false) {
        connack_ = -1;
        last_tls_error_.clear();
        std::string why = connect_and_serve(first);
        if (stop_) break;
        const bool was_connected = connack_ == 0;
        if (first && !was_connected) {
            const bool refused = connack_ > 0 || !last_tls_error_.empty();
            report_first({refused ? FirstOutcome::Kind::Refused : FirstOutcome::Kind::Unreachable, why});
            std::lock_guard lock(mutex_);
            if (first_->kind == FirstOutcome::Kind::Refused) return;  // the program ends
            last_said = why;
        }
        if (was_connected) retry = kFirstRetry;
        if (was_connected || why != last_said) {
            std::fprintf(stderr, "dashboard: mqtt: %s %s: %s; trying again in %s, then less often up to every %s\n",
                         was_connected ? "lost" : "cannot connect to", settings_.name.c_str(), why.c_str(),
                         seconds_text(retry).c_str(), seconds_text(kLongestRetry).c_str());
            last_said = why;
        }
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, retry, [&] { return stop_.load(); });
        if (!was_connected) retry = std::min(retry * 2, std::chrono::seconds(kLongestRetry));
    }
    if (connected_) {
        // A goodbye: the broker drops the will. Its packet goes out on the next turns of the loop.
        mosquitto_disconnect(mosq_);
        auto until = std::chrono::steady_clock::now() + kGoodbyeWait;
        while (mosquitto_loop(mosq_, kLoopTimeoutMs, 1) == MOSQ_ERR_SUCCESS &&
               std::chrono::steady_clock::now() < until) {}
        connected_ = false;
    }
}

std::string Client::connect_and_serve(bool first)
{
    int rc = first ? mosquitto_connect_async(mosq_, settings_.host.c_str(), settings_.port, kKeepAliveSeconds)
                   : mosquitto_reconnect_async(mosq_);
    if (rc != MOSQ_ERR_SUCCESS) return failure_text(rc, errno);
    const auto began = std::chrono::steady_clock::now();
    while (!stop_) {
        rc = mosquitto_loop(mosq_, kLoopTimeoutMs, 1);
        const int saved_errno = errno;
        if (rc != MOSQ_ERR_SUCCESS) {
            connected_ = false;
            return failure_text(rc, saved_errno);
        }
        if (connack_ < 0 && std::chrono::steady_clock::now() - began > kConnectTimeout) {
            mosquitto_disconnect(mosq_);
            mosquitto_loop(mosq_, 0, 1);
            return "no answer within " + seconds_text(kConnectTimeout);
        }
    }
    return {};
}

std::string Client::failure_text(int rc, int saved_errno)
{
    if (!last_tls_error_.empty())
        return "TLS failed: " + last_tls_error_ +
               (settings_.ca_file.empty()
                    ? " (the system's CAs do not vouch for the broker: give its CA with --mqtt-ca)"
                    : " (is the broker's certificate signed by --mqtt-ca, for " + settings_.host + "?)");
    const char* closed_early = settings_.tls
                                   ? "the connection was closed before the broker answered"
                                   : "the connection was closed before the broker answered (a TLS port? give mqtts://)";
    switch (rc) {
        case MOSQ_ERR_CONN_REFUSED:
            return std::string("the broker refused the connection: ") + mosquitto_connack_string(connack_) +
                   " (check --mqtt-user and --mqtt-password-file)";
        case MOSQ_ERR_ERRNO:
            if (saved_errno == EPROTO) return "TLS failed";
            if (saved_errno == 0) return connack_ < 0 ? closed_early : "the connection was closed";
            return std::strerror(saved_errno);
        case MOSQ_ERR_TLS:
            return "TLS failed";
        case MOSQ_ERR_CONN_LOST:
            return connack_ < 0 ? closed_early : "the connection was lost";
        default:
            return mosquitto_strerror(rc);
    }
}

bool Client::publish(const std::string& topic, std::string_view payload, bool retain, int qos)
{
    if (!connected_) return false;
    int mid = 0;
    if (mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos, retain) !=
        MOSQ_ERR_SUCCESS)
        return false;
    std::lock_guard lock(mutex_);
    if (!early_confirmations_.erase(mid)) unconfirmed_.insert(mid);
    return true;
}

bool Client::subscribe(const std::string& topic, int qos)
{
    return mosquitto_subscribe(mosq_, nullptr, topic.c_str(), qos) == MOSQ_ERR_SUCCESS;
}

bool Client::flush(std::chrono::milliseconds wait)
{
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, wait, [&] { return unconfirmed_.empty(); });
}

void Client::stop()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Client::on_connect(mosquitto*, void* self, int rc)
{
    auto* c = static_cast<Client*>(self);
    c->connack_ = rc;
    if (rc != 0) return;
    bool announce;  // the first connection is announced by the one who started us
    {
        std::lock_guard lock(c->mutex_);
        announce = c->first_.has_value();
    }
    if (announce)
        std::fprintf(stderr, "dashboard: mqtt: connected %sto %s\n", c->connections_ > 0 ? "again " : "",
                     c->settings_.name.c_str());
    c->connected_ = true;
    ++c->connections_;
    c->report_first({FirstOutcome::Kind::Connected, {}});
    if (c->on_connected_) c->on_connected_();
}

void Client::on_disconnect(mosquitto*, void* self, int)
{
    auto* c = static_cast<Client*>(self);
    c->connected_ = false;
    std::lock_guard lock(c->mutex_);
    // What was not confirmed is gone with the connection; the caller publishes it again.
    c->unconfirmed_.clear();
    c->early_confirmations_.clear();
    c->cv_.notify_all();
}

void Client::on_publish(mosquitto*, void* self, int mid)
{
    auto* c = static_cast<Client*>(self);
    std::lock_guard lock(c->mutex_);
    if (!c->unconfirmed_.erase(mid)) c->early_confirmations_.insert(mid);
    c->cv_.notify_all();
}

void Client::on_message(mosquitto*, void* self, const mosquitto_message* m)
{
    auto* c = static_cast<Client*>(self);
    if (!c->on_message_ || !m->topic) return;
    std::string_view payload(static_cast<const char*>(m->payload),
                             m->payload ? static_cast<std::size_t>(m->payloadlen) : 0);
    c->on_message_(m->topic, payload, m->retain);
}

// The library says why TLS failed only in its log: "OpenSSL Error[0]: error:0A000086:SSL
// routines::certificate verify failed". The reason is the last part; the first error is the cause.
void Client::on_log(mosquitto*, void* self, int level, const char* text)
{
    auto* c = static_cast<Client*>(self);
    if (!(level & MOSQ_LOG_ERR) || std::strncmp(text, "OpenSSL Error", 13) != 0 || !c->last_tls_error_.empty()) return;
    std::string line = text;
    auto colon = line.rfind(':');
    c->last_tls_error_ = colon == std::string::npos ? line : line.substr(colon + 1);
    if (c->last_tls_error_.empty()) c->last_tls_error_ = line;
}

}  // namespace dashboard::mqtt
