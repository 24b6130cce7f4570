// A real MQTT broker for the tests (Debian's mosquitto on a free loopback port, plain or with TLS
// and a password), its command-line clients as the other side, and the certificates they need, made
// with openssl when the test runs.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "child_process.h"
#include "temp_dir.h"

namespace dashboard::testing {

struct ProgramRun {
    int exit_code = -1;  // -1: it did not end by itself in time
    std::string output;  // standard output and error together
};
// Runs a program to its end, with `input` (a file) as its standard input when given.
ProgramRun run_program(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                       const std::string& input = "");

// A CA, a certificate it signs for 127.0.0.1 (and its key), and a second CA that signed nothing.
struct TlsFiles {
    std::string ca, certificate, key, other_ca;
    std::string error;  // what failed, when making them did
};
TlsFiles make_tls_files(const TempDir& dir);

class Broker {
public:
    struct Login {
        std::string user, password;
    };
    // Plain and anonymous without `tls`; with it, TLS (tls.certificate and tls.key) and only `login`.
    Broker(const TempDir& dir, const TlsFiles* tls = nullptr, Login login = {});
    ~Broker();

    bool running() { return process_.running(); }
    int port() const { return port_; }
    const std::string& error() const { return error_; }
    // Kills it (SIGKILL: no goodbye to anyone, and no retained message kept), and starts it again.
    void kill();
    bool restart();
    // "mqtt://127.0.0.1:PORT" or "mqtts://..."
    std::string url() const;
    // The options that mosquitto_sub and mosquitto_pub need to reach it.
    std::vector<std::string> client_options() const;

    // The retained messages under `filter` that a new subscriber gets, by topic.
    std::map<std::string, std::string> retained(const std::string& filter);
    // Publishes `payload` (or, with `from_file`, the file's contents; with `lines`, each line of it as a
    // message of its own) to `topic`; true when mosquitto_pub succeeded.
    bool publish(const std::string& topic, const std::string& payload, bool retain = false);
    bool publish_file(const std::string& topic, const std::string& path, bool lines);

private:
    bool start();

    const TempDir& dir_;
    bool tls_;
    std::string ca_;
    Login login_;
    int port_ = 0;
    std::string config_, log_, error_;
    common::ChildProcess process_;
};

// A mosquitto_sub that runs through a whole test and logs every message ("TOPIC PAYLOAD" a line), to
// wait for one.
class Subscriber {
public:
    Subscriber(const TempDir& dir, Broker& broker, const std::string& filter, const std::string& name);
    // Waits until a message on `topic` with `payload` has come since the last such wait returned
    // (or since the start); false after `limit`.
    bool wait_for(const std::string& topic, const std::string& payload, std::chrono::milliseconds limit);
    std::string log() const;

private:
    std::string path_;
    std::size_t seen_ = 0;
    common::ChildProcess process_;
};

}  // namespace dashboard::testing
