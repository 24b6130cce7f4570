// The dashboard as the node's bridge to an MQTT broker: its command-line options, checked and read.
#pragma once

#include <optional>
#include <string>

namespace CLI {
class App;
}

namespace dashboard::mqtt {

struct Options {
    std::string url;            // --mqtt: mqtt://HOST:PORT or mqtts://HOST:PORT; empty: no bridge
    std::string ca_file;        // --mqtt-ca: the CA that signed the broker's certificate
    std::string user;           // --mqtt-user
    std::string password_file;  // --mqtt-password-file: the password on its first line
    std::string base;           // --mqtt-base; node/<id> of the link when not given
    bool forget = false;        // --mqtt-forget: remove the node from the broker and end

    // Read from the above by resolve().
    bool tls = false;
    std::string host;
    int port = 0;
    std::string password;

    bool enabled() const { return !url.empty(); }
    // "mqtts://127.0.0.1:8883", as the console names the broker.
    std::string broker() const;
};

void add_options(CLI::App& app, Options& o);

// Checks the options and reads what they name (the URL, the password file, the CA's presence), and
// sets the base topic from the link when none was given. What is wrong, or nothing.
std::optional<std::string> resolve(Options& o, const std::string& device, const std::string& tcp);

// The node's id in the default base topic, node/<id>: the link's name, so that one node keeps its
// topics and its Home Assistant device across restarts: "sim" for the dashboard's own nodesim, the
// serial device's file name ("ttyUSB0"; an adapter's /dev/serial/by-id/ name carries its serial
// number, and stays the same whichever USB port it is plugged into), "tcp-HOST-PORT" for a
// nodesim's TCP port. Letters, digits, '_' and '-' only (Home Assistant's ids take nothing else).
std::string node_id(const std::string& device, const std::string& tcp);

// A topic level or id made of letters, digits, '_' and '-': every other run of characters becomes
// one `separator`, none at either end.
std::string id_characters(const std::string& text, char separator);

}  // namespace dashboard::mqtt
