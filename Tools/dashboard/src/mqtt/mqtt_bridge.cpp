#include "mqtt_bridge.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "mqtt_topics.h"
#include "web_server.h"

namespace dashboard::mqtt {
namespace {

// The first connection is waited for at start, so that bad credentials end the program there.
constexpr auto kFirstWait = Client::kConnectTimeout + std::chrono::seconds(2);
constexpr auto kGoodbyeFlush = std::chrono::seconds(2);
constexpr auto kForgetFlush = std::chrono::seconds(5);

BrokerSettings settings_for(const Options& o, bool with_will)
{
    BrokerSettings s;
    s.tls = o.tls;
    s.host = o.host;
    s.port = o.port;
    s.ca_file = o.ca_file;
    s.user = o.user;
    s.password = o.password;
    s.name = o.broker();
    if (with_will) {
        s.will_topic = availability_topic(o.base);
        s.will_payload = kOffline;
    }
    return s;
}

}  // namespace

Bridge::Bridge(const Options& options, Connection& connection)
    : options_(options),
      connection_(connection),
      client_(
          settings_for(options, true), [this] { on_connected(); },
          [this](const std::string& topic, std::string_view payload, bool retained) {
              on_message(topic, payload, retained);
          })
{}

Bridge::~Bridge()
{
    stop();
}

std::optional<std::string> Bridge::start()
{
    auto first = client_.start(kFirstWait);
    const std::string broker = options_.broker();
    switch (first.kind) {
        case Client::FirstOutcome::Kind::Refused:
            return broker + ": " + first.message;
        case Client::FirstOutcome::Kind::Unreachable:
            std::fprintf(stderr,
                         "dashboard: mqtt: cannot connect to %s: %s; trying again in %lld s, then less often up to "
                         "every %lld s (the page works meanwhile)\n",
                         broker.c_str(), first.message.c_str(), static_cast<long long>(Client::kFirstRetry.count()),
                         static_cast<long long>(Client::kLongestRetry.count()));
            break;
        case Client::FirstOutcome::Kind::Connected:
            std::fprintf(stderr, "dashboard: mqtt: connected to %s\n", broker.c_str());
            break;
    }
    std::fprintf(stderr, "dashboard: mqtt: the node's state and commands under %s/, its discovery under %s/\n",
                 options_.base.c_str(), kDiscoveryPrefix);
    commands_ = std::thread(&Bridge::send_commands, this);
    state_ = std::thread(&Bridge::follow_state, this);
    return std::nullopt;
}

void Bridge::stop()
{
    {
        std::lock_guard lock(mutex_);
        if (stop_) return;
        stop_ = true;
    }
    cv_.notify_all();
    if (commands_.joinable()) commands_.join();
    if (state_.joinable()) state_.join();
    if (client_.publish(availability_topic(options_.base), kOffline, true, 1)) client_.flush(kGoodbyeFlush);
    client_.stop();
    for (const auto& line : refusals_.unreported()) std::fprintf(stderr, "dashboard: mqtt: %s\n", line.c_str());
}

// On the network thread, after every connection: the commands' topics, and the discovery (retained,
// so that Home Assistant finds the node whenever it starts).
void Bridge::on_connected()
{
    client_.subscribe(led_set_topic(options_.base), 1);
    client_.subscribe(pwm_set_topic(options_.base), 1);
    client_.subscribe(kHomeAssistantStatus, 0);
    for (const auto& m : discovery_messages(options_.base)) client_.publish(m.topic, m.payload, true, 1);
}

// On the network thread: only reads and checks, so a flood of messages costs no history writes.
void Bridge::on_message(const std::string& topic, std::string_view payload, bool retained)
{
    if (topic == kHomeAssistantStatus) {
        // A retained "online" is the last start's, answered by the discovery sent on connecting.
        if (payload == kOnline && !retained)
            for (const auto& m : discovery_messages(options_.base)) client_.publish(m.topic, m.payload, true, 1);
        return;
    }
    CommandKind kind;
    if (topic == led_set_topic(options_.base))
        kind = CommandKind::Led;
    else if (topic == pwm_set_topic(options_.base))
        kind = CommandKind::Pwm;
    else
        return;
    // A retained command comes again with every new subscription, long after it was given.
    auto verdict = retained ? std::variant<Accepted, Refusal>(Refusal::Retained) : read_command(kind, payload);
    if (auto* refusal = std::get_if<Refusal>(&verdict)) {
        if (auto line = refusals_.note(topic, *refusal, payload, RefusalLog::Clock::now()))
            std::fprintf(stderr, "dashboard: mqtt: %s\n", line->c_str());
        return;
    }
    auto& accepted = std::get<Accepted>(verdict);
    std::lock_guard lock(mutex_);
    auto same = std::find_if(waiting_.begin(), waiting_.end(), [&](const Accepted& a) { return a.kind == kind; });
    if (same != waiting_.end())
        *same = std::move(accepted);
    else
        waiting_.push_back(std::move(accepted));
    cv_.notify_all();
}

// The commands handed on, through the page's command path. One that a newer one of its kind
// replaced while the history was being written is neither stored nor sent: the node would have
// taken only the newest anyway (one frame per report cycle).
void Bridge::send_commands()
{
    std::string last_failure;
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [&] { return stop_ || !waiting_.empty(); });
        if (stop_) return;
        auto batch = std::exchange(waiting_, {});
        lock.unlock();
        for (const auto& command : batch) {
            auto refused = submit_command(connection_, command.kind, command.frame, kSource);
            if (refused && *refused != last_failure)
                std::fprintf(stderr, "dashboard: mqtt: %s %s\n", command.frame.c_str(), refused->c_str());
            last_failure = refused.value_or("");
        }
        lock.lock();
    }
}

