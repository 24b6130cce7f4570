#include "mqtt_broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "unique_fd.h"

namespace dashboard::testing {

using namespace std::chrono_literals;

namespace {

int free_loopback_port()
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &size) != 0)
        return 0;
    return ntohs(a.sin_port);
}

bool accepts(int port)
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

int counter = 0;

}  // namespace

ProgramRun run_program(const std::vector<std::string>& argv, std::chrono::milliseconds limit, const std::string& input)
{
    char pattern[] = "/tmp/dashboard-test-run-XXXXXX";
    int fd = ::mkstemp(pattern);
    if (fd >= 0) ::close(fd);
    const std::string out_path = pattern;
    common::Launch launch{.argv = argv,
                          .input = input.empty() ? common::Redirect::null() : common::Redirect::file(input, O_RDONLY),
                          .output = common::Redirect::file(out_path, O_WRONLY | O_TRUNC),
                          .errors = common::Redirect::file(out_path, O_WRONLY | O_APPEND)};
    common::ChildProcess child(launch);
    ProgramRun r;
    if (!child.started()) {
        r.output = argv[0] + ": " + child.error();
    } else if (auto status = child.wait_for(limit)) {
        r.exit_code = common::exit_code(*status);
    } else {
        child.stop(SIGKILL, 1s);
    }
    r.output += read_file(out_path);
    ::unlink(out_path.c_str());
    return r;
}

TlsFiles make_tls_files(const TempDir& dir)
{
    TlsFiles f{dir.file("ca.pem"), dir.file("broker.pem"), dir.file("broker.key"), dir.file("other-ca.pem"), {}};
    std::ofstream(dir.file("san.cnf")) << "subjectAltName=IP:127.0.0.1\n";
    // Elliptic-curve keys: made in milliseconds, where RSA's take a good part of a second each.
    const std::vector<std::string> key = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    auto openssl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), DASHBOARD_TEST_OPENSSL);
        ProgramRun r = run_program(args, 20s);
        if (r.exit_code != 0 && f.error.empty()) f.error = "openssl failed: " + r.output;
    };
    auto ca = [&](const std::string& name, const std::string& pem) {
        std::vector<std::string> args = {
            "req", "-x509", "-days", "2", "-subj", "/CN=" + name, "-keyout", dir.file(name + ".key"), "-out", pem};
        args.insert(args.begin() + 2, key.begin(), key.end());
        openssl(args);
    };
    ca("test-ca", f.ca);
    ca("other-ca", f.other_ca);
    std::vector<std::string> request = {"req", "-subj", "/CN=127.0.0.1",       "-keyout",
                                        f.key, "-out",  dir.file("broker.csr")};
    request.insert(request.begin() + 1, key.begin(), key.end());
    request.insert(request.begin() + 1, "-new");
    openssl(request);
    openssl({"x509", "-req", "-days", "2", "-in", dir.file("broker.csr"), "-CA", f.ca, "-CAkey",
             dir.file("test-ca.key"), "-CAcreateserial", "-extfile", dir.file("san.cnf"), "-out", f.certificate});
    return f;
}

Broker::Broker(const TempDir& dir, const TlsFiles* tls, Login login)
    : dir_(dir), tls_(tls != nullptr), ca_(tls ? tls->ca : ""), login_(std::move(login))
{
    const std::string name = "broker" + std::to_string(++counter);
    config_ = dir.file(name + ".conf");
    log_ = dir.file(name + ".log");
    port_ = free_loopback_port();
    std::ofstream conf(config_);
    conf << "listener " << port_ << " 127.0.0.1\n";
    // Run by root, mosquitto would otherwise become the user "mosquitto", who cannot read our files.
    if (::geteuid() == 0) conf << "user root\n";
    conf << "log_dest stderr\n";
    if (tls) {
        std::string passwords = dir.file(name + ".passwords");
        std::ofstream(passwords) << "";
        ProgramRun made =
            run_program({DASHBOARD_TEST_MOSQUITTO_PASSWD, "-b", passwords, login_.user, login_.password}, 10s);
        if (made.exit_code != 0) error_ = "mosquitto_passwd failed: " + made.output;
        conf << "allow_anonymous false\npassword_file " << passwords << "\ncertfile " << tls->certificate
             << "\nkeyfile " << tls->key << "\n";
    } else {
        conf << "allow_anonymous true\n";
    }
    conf.close();
    if (error_.empty()) start();
}

Broker::~Broker()
{
    process_.stop(SIGTERM, 2s);
}

