// The dashboard as the node's bridge to MQTT: the node's state out as retained messages (published
// when it changes, and all of it again after every new connection to the broker), Home Assistant's
// discovery, and commands in through the page's own command path (the same frames, the same pacing,
// a `command` row in the history with source "mqtt" before the command is queued).
//
// Three threads, none of which the page's commands wait for: the client's network thread (which
// reads and checks commands, and only hands the good ones on), one that sends what was handed on
// through the command path (where a history row is written and synced), and one that follows the
// state.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "connection.h"
#include "mqtt_client.h"
#include "mqtt_commands.h"
#include "mqtt_options.h"
#include "node_presence.h"

namespace dashboard::mqtt {

class Bridge {
public:
    // How often the state is looked at while it does not change: the node's silence is noticed
    // within this of its second missed report.
    static constexpr auto kStatePoll = std::chrono::milliseconds(250);
    // The history row's source for a command from MQTT.
    static constexpr const char* kSource = "mqtt";

    Bridge(const Options& options, Connection& connection);
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Connects to the broker and starts. Nothing when the bridge runs (or keeps trying to reach
    // the broker); the message when the broker refused us or the TLS set-up failed.
    std::optional<std::string> start();
    // Publishes offline, says goodbye and stops (the will is not needed then).
    void stop();

private:
    void on_connected();
    void on_message(const std::string& topic, std::string_view payload, bool retained);
    void follow_state();
    void send_commands();

    Options options_;
    Connection& connection_;
    Client client_;
    RefusalLog refusals_;  // the network thread's

    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::vector<Accepted> waiting_;  // the newest of each kind, oldest kind first
    std::thread commands_, state_;
};

// --mqtt-forget: empties every retained topic of the node (its discovery, so Home Assistant drops
// the device, and its state). The exit status: 0 done, 1 the broker could not be reached or did not
// take it all, 2 the broker refused us.
int forget(const Options& options);

}  // namespace dashboard::mqtt
