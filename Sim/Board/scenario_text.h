// Pieces of a scenario line, shared by the parser of stimuli and that of expectations. Each throws
// std::invalid_argument with a message fit for the user.
#pragma once

#include <string>
#include <string_view>

namespace sim::scenario_text {

// The text without blanks (space, tab, CR) at either end.
std::string_view trim(std::string_view text);
// Splits off the first blank-separated word.
std::string_view next_word(std::string_view& rest);
// The arguments before a '#' comment.
std::string_view before_comment(std::string_view rest);
// A finite decimal number; `what` names it in the message ("the length of a break").
double parse_number(std::string_view text, const char* what);
// Text from the file as an error message may show it: bytes outside printable ASCII as \xNN (a binary
// file's control bytes must not reach the terminal), cut after 160 characters; and the same in quotes.
std::string shown(std::string_view text);
std::string quoted(std::string_view text);

}  // namespace sim::scenario_text
