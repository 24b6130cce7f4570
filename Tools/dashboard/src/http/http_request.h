// A request as the application sees it once the HTTP layer has read and checked it, and the answer
// the application gives back.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dashboard {

struct HttpRequest {
    std::string method;                                        // "GET", "POST", ...
    std::string path;                                          // without the query
    std::string query;                                         // after '?', as sent
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
    std::string body;
    std::string peer;  // the client's address and port, "127.0.0.1:54321"

    const std::string* header(std::string_view lower_case_name) const;
    // A query parameter, percent-decoded ("+" as a space).
    std::optional<std::string> query_value(std::string_view name) const;
};

struct HttpResponse {
    int status = 200;
    std::string content_type = "text/plain; charset=utf-8";
    std::string body;
    // A body shared with other answers (one /state formatted for every client that asks for it);
    // sent instead of `body` when set.
    std::shared_ptr<const std::string> shared_body;
    std::vector<std::pair<std::string, std::string>> headers;
    // A body too large to hold at once, after `body`: called (on a worker) for the next piece until
    // it returns nothing; each piece is asked for once the last has gone out.
    std::function<std::optional<std::string>()> more;
};

// A plain-text answer.
HttpResponse plain_response(int status, std::string message);

std::string lower_case(std::string_view text);

}  // namespace dashboard