// The state, as the page has it, to retained messages: each published when it changes, and all of
// them again after a new connection (a restarted broker may have lost them). Availability goes last,
// so a client that sees "online" finds the state already there.
void Bridge::follow_state()
{
    NodePresence presence;
    std::uint64_t version = 0, reports_seen = 0, connections_seen = 0;
    std::map<std::string, std::string> published;
    const std::string availability = availability_topic(options_.base);
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stop_) return;
        }
        version = connection_.wait_change(version, kStatePoll);
        const auto snapshot = connection_.snapshot(false);
        const double now = snapshot.value("now", 0.0);
        const auto reports = snapshot.value("reports", std::uint64_t{0});
        const auto& age = snapshot["last_report_age"];
        if (reports != reports_seen && age.is_number()) presence.on_report(now - age.get<double>());
        reports_seen = reports;
        const bool present = snapshot.value("connected", false) && presence.present(now);
        auto wanted = state_messages(options_.base, snapshot, present);
        if (client_.connections() != connections_seen) {
            connections_seen = client_.connections();
            published.clear();
        }
        auto publish = [&](const std::string& topic, const std::string& payload) {
            auto at = published.find(topic);
            if (at != published.end() && at->second == payload) return;
            if (client_.publish(topic, payload, true)) published[topic] = payload;
        };
        for (const auto& [topic, payload] : wanted)
            if (topic != availability) publish(topic, payload);
        publish(availability, wanted[availability]);
    }
}

int forget(const Options& options)
{
    Client client(settings_for(options, false), nullptr, nullptr);
    auto first = client.start(kFirstWait);
    if (first.kind != Client::FirstOutcome::Kind::Connected) {
        std::fprintf(stderr, "dashboard: mqtt: %s: %s\n", options.broker().c_str(), first.message.c_str());
        return first.kind == Client::FirstOutcome::Kind::Refused ? 2 : 1;
    }
    bool all = true;
    for (const auto& topic : retained_topics(options.base)) all = client.publish(topic, "", true, 1) && all;
    all = client.flush(kForgetFlush) && all;
    client.stop();
    if (!all) {
        std::fprintf(stderr, "dashboard: mqtt: %s did not confirm every removal; run again\n",
                     options.broker().c_str());
        return 1;
    }
    std::fprintf(stderr, "dashboard: mqtt: removed the node's discovery and retained state under %s/ from %s\n",
                 options.base.c_str(), options.broker().c_str());
    return 0;
}

}  // namespace dashboard::mqtt
