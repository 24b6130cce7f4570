// The dashboard's command line.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "host_port.h"
#include "mqtt_options.h"

namespace dashboard {

struct Options {
    std::string device;                     // a serial device, or empty
    std::string tcp;                        // HOST:PORT of a nodesim, or empty
    common::HostPort tcp_address;           // the same, read
    std::string nodesim;                    // the nodesim to start when given neither
    std::vector<std::string> nodesim_args;  // passed on to that nodesim
    std::string listen = "127.0.0.1:8080";
    common::HostPort listen_address;  // the same, read
    std::string web_dir;
    std::string uplot_dir;
    std::string db;         // the history file, or ":memory:" for none
    double keep_days = 30;  // events older than this are deleted
    mqtt::Options mqtt;     // the bridge to an MQTT broker, when given --mqtt
};

// The options, or the exit status to end with at once (0 after --help; 2 after a bad option, with
// the message printed).
std::variant<Options, int> parse_options(int argc, char** argv);

}  // namespace dashboard
