#include "http_request.h"

#include <boost/url/params_view.hpp>
#include <boost/url/parse_query.hpp>

#include <cctype>

namespace dashboard {

std::string lower_case(std::string_view text)
{
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

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
    if (!boost::urls::parse_query(query)) return std::nullopt;  // not a query a browser would send
    boost::urls::encoding_opts form;
    form.space_as_plus = true;
    for (auto param : boost::urls::params_view(query, form))
        if (param.key == name) return param.has_value ? std::string(param.value) : std::string();
    return std::nullopt;
}

}  // namespace dashboard
