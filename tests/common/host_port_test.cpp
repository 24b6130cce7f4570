// HOST:PORT as the tools take it: the host, bracketed or not, and the port, or a message naming what is
// wrong, for the callers' two rules (an empty host allowed; port 0 allowed).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_port.h"

namespace {

using common::HostPortRules;

constexpr HostPortRules kStrict{.host_may_be_empty = false, .port_may_be_zero = false};
constexpr HostPortRules kListener{.host_may_be_empty = true, .port_may_be_zero = true};

TEST(HostPort, ReadsTheHostAndThePortOrSaysWhatIsWrong)
{
    struct Case {
        const char* text;
        HostPortRules rules;
        std::string host;  // expected, when `error` is empty
        int port;
        std::string error;  // a part of the message
    };
    const std::vector<Case> cases{
        {"127.0.0.1:8080", {}, "127.0.0.1", 8080, ""},
        {"localhost:65535", kStrict, "localhost", 65535, ""},
        {"[::1]:0", {}, "::1", 0, ""},
        {"[fe80::1%eth0]:7000", kStrict, "fe80::1%eth0", 7000, ""},
        {":7000", kListener, "", 7000, ""},
        {":0", kListener, "", 0, ""},
        {"host:007", {}, "host", 7, ""},
        {"7000", {}, "", 0, "no ':' before the port"},
        {"", kListener, "", 0, "no ':' before the port"},
        {":7000", {}, "", 0, "the host is missing"},
        {"[]:7000", kListener, "", 0, "the host is missing"},
        {"host:", {}, "", 0, "the port is missing"},
        {"[::1]:", {}, "", 0, "the port is missing"},
        {"host:8x", {}, "", 0, "the port '8x' is not a number"},
        {"host:-1", {}, "", 0, "the port '-1' is not a number"},
        {"host: 80", {}, "", 0, "the port ' 80' is not a number"},
        {"host:65536", {}, "", 0, "the port 65536 is above 65535"},
        {"host:99999999999999999999", {}, "", 0, "is above 65535"},
        {"host:0", kStrict, "", 0, "the port 0 is not one to connect to"},
        {"::1:80", {}, "", 0, "the host '::1' is an IPv6 address: write it in brackets"},
        {"[::1:80", {}, "", 0, "the host '[::1:80' has no closing ']'"},
        {"[::1]", {}, "", 0, "no ':' after the host '[::1]'"},
        {"[::1]x:80", {}, "", 0, "no ':' after the host '[::1]'"},
        {"a]:80", {}, "", 0, "the host 'a]' has a stray bracket"},
    };
    for (const Case& c : cases) {
        auto parsed = common::parse_host_port(c.text, c.rules);
        if (c.error.empty()) {
            ASSERT_TRUE(std::holds_alternative<common::HostPort>(parsed))
                << c.text << ": " << std::get<std::string>(parsed);
            EXPECT_EQ(std::get<common::HostPort>(parsed).host, c.host) << c.text;
            EXPECT_EQ(std::get<common::HostPort>(parsed).port, c.port) << c.text;
        } else {
            ASSERT_TRUE(std::holds_alternative<std::string>(parsed)) << c.text << " was taken";
            EXPECT_NE(std::get<std::string>(parsed).find(c.error), std::string::npos)
                << c.text << ": " << std::get<std::string>(parsed);
        }
    }
}

}  // namespace
