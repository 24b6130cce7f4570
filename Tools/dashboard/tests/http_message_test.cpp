// Requests as they arrive on a socket: in pieces, several at once, or not as HTTP allows.
#include <gtest/gtest.h>

#include "http_message.h"

using namespace dashboard;
using Outcome = ParsedRequest::Outcome;

namespace {
constexpr std::size_t kHead = 1024, kBody = 64;
}

TEST(HttpMessage, RequestsArePiecedTogetherAndTakenOneAtATime)
{
    const std::string first =
        "POST /led?x=1 HTTP/1.1\r\nHost: 127.0.0.1:80\r\nCONTENT-type :  application/json \r\n"
        "Content-Length: 12\r\n\r\n{\"on\":true}\n";
    const std::string second = "GET /history.csv?from=2027-01-15T08%3A00&to=1%2B1&flag HTTP/1.1\r\nHost: x\r\n\r\n";
    for (std::size_t cut = 0; cut < first.size(); ++cut)
        EXPECT_EQ(parse_request(first.substr(0, cut), kHead, kBody).outcome, Outcome::Incomplete) << cut;

    const std::string both = first + second;
    auto a = parse_request(both, kHead, kBody);
    ASSERT_EQ(a.outcome, Outcome::Complete);
    EXPECT_EQ(a.consumed, first.size());
    EXPECT_EQ(a.request.method, "POST");
    EXPECT_EQ(a.request.path, "/led");
    EXPECT_EQ(a.request.body, "{\"on\":true}\n");
    ASSERT_TRUE(a.request.header("content-type"));
    EXPECT_EQ(*a.request.header("content-type"), "application/json");
    EXPECT_FALSE(a.close_after);

    auto b = parse_request(std::string_view(both).substr(a.consumed), kHead, kBody);
    ASSERT_EQ(b.outcome, Outcome::Complete);
    EXPECT_EQ(b.request.query_value("from"), "2027-01-15T08:00");
    EXPECT_EQ(b.request.query_value("to"), "1+1");
    EXPECT_EQ(b.request.query_value("flag"), "");
    EXPECT_FALSE(b.request.query_value("fro"));
}

TEST(HttpMessage, WhatCannotBeTakenIsRefusedWithItsReason)
{
    auto status = [](const std::string& text) {
        auto p = parse_request(text, kHead, kBody);
        return p.outcome == Outcome::Refused ? p.refusal->status : 0;
    };
    EXPECT_EQ(status(std::string(kHead + 1, 'a')), 431);  // a head that never ends
    EXPECT_EQ(status("POST /led HTTP/1.1\r\nContent-Length: 65\r\n\r\n"), 413);
    EXPECT_EQ(status("POST /led HTTP/1.1\r\nContent-Length: 1x\r\n\r\n"), 400);
    EXPECT_EQ(status("POST /led HTTP/1.1\r\nContent-Length: -1\r\n\r\n"), 400);
    EXPECT_EQ(status("POST /led HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"), 501);
    EXPECT_EQ(status("GET /\r\n\r\n"), 400);
    EXPECT_EQ(status("GET / SPDY/3\r\n\r\n"), 400);
    EXPECT_EQ(status("GET / HTTP/1.1\r\nno colon here\r\n\r\n"), 400);
}

TEST(HttpMessage, ConnectionIsKeptAsEachVersionSays)
{
    auto closes = [](const std::string& text) { return parse_request(text, kHead, kBody).close_after; };
    EXPECT_FALSE(closes("GET / HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(closes("GET / HTTP/1.1\r\nConnection: Close\r\n\r\n"));
    EXPECT_TRUE(closes("GET / HTTP/1.0\r\n\r\n"));
    EXPECT_FALSE(closes("GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"));
}

TEST(HttpMessage, ChunkedBodiesAreFramedAndNeverEndedByAnEmptyPiece)
{
    HttpResponse r;
    r.body = "head\n";
    EXPECT_EQ(format_response(r, true).substr(format_response(r, true).find("\r\n\r\n") + 4), "5\r\nhead\n\r\n");
    EXPECT_EQ(format_chunk(std::string(300, 'x')).substr(0, 5), "12c\r\n");
    EXPECT_EQ(format_chunk(""), "");
    EXPECT_NE(format_response(r, false).find("Content-Length: 5\r\n"), std::string::npos);
}
