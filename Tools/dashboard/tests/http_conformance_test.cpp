// The server on the wire, as a browser, curl, ab or a hostile client speaks to it: messages HTTP/1.1
// requires a server to refuse (each of which a lenient parser reads as something else), the answers
// it requires, and the bounds on how long a request may take to arrive.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "server_bench.h"
#include "test_http.h"

using namespace dashboard;
using namespace dashboard::testing;
using namespace std::chrono_literals;

namespace {

// `text` with every "HOST" replaced by this server's own Host value.
std::string with_host(std::string text, int port)
{
    const std::string host = "127.0.0.1:" + std::to_string(port);
    for (auto at = text.find("HOST"); at != std::string::npos; at = text.find("HOST", at + host.size()))
        text.replace(at, 4, host);
    return text;
}

int status_of(const std::string& text)
{
    return text.rfind("HTTP/1.", 0) == 0 && text.size() >= 12 ? std::stoi(text.substr(9, 3)) : -1;
}

}  // namespace

TEST(HttpConformance, AmbiguousOrMalformedRequestsAreRefused)
{
    ServerBench b;
    struct Case {
        const char* what;
        std::string request;
        int status;
    };
    const std::string json = "Content-Type: application/json\r\nConnection: close\r\n";
    const std::vector<Case> cases{
        // The first length frames a command and the rest of the body would be read as a request.
        {"two Content-Lengths",
         "POST /led HTTP/1.1\r\nHost: HOST\r\n" + json +
             "Content-Length: 11\r\nContent-Length: 60\r\n\r\n{\"on\":true}GET /state HTTP/1.1\r\nHost: HOST\r\n\r\n",
         400},
        // A continuation line is part of the header above it, never a header of its own.
        {"obs-fold", "GET /state HTTP/1.1\r\nX-Note: a\r\n Host: HOST\r\nConnection: close\r\n\r\n", 400},
        {"two Hosts", "GET /state HTTP/1.1\r\nHost: HOST\r\nHost: HOST\r\nConnection: close\r\n\r\n", 400},
        {"space before the colon", "GET /state HTTP/1.1\r\nHost : HOST\r\nConnection: close\r\n\r\n", 400},
        {"control byte in a name", "GET /state HTTP/1.1\r\nHost: HOST\r\nX-\x01Note: a\r\nConnection: close\r\n\r\n",
         400},
        {"HTTP/1.9", "GET /state HTTP/1.9\r\nHost: HOST\r\nConnection: close\r\n\r\n", 505},
        // An expectation the server cannot meet: 417, and the command is not taken.
        {"Expect other than 100-continue",
         "POST /led HTTP/1.1\r\nHost: HOST\r\n" + json + "Expect: 200-ok\r\nContent-Length: 11\r\n\r\n{\"on\":true}",
         417},
        {"Expect with more than 100-continue",
         "POST /led HTTP/1.1\r\nHost: HOST\r\n" + json +
             "Expect: 100-continue-later\r\nContent-Length: 11\r\n\r\n{\"on\":true}",
         417},
        // The head limit holds however the bytes arrive: here in one write.
        {"70 kB request line",
         "GET /state?" + std::string(70000, 'x') + " HTTP/1.1\r\nHost: HOST\r\nConnection: close\r\n\r\n", 431},
    };
    for (const auto& c : cases) {
        auto reply = round_trip(b.port, with_host(c.request, b.port));
        EXPECT_EQ(reply.status, c.status) << c.what;
    }
    EXPECT_TRUE(nlohmann::json::parse(get(b.port, "/state").body)["led_command"].empty());
}

