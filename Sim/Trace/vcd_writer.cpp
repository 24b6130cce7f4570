#include "vcd_writer.h"

namespace sim::trace {

namespace {
char value_char(int level)
{
    return level < 0 ? 'x' : (level ? '1' : '0');
}

// VCD identifiers are short strings of printable characters '!' to '~'.
std::string identifier(size_t index)
{
    std::string id;
    do {
        id += static_cast<char>('!' + index % 94);
        index /= 94;
    } while (index > 0);
    return id;
}
}  // namespace

VcdWriter::VcdWriter(std::ostream& out, std::vector<PinSpec> pins, std::string computed, EdgeSource edges)
    : out_(out), pins_(std::move(pins)), computed_(std::move(computed)), edges_(std::move(edges))
{
    out_ << "$version nodesim $end\n$timescale 1 ns $end\n$scope module node $end\n";
    for (size_t i = 0; i < pins_.size(); ++i) {
        ids_.push_back(identifier(i));
        levels_.push_back(pins_[i].initial);
        if (pins_[i].name == computed_) computed_index_ = i;
        out_ << "$var wire 1 " << ids_[i] << ' ' << pins_[i].name << " $end\n";
    }
    out_ << "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n";
    for (size_t i = 0; i < pins_.size(); ++i) out_ << value_char(levels_[i]) << ids_[i] << '\n';
    out_ << "$end\n";
}

void VcdWriter::stamp(Picos at)
{
    uint64_t ns = at / kPicosPerNano;
    if (ns > stamped_ns_) {
        out_ << '#' << ns << '\n';
        stamped_ns_ = ns;
    }
}

void VcdWriter::change(Picos at, size_t index, int level)
{
    if (levels_[index] == level) return;
    levels_[index] = level;
    stamp(at);
    out_ << value_char(level) << ids_[index] << '\n';
}

void VcdWriter::catch_up(Picos to)
{
    if (computed_index_ == SIZE_MAX || !edges_ || to <= caught_up_) return;
    edges_(caught_up_, to, [&](Picos at, int level) { change(at, computed_index_, level); });
    caught_up_ = to;
}

void VcdWriter::record(const Event& event)
{
    const auto* pin = std::get_if<PinLevel>(&event.what);
    if (pin == nullptr || finished_) return;
    for (size_t i = 0; i < pins_.size(); ++i) {
        if (pins_[i].name != pin->pin) continue;
        if (i == computed_index_) return;  // its edges come from the timer, not from events
        catch_up(event.t);
        change(event.t, i, pin->level);
        return;
    }
}

void VcdWriter::finish(Picos end)
{
    if (finished_) return;
    finished_ = true;
    catch_up(end);
    // A last time stamp, so that viewers show the whole run even when nothing changed at its end.
    stamp(end);
    out_.flush();
}

}  // namespace sim::trace
