#include "dashboard_state.h"

#include <cstdio>

#include "node_facts.h"

namespace dashboard {

double unix_seconds(DashboardState::WallClock::time_point t)
{
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

std::string crlf_hex_escaped(std::string_view bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else if (c >= 0x20 && c < 0x7f)
            out.push_back(static_cast<char>(c));
        else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string clipped_log_text(std::string_view escaped, std::size_t limit)
{
    auto escape_length = [&](std::size_t at) -> std::size_t {
        if (escaped[at] != '\\' || at + 1 >= escaped.size()) return 1;
        return escaped[at + 1] == 'x' ? 4 : 2;
    };
    std::size_t kept = 0;
    while (kept < escaped.size() && kept + escape_length(kept) <= limit) kept += escape_length(kept);
    if (kept == escaped.size()) return std::string(escaped);
    std::size_t left_out = 0;
    for (std::size_t at = kept; at < escaped.size(); at += escape_length(at)) ++left_out;
    return std::string(escaped.substr(0, kept)) + " ... (+" + std::to_string(left_out) + " bytes)";
}

std::optional<std::string> DashboardState::on_report(const Report& report, WallClock::time_point now)
{
    log("rx", report_kind_name(report.kind), report.raw, now);
    std::optional<std::string> restart;
    if (report.kind != Report::Kind::Garbage) garbage_since_good_ = 0;
    switch (report.kind) {
        case Report::Kind::Temperature:
            temperature_text_ = report.value;
            stale_ = false;
            temperature_in_cycle_ = true;
            last_report_ = now;
            ++reports_;
            // Outside the sensor's range it is shown for what it is, and neither plotted nor taken
            // as the temperature.
            reading_invalid_ = !in_sensor_range(report.celsius);
            if (reading_invalid_) {
                celsius_.reset();
                break;
            }
            celsius_ = report.celsius;
            history_.emplace_back(unix_seconds(now), report.celsius);
            if (history_.size() > kHistoryLimit) history_.pop_front();
            break;
        case Report::Kind::Switch:
            switch_on_ = report.value == "1";
            // The switch report closes every cycle. One with no temperature since the previous one is
            // a cycle whose reading failed (sensor absent, CRC or configuration check failed): the
            // value shown is from an earlier cycle. The first switch report after connecting may
            // follow a temperature sent before we were there, so it proves nothing.
            if (cycle_seen_ && !temperature_in_cycle_) stale_ = true;
            cycle_seen_ = true;
            temperature_in_cycle_ = false;
            last_report_ = now;
            ++reports_;
            break;
        case Report::Kind::Greeting:
            // The node has just been reset: what we commanded before no longer holds (it starts with
            // the LED pin low and the PWM at 50 %).
            cycle_seen_ = false;
            temperature_in_cycle_ = false;
            led_on_.reset();
            pwm_percent_.reset();
            // The cause (watchdog, fault, power, reset pin) goes out on the node's USART2 only; this
            // link knows no more than that the node started over.
            if (node_heard_) {
                restart = kRestartText;
                ++restarts_;
                last_restart_ = now;
                log("info", "restart", *restart, now);
            }
            break;
        case Report::Kind::Garbage:
            garbage_bytes_ += report.raw.size();
            garbage_since_good_ += report.raw.size();
            break;
    }
    if (report.kind != Report::Kind::Garbage) node_heard_ = true;
    return restart;
}

void DashboardState::on_sent(CommandKind kind, const std::string& frame, WallClock::time_point now)
{
    log("tx", command_name(kind), frame, now);
    if (kind == CommandKind::Led) {
        led_on_ = frame == led_frame(true);
        led_sent_ = Sent{frame, now};
    } else {
        // "V01=75$": the digits between "=" and "$".
        pwm_percent_ = std::stoi(frame.substr(node_facts::kDutyTag.size()));
        pwm_sent_ = Sent{frame, now};
    }
}

void DashboardState::set_queued(const std::vector<CommandPacer::Due>& queued)
{
    led_queued_.reset();
    pwm_queued_.reset();
    for (const auto& q : queued) (q.kind == CommandKind::Led ? led_queued_ : pwm_queued_) = q.frame;
}

void DashboardState::restore(const std::vector<StoredEvent>& log,
                             const std::vector<std::pair<double, double>>& temperatures)
{
    for (const auto& e : log) {
        // Stored whole (as an older run may have stored a line of noise of any length); shown clipped.
        log_.push_back(
            {{"t", e.t}, {"dir", e.dir}, {"kind", e.kind}, {"text", clipped_log_text(e.text, kLogTextLimit)}});
        if (log_.size() > kLogLimit) log_.pop_front();
    }
    for (const auto& p : temperatures) {
        if (!in_sensor_range(p.second)) continue;
        history_.push_back(p);
        if (history_.size() > kHistoryLimit) history_.pop_front();
    }
}

void DashboardState::on_connected(const std::string& description, WallClock::time_point now)
{
    connected_ = true;
    link_text_ = description;
    garbage_since_good_ = 0;
    cycle_seen_ = false;
    temperature_in_cycle_ = false;
    node_heard_ = false;
    restarts_ = 0;
    last_restart_.reset();
    log("info", "link", "connected: " + description, now);
}

void DashboardState::on_disconnected(const std::string& message, WallClock::time_point now)
{
    if (!connected_ && link_text_ == message) return;  // the same failure, retried every second
    connected_ = false;
    link_text_ = message;
    log("info", "link", message, now);
}

void DashboardState::log(const char* direction, const char* kind, std::string_view bytes, WallClock::time_point now)
{
    log_.push_back({{"t", unix_seconds(now)},
                    {"dir", direction},
                    {"kind", kind},
                    {"text", clipped_log_text(crlf_hex_escaped(bytes), kLogTextLimit)}});
    if (log_.size() > kLogLimit) log_.pop_front();
}

nlohmann::json DashboardState::to_json(WallClock::time_point now, bool history) const
{
    using nlohmann::json;
    auto sent = [](const std::optional<Sent>& s, const std::optional<std::string>& queued) {
        json j = json::object();
        if (s) j["sent"] = {{"frame", s->frame}, {"t", unix_seconds(s->at)}};
        if (queued) j["queued"] = *queued;
        return j;
    };
    json j = {
        {"now", unix_seconds(now)},
        {"connected", connected_},
        {"link", link_text_},
        {"temperature", temperature_text_ ? json(*temperature_text_) : json(nullptr)},
        {"celsius", celsius_ ? json(*celsius_) : json(nullptr)},
        {"stale", stale_},
        {"reading_invalid", reading_invalid_},
        {"switch", switch_on_ ? json(*switch_on_) : json(nullptr)},
        {"led", led_on_ ? json(*led_on_) : json(nullptr)},
        {"pwm", pwm_percent_ ? json(*pwm_percent_) : json(nullptr)},
        {"last_report_age", last_report_ ? json(unix_seconds(now) - unix_seconds(*last_report_)) : json(nullptr)},
        {"reports", reports_},
        {"garbage_bytes", garbage_bytes_},
        {"link_warning", garbage_since_good_ >= kNoiseWarningBytes
                             ? json(std::to_string(garbage_since_good_) +
                                    " bytes that are no report since the last good one: line noise or a wrong baud "
                                    "rate? (the node sends at 9600 baud, 8N1)")
                             : json(nullptr)},
        {"restart", last_restart_ ? json{{"t", unix_seconds(*last_restart_)}, {"count", restarts_}} : json(nullptr)},
        {"led_command", sent(led_sent_, led_queued_)},
        {"pwm_command", sent(pwm_sent_, pwm_queued_)},
        {"log", json(log_)},
    };
    if (history) {
        json points = json::array();
        for (auto [t, c] : history_) points.push_back({t, c});
        j["history"] = std::move(points);
    }
    return j;
}

}  // namespace dashboard