TEST(HttpConformance, WhatHttpAsksOfAServerIsAnswered)
{
    ServerBench b;
    // An empty line before a request is ignored.
    EXPECT_EQ(round_trip(b.port, "\r\n" + request_text("GET", "/state", b.port)).status, 200);

    // A method the path does not take: 405, saying which it takes.
    auto wrong = round_trip(b.port, request_text("POST", "/state", b.port, "", "{}"));
    EXPECT_EQ(wrong.status, 405);
    EXPECT_NE(lower_case(wrong.headers).find("\r\nallow: get"), std::string::npos) << wrong.headers;

    // Expect: 100-continue: the client waits for the go-ahead before sending its body.
    {
        UniqueFd fd = connect_loopback(b.port);
        std::string head = request_text("POST", "/led", b.port, "Expect: 100-continue\r\n", R"({"on":true})");
        head.resize(head.find("\r\n\r\n") + 4);
        ASSERT_TRUE(send_all(fd.get(), head));
        EXPECT_EQ(status_of(read_until(fd.get(), "\r\n\r\n", 2s)), 100);
        ASSERT_TRUE(send_all(fd.get(), R"({"on":true})"));
        EXPECT_EQ(status_of(read_until(fd.get(), "\r\n\r\n", 2s)), 200);
    }

    // HTTP/1.0 with keep-alive (ab -k): the answer says it is kept, and the next request is served.
    {
        UniqueFd fd = connect_loopback(b.port);
        const std::string request =
            with_host("GET /state HTTP/1.0\r\nHost: HOST\r\nConnection: keep-alive\r\n\r\n", b.port);
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(send_all(fd.get(), request));
            std::string text = read_until(fd.get(), "\r\n\r\n", 2s);
            std::string head = lower_case(text.substr(0, text.find("\r\n\r\n") + 2));
            EXPECT_EQ(status_of(text), 200) << "request " << i;
            EXPECT_NE(head.find("\r\nconnection: keep-alive\r\n"), std::string::npos) << head;
            auto length_at = head.find("\r\ncontent-length: ");
            ASSERT_NE(length_at, std::string::npos) << head;
            std::size_t whole = head.size() + 2 + std::stoul(head.substr(length_at + 18));
            while (text.size() < whole) {
                std::string more = read_until(fd.get(), "", 2s);
                if (more.empty()) break;
                text += more;
            }
            EXPECT_EQ(text.size(), whole) << "request " << i;
        }
    }

    // A request sent behind an event stream on its connection is never answered there: the server
    // says so instead of dropping it in silence and leaving the connection open.
    {
        UniqueFd fd = connect_loopback(b.port);
        std::string both =
            with_host("GET /events HTTP/1.1\r\nHost: HOST\r\n\r\n", b.port) + request_text("GET", "/state", b.port);
        ASSERT_TRUE(send_all(fd.get(), both));
        EXPECT_TRUE(closed_within(fd.get(), 5s)) << "the connection still open 5 s later";
    }
}

// A request that never completes, sent whole but unfinished or a byte at a time, gets 408 within
// the server's bound for a head (or a body) and its connection is closed.
TEST(HttpDeadlines, IncompleteOrTrickledRequestsGet408AndAreClosed)
{
    ServerBench b;
    const std::string head_start = with_host("GET /state HTTP/1.1\r\nHost: HOST\r\n", b.port);
    struct Client {
        const char* what;
        UniqueFd fd;
        std::string text;
        bool closed = false;
    };
    std::vector<Client> clients;
    clients.push_back({"unfinished head", connect_loopback(b.port)});
    clients.push_back({"trickled head", connect_loopback(b.port)});
    clients.push_back({"unfinished body", connect_loopback(b.port)});
    send_all(clients[0].fd.get(), head_start);
    send_all(clients[1].fd.get(), head_start);
    std::string post = request_text("POST", "/led", b.port, "", R"({"on":true})");
    send_all(clients[2].fd.get(), post.substr(0, post.size() - 4));

    // The trickler sends a byte of one more header every second, for longer than the bound.
    auto deadline = std::chrono::steady_clock::now() + 25s;
    while (std::chrono::steady_clock::now() < deadline &&
           !std::all_of(clients.begin(), clients.end(), [](const Client& c) { return c.closed; })) {
        if (!clients[1].closed) send_all(clients[1].fd.get(), "X");
        for (auto& c : clients)
            if (!c.closed) c.text += read_until(c.fd.get(), "", 300ms, &c.closed);
    }
    for (auto& c : clients) {
        EXPECT_EQ(status_of(c.text), 408) << c.what << ": " << c.text.substr(0, 80);
        EXPECT_TRUE(c.closed) << c.what;
    }
}