bool Broker::start()
{
    process_ =
        common::ChildProcess(common::Launch{.argv = {DASHBOARD_TEST_MOSQUITTO, "-c", config_},
                                            .input = common::Redirect::null(),
                                            .output = common::Redirect::file(log_, O_WRONLY | O_CREAT | O_APPEND),
                                            .errors = common::Redirect::file(log_, O_WRONLY | O_CREAT | O_APPEND)});
    if (!process_.started()) {
        error_ = "mosquitto: " + process_.error() + " (scripts/install-deps.sh installs it)";
        return false;
    }
    for (auto until = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < until;) {
        if (accepts(port_)) return true;
        if (!process_.running()) break;
        std::this_thread::sleep_for(20ms);
    }
    error_ = "mosquitto did not listen on " + std::to_string(port_) + ": " + read_file(log_);
    return false;
}

void Broker::kill()
{
    process_.stop(SIGKILL, 1s);
}

bool Broker::restart()
{
    return start();
}

std::string Broker::url() const
{
    return std::string(tls_ ? "mqtts" : "mqtt") + "://127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> Broker::client_options() const
{
    std::vector<std::string> o = {"-h", "127.0.0.1", "-p", std::to_string(port_)};
    if (tls_) o.insert(o.end(), {"--cafile", ca_});
    if (!login_.user.empty()) o.insert(o.end(), {"-u", login_.user, "-P", login_.password});
    return o;
}

std::map<std::string, std::string> Broker::retained(const std::string& filter)
{
    // Retained messages come at once on subscribing; a second without one means there are no more.
    std::vector<std::string> argv = {
        DASHBOARD_TEST_MOSQUITTO_SUB, "-t", filter, "--retained-only", "-W", "1", "-F", "%t %p"};
    auto o = client_options();
    argv.insert(argv.begin() + 1, o.begin(), o.end());
    ProgramRun r = run_program(argv, 10s);
    std::map<std::string, std::string> out;
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);) {
        if (line == "Timed out") continue;
        auto space = line.find(' ');
        out[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
    }
    return out;
}

bool Broker::publish(const std::string& topic, const std::string& payload, bool retain)
{
    std::vector<std::string> argv = {DASHBOARD_TEST_MOSQUITTO_PUB, "-q", "1", "-t", topic};
    if (retain) argv.push_back("-r");
    if (payload.empty())
        argv.push_back("-n");
    else
        argv.insert(argv.end(), {"-m", payload});
    auto o = client_options();
    argv.insert(argv.begin() + 1, o.begin(), o.end());
    return run_program(argv, 10s).exit_code == 0;
}

bool Broker::publish_file(const std::string& topic, const std::string& path, bool lines)
{
    std::vector<std::string> argv = {DASHBOARD_TEST_MOSQUITTO_PUB, "-q", "1", "-t", topic};
    if (lines)
        argv.push_back("-l");
    else
        argv.insert(argv.end(), {"-f", path});
    auto o = client_options();
    argv.insert(argv.begin() + 1, o.begin(), o.end());
    return run_program(argv, 30s, lines ? path : "").exit_code == 0;
}

Subscriber::Subscriber(const TempDir& dir, Broker& broker, const std::string& filter, const std::string& name)
    : path_(dir.file(name + ".messages"))
{
    std::vector<std::string> argv = {DASHBOARD_TEST_MOSQUITTO_SUB, "-t", filter, "-F", "%t %p"};
    auto o = broker.client_options();
    argv.insert(argv.begin() + 1, o.begin(), o.end());
    process_ =
        common::ChildProcess(common::Launch{.argv = argv,
                                            .input = common::Redirect::null(),
                                            .output = common::Redirect::file(path_, O_WRONLY | O_CREAT | O_APPEND),
                                            .errors = common::Redirect::file(path_, O_WRONLY | O_CREAT | O_APPEND)});
}

bool Subscriber::wait_for(const std::string& topic, const std::string& payload, std::chrono::milliseconds limit)
{
    const std::string line = topic + " " + payload + "\n";
    for (auto until = std::chrono::steady_clock::now() + limit;;) {
        // Each message a line, the first one too.
        std::string text = "\n" + read_file(path_);
        auto at = text.find("\n" + line, seen_);
        if (at != std::string::npos) {
            seen_ = at + line.size();  // the found line's end: where the next one starts
            return true;
        }
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(50ms);
    }
}

// What the subscriber saw, each message cut at 200 bytes: a failing test's report stays readable when a
// payload was a megabyte.
std::string Subscriber::log() const
{
    std::istringstream lines(read_file(path_));
    std::string out;
    for (std::string line; std::getline(lines, line);) {
        if (line.size() > 200) line = line.substr(0, 200) + "... (" + std::to_string(line.size()) + " bytes)";
        out += line + '\n';
    }
    return out;
}

}  // namespace dashboard::testing
