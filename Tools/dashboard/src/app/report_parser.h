// Splits the byte stream the node sends on its dashboard link into reports.
//
// The node frames nothing: "!A00=23.6$" (temperature, one decimal), "!A01=0$" / "!A01=1$" (the
// switch) and, once after reset, "Hola\r\n". Bytes arrive in whatever pieces the serial driver or
// the socket hands over, so a report may be split across reads and line noise may sit between
// reports. The parser keeps only a possible report's beginning (at most kMaxPending bytes) and
// passes everything that cannot start a report on as garbage, so a peer that sends rubbish for ever
// never grows its memory.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace dashboard {

struct Report {
    enum class Kind { Temperature, Switch, Greeting, Garbage };
    Kind kind;
    std::string raw;       // the bytes exactly as received
    std::string value;     // temperature text ("23.6") or switch digit ("1"); empty otherwise
    double celsius = 0.0;  // Temperature only
};

// What a DS18B20 can measure: -55 to +125 C. A reading outside it is no temperature (a corrupted
// report, or a node that misreads its sensor) and is never plotted.
constexpr double kSensorMinCelsius = -55.0;
constexpr double kSensorMaxCelsius = 125.0;
inline bool in_sensor_range(double celsius)
{
    return celsius >= kSensorMinCelsius && celsius <= kSensorMaxCelsius;
}

// "temperature", "switch", "greeting" or "garbage": the kind as the log and the history file name it.
const char* report_kind_name(Report::Kind kind);

class ReportParser {
public:
    // Longest report kept while it is incomplete: "!A00=" with a sign, six digits, a point and
    // four decimals and "$" is 18 bytes; the node's "%.1f" of a DS18B20 reading (-55 to +125 C)
    // needs at most 12.
    static constexpr std::size_t kMaxPending = 24;
    // A run of garbage is handed over in pieces of at most this many bytes.
    static constexpr std::size_t kMaxGarbage = 256;

    // Everything complete in `bytes`, in the order received. Garbage is handed over at the end of
    // each call (or every kMaxGarbage bytes), so the raw log shows it as it comes.
    std::vector<Report> feed(std::string_view bytes);

    // Bytes held back as the possible beginning of a report.
    std::size_t pending() const { return pending_.size(); }

    // Forgets a half-received report (the link was lost; what follows is a new stream).
    void reset();

private:
    void settle(std::vector<Report>& out);
    void add_garbage(char c, std::vector<Report>& out);
    void flush_garbage(std::vector<Report>& out);

    std::string pending_;
    std::string garbage_;
};

}  // namespace dashboard