namespace {

// Everything the server sends on one connection to `text` until it closes (or `wait` passes);
// `shut_down_sending` half-closes our side once the text is out, as `nc -N` does.
struct Conversation {
    std::vector<int> statuses;  // of every answer, in order
    std::string text;
    bool closed = false;
};

Conversation converse(int port, const std::string& text, bool shut_down_sending = false,
                      std::chrono::milliseconds wait = 4s)
{
    Conversation c;
    UniqueFd fd = connect_loopback(port);
    if (!send_all(fd.get(), text)) return c;
    if (shut_down_sending) ::shutdown(fd.get(), SHUT_WR);
    c.text = read_until(fd.get(), std::string_view("\x01never\x01"), wait, &c.closed);
    for (auto at = c.text.find("HTTP/1."); at != std::string::npos; at = c.text.find("HTTP/1.", at + 1))
        c.statuses.push_back(status_of(c.text.substr(at)));
    return c;
}

const std::string kHiddenPwm =
    "POST /pwm HTTP/1.1\r\nHost: HOST\r\nContent-Type: application/json\r\n"
    "Content-Length: 12\r\n\r\n{\"duty\":33}\n";

}  // namespace

// A request hidden in another's body, behind a framing that a proxy in front of the server could
// read differently: refused, the connection closed, and the hidden command never taken.
TEST(HttpConformance, RequestsHiddenBehindAmbiguousFramingAreNeverExecuted)
{
    ServerBench b;
    struct Case {
        const char* what;
        std::string request;
        std::vector<int> statuses;
    };
    const std::vector<Case> cases{
        // Without chunked last, a proxy reads the body to the close; a lenient server reads none.
        {"Transfer-Encoding: identity",
         "GET /state HTTP/1.1\r\nHost: HOST\r\nTransfer-Encoding: identity\r\n\r\n" + kHiddenPwm,
         {400}},
        {"chunked, identity",
         "GET /state HTTP/1.1\r\nHost: HOST\r\nTransfer-Encoding: chunked, identity\r\n\r\n" + kHiddenPwm,
         {400}},
        {"gzip", "GET /state HTTP/1.1\r\nHost: HOST\r\nTransfer-Encoding: gzip\r\n\r\n" + kHiddenPwm, {400}},
        {"identity in a second header",
         "GET /state HTTP/1.1\r\nHost: HOST\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: identity\r\n\r\n" +
             kHiddenPwm,
         {400}},
        // Both framings: one of them is a lie, and the connection cannot be trusted past the answer.
        {"identity and Content-Length",
         "GET /state HTTP/1.1\r\nHost: HOST\r\nTransfer-Encoding: identity\r\nContent-Length: 2\r\n\r\n{}" + kHiddenPwm,
         {400}},
        {"chunked and Content-Length",
         "GET /state HTTP/1.1\r\nHost: HOST\r\nTransfer-Encoding: chunked\r\nContent-Length: 80\r\n\r\n0\r\n\r\n" +
             kHiddenPwm,
         {400}},
    };
    for (const auto& c : cases) {
        auto talk = converse(b.port, with_host(c.request, b.port));
        EXPECT_EQ(talk.statuses, c.statuses) << c.what << ":\n" << talk.text.substr(0, 300);
        EXPECT_TRUE(talk.closed) << c.what << ": the connection stayed open";
    }
    // A chunked body itself is read as before, and the connection kept.
    auto chunked = converse(b.port,
                            with_host("POST /led HTTP/1.1\r\nHost: HOST\r\nContent-Type: application/json\r\n"
                                      "Transfer-Encoding: chunked\r\n\r\nb\r\n{\"on\":true}\r\n0\r\n\r\n",
                                      b.port),
                            false, 1500ms);
    EXPECT_EQ(chunked.statuses, std::vector<int>{200});
    EXPECT_FALSE(chunked.closed);
    auto state = nlohmann::json::parse(get(b.port, "/state").body);
    EXPECT_TRUE(state["pwm_command"].empty()) << "the hidden V01=33$ was taken: " << state["pwm_command"];
}

