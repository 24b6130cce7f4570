#include "run_outputs.h"

#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace nodesim {

std::unique_ptr<std::ofstream> open_output(const std::string& path)
{
    auto out = std::make_unique<std::ofstream>(path, std::ios::binary | std::ios::trunc);
    if (!*out) throw std::runtime_error(path + ": cannot open for writing");
    return out;
}

RunFiles RunFiles::open(const Options& options)
{
    RunFiles files;
    if (!options.scenarios.empty()) files.scenario = sim::load_scenario(options.scenarios.front());
    if (!options.trace.empty()) files.trace = open_output(options.trace);
    if (!options.vcd.empty()) files.vcd = open_output(options.vcd);
    if (!options.junit.empty()) files.junit = open_output(options.junit);
    return files;
}

bool RunFiles::written() const
{
    return (!trace || trace->good()) && (!vcd || vcd->good()) && (!junit || junit->good());
}

TraceOutputs::TraceOutputs(const Options& options, RunFiles& files, sim::Board& board) : console_(std::cout)
{
    if (!options.quiet) trace_.add(console_);
    if (files.trace) trace_.add(jsonl_.emplace(*files.trace));
    if (files.vcd) {
        std::vector<sim::trace::VcdWriter::PinSpec> pins;
        for (auto [port, pin] : sim::Board::node_pins())
            pins.push_back({sim::trace::pin_name(port, pin), board.level(port, pin)});
        trace_.add(vcd_.emplace(
            *files.vcd, std::move(pins), "A0",
            [&board](sim::Picos from, sim::Picos to, const auto& edge) { board.pwm_edges(from, to, edge); }));
    }
    board.observe(trace_);
    sim::Chip& chip = board.chip;
    chip.log().set_sink([this, &chip](const std::string& line) {
        std::fprintf(stderr, "sim: %s\n", line.c_str());
        trace_.record(chip.now(), sim::trace::Note{line});
    });
}

void TraceOutputs::finish(const sim::RunEnd& end, sim::Picos now)
{
    if (end.kind == sim::RunEnd::Kind::Halt) trace_.record(end.at, sim::trace::Halt{end.reason});
    trace_.record(now, sim::trace::End{sim::to_string(end.kind)});
    trace_.finish(now);
}

}  // namespace nodesim
