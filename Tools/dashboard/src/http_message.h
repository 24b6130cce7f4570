// HTTP/1.1 messages as the dashboard's server reads and writes them: a request parsed from the
// bytes at the front of a connection's input, and a response formatted for the wire.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dashboard {

struct HttpRequest {
    std::string method;
    std::string path;                                          // without the query
    std::string query;                                         // after '?', as sent
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
    std::string body;

    const std::string* header(std::string_view lower_case_name) const;
    // A query parameter, percent-decoded ("+" as a space).
    std::optional<std::string> query_value(std::string_view name) const;
};

struct HttpResponse {
    int status = 200;
    std::string content_type = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    // A body too large to hold at once, after `body`: called for the next piece until it returns
    // nothing; sent chunked, a piece at a time as the client takes them.
    std::function<std::optional<std::string>()> more;
};

// The request at the front of `in`: incomplete (wait for more bytes), complete (with the number
// of bytes it took), or refused with a response to send before closing.
struct ParsedRequest {
    enum class Outcome { Incomplete, Complete, Refused } outcome = Outcome::Incomplete;
    HttpRequest request;
    std::size_t consumed = 0;
    bool close_after = false;  // the client asked to close (or spoke HTTP/1.0 without keep-alive)
    std::optional<HttpResponse> refusal;
};
ParsedRequest parse_request(std::string_view in, std::size_t max_head, std::size_t max_body);

std::string lower_case(std::string_view text);

// A plain-text response.
HttpResponse plain_response(int status, std::string message);
// Status line, headers and body; with `chunked`, the body is the first chunk and more follow.
std::string format_response(const HttpResponse& r, bool chunked);
// One chunk of a chunked body (nothing for an empty piece, which would end the body).
std::string format_chunk(std::string_view piece);
constexpr std::string_view kLastChunk = "0\r\n\r\n";

}  // namespace dashboard
