#include "report_parser.h"

#include <charconv>

#include "node_facts.h"

namespace dashboard {
namespace {

using node_facts::kGreeting, node_facts::kReportEnd, node_facts::kSwitchOff, node_facts::kSwitchOn,
    node_facts::kSwitchTag, node_facts::kTemperatureTag;

enum class Verdict { Prefix, Complete, Invalid };

bool starts(std::string_view text, std::string_view with)
{
    return text.size() <= with.size() ? with.substr(0, text.size()) == text : text.substr(0, with.size()) == with;
}

// A decimal number as "%.1f" prints one, with room for more decimals: -?D+(.D*)?. `complete` asks
// whether the text is a whole number; otherwise whether it can still become one.
bool number_text(std::string_view text, bool complete)
{
    std::size_t i = 0;
    if (i < text.size() && text[i] == '-') ++i;
    std::size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        if (digits == 0) return false;
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    }
    if (i != text.size()) return false;
    return complete ? digits > 0 : true;
}

Verdict temperature_verdict(std::string_view text)
{
    if (text.size() <= kTemperatureTag.size())
        return starts(text, kTemperatureTag) ? Verdict::Prefix : Verdict::Invalid;
    if (text.substr(0, kTemperatureTag.size()) != kTemperatureTag) return Verdict::Invalid;
    std::string_view body = text.substr(kTemperatureTag.size());
    if (body.back() == kReportEnd)
        return number_text(body.substr(0, body.size() - 1), true) ? Verdict::Complete : Verdict::Invalid;
    return number_text(body, false) ? Verdict::Prefix : Verdict::Invalid;
}

Verdict fixed_verdict(std::string_view text, std::string_view whole)
{
    if (text == whole) return Verdict::Complete;
    return starts(text, whole) && text.size() < whole.size() ? Verdict::Prefix : Verdict::Invalid;
}

// What the bytes held back amount to. They were a prefix of some report before their last byte.
Verdict verdict(std::string_view text, Report& report)
{
    Verdict best = Verdict::Invalid;
    for (auto [whole, kind] :
         {std::pair{kGreeting, Report::Kind::Greeting}, std::pair{kSwitchOff, Report::Kind::Switch},
          std::pair{kSwitchOn, Report::Kind::Switch}}) {
        Verdict v = fixed_verdict(text, whole);
        if (v == Verdict::Complete) {
            report = Report{kind, std::string(text),
                            kind == Report::Kind::Switch ? std::string(1, text[kSwitchTag.size()]) : "", 0.0};
            return v;
        }
        if (v == Verdict::Prefix) best = v;
    }
    Verdict v = temperature_verdict(text);
    if (v == Verdict::Complete) {
        std::string value(text.substr(kTemperatureTag.size(), text.size() - kTemperatureTag.size() - 1));
        double celsius = 0.0;
        std::from_chars(value.data(), value.data() + value.size(), celsius);
        report = Report{Report::Kind::Temperature, std::string(text), value, celsius};
        return v;
    }
    if (v == Verdict::Prefix && text.size() <= ReportParser::kMaxPending) best = v;
    return best;
}

}  // namespace

const char* report_kind_name(Report::Kind kind)
{
    switch (kind) {
        case Report::Kind::Temperature:
            return "temperature";
        case Report::Kind::Switch:
            return "switch";
        case Report::Kind::Greeting:
            return "greeting";
        case Report::Kind::Garbage:
            return "garbage";
    }
    return "garbage";
}

std::vector<Report> ReportParser::feed(std::string_view bytes)
{
    std::vector<Report> out;
    for (char c : bytes) {
        pending_.push_back(c);
        settle(out);
    }
    flush_garbage(out);
    return out;
}

void ReportParser::reset()
{
    pending_.clear();
    garbage_.clear();
}

// Drops leading bytes as garbage until what is held back is a report's beginning (or nothing),
// so that a report starting inside a broken one is still found.
void ReportParser::settle(std::vector<Report>& out)
{
    while (!pending_.empty()) {
        Report report{};
        switch (verdict(pending_, report)) {
            case Verdict::Prefix:
                return;
            case Verdict::Complete:
                flush_garbage(out);
                out.push_back(std::move(report));
                pending_.clear();
                return;
            case Verdict::Invalid:
                add_garbage(pending_.front(), out);
                pending_.erase(0, 1);
                break;
        }
    }
}

void ReportParser::add_garbage(char c, std::vector<Report>& out)
{
    garbage_.push_back(c);
    if (garbage_.size() >= kMaxGarbage) flush_garbage(out);
}

void ReportParser::flush_garbage(std::vector<Report>& out)
{
    if (garbage_.empty()) return;
    out.push_back(Report{Report::Kind::Garbage, std::move(garbage_), "", 0.0});
    garbage_.clear();
}

}  // namespace dashboard