// A client that sends its requests and then shuts down its sending side still reads: every
// complete request is answered, on every lane, before the server closes.
TEST(HttpConformance, HalfClosedClientGetsEveryCompleteRequestAnswered)
{
    ServerBench b;
    std::string requests;
    for (const char* path : {"/history.json", "/state", "/history.csv?from=1", "/history.json?from=0"})
        requests += with_host("GET " + std::string(path) + " HTTP/1.1\r\nHost: HOST\r\n\r\n", b.port);
    auto talk = converse(b.port, requests, true);
    EXPECT_EQ(talk.statuses, (std::vector<int>{200, 200, 200, 200})) << talk.text.substr(0, 400);
    EXPECT_TRUE(talk.closed);
}

// HEAD is GET without the body; a request in absolute form names the server in its target; a
// history bound is a whole number or a date, nothing behind it.
TEST(HttpConformance, HeadAbsoluteFormAndStrictQueryNumbers)
{
    ServerBench b;
    for (const char* path : {"/", "/state"}) {
        auto full = get(b.port, path);
        ASSERT_EQ(full.status, 200) << path;
        // Pipelined with a GET behind it: a body after the HEAD's head would be read as the next answer.
        auto talk =
            converse(b.port, with_host("HEAD " + std::string(path) + " HTTP/1.1\r\nHost: HOST\r\n\r\n", b.port) +
                                 request_text("GET", "/style.css", b.port));
        EXPECT_EQ(talk.statuses, (std::vector<int>{200, 200})) << path << ": " << talk.text.substr(0, 300);
        auto head = lower_case(talk.text.substr(0, talk.text.find("\r\n\r\n") + 4));
        EXPECT_NE(head.find("content-length: " + std::to_string(full.body.size()) + "\r\n"), std::string::npos)
            << path << " (GET gives " << full.body.size() << " bytes): " << head;
        EXPECT_EQ(talk.text.compare(head.size(), 9, "HTTP/1.1 "), 0) << path << ": a body followed the HEAD's head";
    }
    auto allow = round_trip(b.port, request_text("POST", "/state", b.port, "", "{}"));
    EXPECT_NE(lower_case(allow.headers).find("\r\nallow: get, head"), std::string::npos) << allow.headers;

    const std::string port = std::to_string(b.port);
    struct Case {
        const char* what;
        std::string request;
        int status;
    };
    const std::vector<Case> cases{
        {"absolute form", "GET http://127.0.0.1:" + port + "/state HTTP/1.1\r\nHost: HOST\r\n\r\n", 200},
        {"absolute form with a query",
         "GET http://localhost:" + port + "/history.json?from=0 HTTP/1.1\r\nHost: HOST\r\n\r\n", 200},
        // The target's authority is the one that counts, so it must be ours too.
        {"absolute form naming another host",
         "GET http://rebound.example:" + port + "/state HTTP/1.1\r\nHost: HOST\r\n\r\n", 421},
        {"from=1%00abc", "GET /history.json?from=1%00abc HTTP/1.1\r\nHost: HOST\r\n\r\n", 400},
        {"to=2%20x", "GET /history.csv?to=2%20x HTTP/1.1\r\nHost: HOST\r\n\r\n", 400},
    };
    for (const auto& c : cases) {
        auto talk = converse(
            b.port, with_host(c.request + "GET /state HTTP/1.1\r\nHost: HOST\r\nConnection: close\r\n\r\n", b.port));
        ASSERT_FALSE(talk.statuses.empty()) << c.what;
        EXPECT_EQ(talk.statuses.front(), c.status) << c.what << ": " << talk.text.substr(0, 200);
    }
}
