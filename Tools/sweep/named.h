// Names of the sweep's kinds of moment and stimulus, as the command line and the table write them: one
// table of (kind, name) pairs each, read both ways.
#pragma once

#include <optional>
#include <string_view>
#include <utility>

namespace sweep {

template <class Kind, size_t N>
const char* name_of(const std::pair<Kind, const char*> (&names)[N], Kind kind)
{
    for (const auto& [k, name] : names)
        if (k == kind) return name;
    return "?";
}

template <class Kind, size_t N>
std::optional<Kind> kind_named(const std::pair<Kind, const char*> (&names)[N], std::string_view name)
{
    for (const auto& [k, n] : names)
        if (name == n) return k;
    return std::nullopt;
}

}  // namespace sweep
