#include "mqtt_options.h"

#include <mosquitto.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "host_port.h"

namespace dashboard::mqtt {
namespace {

constexpr int kPlainPort = 1883;
constexpr int kTlsPort = 8883;

bool starts_with_nocase(const std::string& text, const std::string& prefix)
{
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    return true;
}

// "mqtt://HOST:PORT" or "mqtts://HOST[:PORT]" into o.tls, o.host and o.port.
std::optional<std::string> read_url(Options& o)
{
    std::string rest;
    if (starts_with_nocase(o.url, "mqtts://")) {
        o.tls = true;
        rest = o.url.substr(8);
    } else if (starts_with_nocase(o.url, "mqtt://")) {
        rest = o.url.substr(7);
    } else {
        return "give mqtt://HOST:PORT, or mqtts://HOST:PORT for TLS";
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find('@') != std::string::npos)
        return "no user or password in the URL: give --mqtt-user and --mqtt-password-file";
    if (rest.find('/') != std::string::npos) return "a broker's address has no path";
    const int default_port = o.tls ? kTlsPort : kPlainPort;
    const bool bracketed_host = rest.size() >= 2 && rest.front() == '[' && rest.back() == ']';
    const bool has_port = !bracketed_host && rest.find(':') != std::string::npos;
    if (!has_port) {
        o.host = bracketed_host ? rest.substr(1, rest.size() - 2) : rest;
        o.port = default_port;
        if (o.host.empty()) return std::string("the host is missing");
        return std::nullopt;
    }
    auto address = common::parse_host_port(rest, {.port_may_be_zero = false});
    if (auto* error = std::get_if<std::string>(&address)) return *error;
    o.host = std::get<common::HostPort>(address).host;
    o.port = std::get<common::HostPort>(address).port;
    return std::nullopt;
}

// The password: the file's first line, without its line end.
std::optional<std::string> read_password(Options& o)
{
    std::ifstream in(o.password_file, std::ios::binary);
    if (!in) return "--mqtt-password-file " + o.password_file + ": cannot be read";
    std::getline(in, o.password);
    if (!o.password.empty() && o.password.back() == '\r') o.password.pop_back();
    if (o.password.empty()) return "--mqtt-password-file " + o.password_file + ": its first line is empty";
    struct stat st {};
    if (::stat(o.password_file.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)))
        std::fprintf(stderr, "dashboard: mqtt: %s can be read by other users (chmod 600 %s)\n", o.password_file.c_str(),
                     o.password_file.c_str());
    return std::nullopt;
}

}  // namespace

std::string Options::broker() const
{
    std::string shown_host = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return (tls ? "mqtts://" : "mqtt://") + shown_host + ":" + std::to_string(port);
}

void add_options(CLI::App& app, Options& o)
{
    app.add_option("--mqtt", o.url, "bridge to an MQTT broker: mqtt://HOST:PORT, or mqtts://HOST:PORT for TLS");
    app.add_option("--mqtt-ca", o.ca_file,
                   "mqtts: the CA that signed the broker's certificate (default: the system's)");
    app.add_option("--mqtt-user", o.user, "the user name given to the broker");
    app.add_option("--mqtt-password-file", o.password_file, "a file whose first line is the broker's password");
    app.add_option("--mqtt-base", o.base, "the topic the node's state and commands are under (default: node/<id>)");
    app.add_flag("--mqtt-forget", o.forget,
                 "remove the node's Home Assistant discovery and retained state from the broker, and end");
}

std::optional<std::string> resolve(Options& o, const std::string& device, const std::string& tcp)
{
    if (!o.enabled()) {
        if (!o.ca_file.empty() || !o.user.empty() || !o.password_file.empty() || !o.base.empty() || o.forget)
            return std::string(
                "--mqtt-ca, --mqtt-user, --mqtt-password-file, --mqtt-base and --mqtt-forget need --mqtt");
        return std::nullopt;
    }
    if (auto error = read_url(o)) return "--mqtt " + o.url + ": " + *error;
    if (!o.ca_file.empty()) {
        if (!o.tls) return std::string("--mqtt-ca is for a TLS broker: give mqtts://HOST:PORT");
        if (!std::ifstream(o.ca_file)) return "--mqtt-ca " + o.ca_file + ": cannot be read";
    }
    if (!o.password_file.empty()) {
        if (o.user.empty()) return std::string("--mqtt-password-file needs --mqtt-user");
        if (auto error = read_password(o)) return error;
        if (!o.tls && o.host != "localhost" && o.host != "::1" && o.host.rfind("127.", 0) != 0)
            std::fprintf(stderr, "dashboard: mqtt: the password goes to %s unencrypted; mqtts:// would encrypt it\n",
                         o.host.c_str());
    }
    if (o.base.empty()) o.base = "node/" + node_id(device, tcp);
    if (mosquitto_pub_topic_check(o.base.c_str()) != MOSQ_ERR_SUCCESS || o.base.front() == '/' || o.base.back() == '/')
        return "--mqtt-base " + o.base + ": a topic such as node/garage, without '+', '#' or a '/' at either end";
    return std::nullopt;
}

std::string id_characters(const std::string& text, char separator)
{
    std::string out;
    bool pending = false;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '_' || c == '-') {
            if (pending && !out.empty()) out.push_back(separator);
            pending = false;
            out.push_back(static_cast<char>(c));
        } else {
            pending = true;
        }
    }
    return out;
}

std::string node_id(const std::string& device, const std::string& tcp)
{
    std::string id;
    if (!device.empty())
        id = id_characters(std::filesystem::path(device).filename().string(), '-');
    else if (!tcp.empty())
        id = "tcp-" + id_characters(tcp, '-');
    else
        id = "sim";
    return id.empty() ? "device" : id;
}

}  // namespace dashboard::mqtt
