#include "http_message.h"

#include <cctype>
#include <charconv>

namespace dashboard {

std::string lower_case(std::string_view text)
{
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

namespace {

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// The text before the first `delimiter` in `rest` (all of it when there is none); `rest` keeps
// what follows the delimiter.
std::string_view take_until(std::string_view& rest, std::string_view delimiter)
{
    auto at = rest.find(delimiter);
    std::string_view piece = rest.substr(0, at);
    rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + delimiter.size());
    return piece;
}

const char* reason(int status)
{
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 413:
            return "Content Too Large";
        case 415:
            return "Unsupported Media Type";
        case 421:
            return "Misdirected Request";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percent_decode(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+')
            out.push_back(' ');
        else if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
            i += 2;
        } else
            out.push_back(text[i]);
    }
    return out;
}

}  // namespace

HttpResponse plain_response(int status, std::string message)
{
    HttpResponse r;
    r.status = status;
    r.body = std::move(message) + "\n";
    return r;
}

const std::string* HttpRequest::header(std::string_view lower_case_name) const
{
    for (const auto& [name, value] : headers)
        if (name == lower_case_name) return &value;
    return nullptr;
}

std::optional<std::string> HttpRequest::query_value(std::string_view name) const
{
    std::string_view rest = query;
    while (!rest.empty()) {
        std::string_view pair = take_until(rest, "&");
        auto eq = pair.find('=');
        if (percent_decode(pair.substr(0, eq)) != name) continue;
        return eq == std::string_view::npos ? std::string() : percent_decode(pair.substr(eq + 1));
    }
    return std::nullopt;
}

ParsedRequest parse_request(std::string_view in, std::size_t max_head, std::size_t max_body)
{
    ParsedRequest parsed;
    auto refuse = [&](int status, const char* why) {
        parsed.outcome = ParsedRequest::Outcome::Refused;
        parsed.refusal = plain_response(status, why);
        return parsed;
    };
    auto head_end = in.find("\r\n\r\n");
    if (head_end == std::string_view::npos) {
        if (in.size() > max_head) return refuse(431, "request head too large");
        return parsed;
    }
    HttpRequest& req = parsed.request;
    std::string_view rest = in.substr(0, head_end);
    std::string_view line = take_until(rest, "\r\n");
    auto s1 = line.find(' '), s2 = line.rfind(' ');
    if (s1 == std::string_view::npos || s2 == s1 || line.substr(s2 + 1).rfind("HTTP/1.", 0) != 0)
        return refuse(400, "malformed request line");
    bool http10 = line.substr(s2 + 1) == "HTTP/1.0";
    req.method = std::string(line.substr(0, s1));
    std::string_view target = line.substr(s1 + 1, s2 - s1 - 1);
    req.path = std::string(take_until(target, "?"));
    req.query = std::string(target);
    while (!rest.empty()) {
        std::string_view h = take_until(rest, "\r\n");
        auto colon = h.find(':');
        if (colon == std::string_view::npos || colon == 0) return refuse(400, "malformed header");
        req.headers.emplace_back(lower_case(trim(h.substr(0, colon))), std::string(trim(h.substr(colon + 1))));
    }
    std::size_t length = 0;
    if (req.header("transfer-encoding")) return refuse(501, "send the body with a Content-Length");
    if (const std::string* cl = req.header("content-length")) {
        auto [p, ec] = std::from_chars(cl->data(), cl->data() + cl->size(), length);
        if (ec != std::errc{} || p != cl->data() + cl->size()) return refuse(400, "bad Content-Length");
        if (length > max_body) return refuse(413, "request body too large");
    }
    if (in.size() < head_end + 4 + length) return parsed;  // the body is still coming
    req.body = std::string(in.substr(head_end + 4, length));
    parsed.consumed = head_end + 4 + length;
    const std::string* connection = req.header("connection");
    std::string value = connection ? lower_case(*connection) : "";
    parsed.close_after = http10 ? value != "keep-alive" : value == "close";
    parsed.outcome = ParsedRequest::Outcome::Complete;
    return parsed;
}

std::string format_chunk(std::string_view piece)
{
    if (piece.empty()) return {};
    char size[20];
    auto [end, ec] = std::to_chars(size, size + sizeof size, piece.size(), 16);
    (void)ec;
    return std::string(size, end) + "\r\n" + std::string(piece) + "\r\n";
}

std::string format_response(const HttpResponse& r, bool chunked)
{
    std::string head = "HTTP/1.1 " + std::to_string(r.status) + " " + reason(r.status) + "\r\n";
    head += "Content-Type: " + r.content_type + "\r\n";
    for (const auto& [name, value] : r.headers) head += name + ": " + value + "\r\n";
    if (chunked) return head + "Transfer-Encoding: chunked\r\n\r\n" + format_chunk(r.body);
    return head + "Content-Length: " + std::to_string(r.body.size()) + "\r\n\r\n" + r.body;
}

}  // namespace dashboard
