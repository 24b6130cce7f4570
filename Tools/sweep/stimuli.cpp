#include "stimuli.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "named.h"
#include "node_facts.h"

namespace sweep {

namespace {

// The port has a character (or a break) once it has sampled the middle of the stop bit: 996.1 us after
// the start edge. The dashboard's characters follow one another every 1.0417 ms.
constexpr auto kComplete = static_cast<sim::Picos>(node_facts::kStopSampledBits * node_facts::kPortBitPicos);
constexpr sim::Picos kPeerChar = node_facts::kPeerCharPicos;
// The command behind a line error, and the frame placed: it turns the LED off, which the node lit at
// its set-up, so that taking it shows.
constexpr std::string_view kCommand = node_facts::kLedOff;
constexpr sim::Picos kCommandBytes = kCommand.size();
constexpr sim::Picos kSensorBack = 20 * sim::kPicosPerMilli;

constexpr std::pair<StimulusKind, const char*> kStimulusNames[] = {{StimulusKind::Noise, "noise"},
                                                                   {StimulusKind::Break, "break"},
                                                                   {StimulusKind::FrameFirst, "frame-first"},
                                                                   {StimulusKind::FrameLast, "frame-last"},
                                                                   {StimulusKind::SwitchEdge, "switch"},
                                                                   {StimulusKind::SensorFault, "sensor"}};

}  // namespace

const char* stimulus_name(StimulusKind kind)
{
    return name_of(kStimulusNames, kind);
}

std::optional<StimulusKind> stimulus_from_name(std::string_view name)
{
    return kind_named(kStimulusNames, name);
}

std::string seconds_text(sim::Picos t)
{
    char text[48];
    std::snprintf(text, sizeof text, "%" PRIu64 ".%012" PRIu64, static_cast<uint64_t>(t / sim::kPicosPerSecond),
                  static_cast<uint64_t>(t % sim::kPicosPerSecond));
    return text;
}

sim::Picos stimulus_lead(StimulusKind kind)
{
    switch (kind) {
        case StimulusKind::Noise:
        case StimulusKind::Break:
        case StimulusKind::FrameFirst:
            return kComplete;
        case StimulusKind::FrameLast:
            return kComplete + (kCommandBytes - 1) * kPeerChar;
        case StimulusKind::SwitchEdge:
        case StimulusKind::SensorFault:
            return 0;
    }
    return 0;
}

std::vector<ScenarioStep> stimulus_steps(StimulusKind kind, sim::Picos at)
{
    const std::string command = "send " + std::string(kCommand);
    switch (kind) {
        case StimulusKind::Noise:
            // Both on the line back to back, the command queued behind the noisy byte.
            return {{at - kComplete, "noise"}, {at - kComplete, command}};
        case StimulusKind::Break:
            return {{at - kComplete, "break 2"}, {at - kComplete, command}};
        case StimulusKind::FrameFirst:
        case StimulusKind::FrameLast:
            return {{at - stimulus_lead(kind), command}};
        case StimulusKind::SwitchEdge:
            return {{at, "switch 1"}};
        case StimulusKind::SensorFault:
            return {{at, "sensor absent"}, {at + kSensorBack, "sensor ok"}};
    }
    return {};
}

std::string scenario_text(std::vector<ScenarioStep> steps)
{
    std::stable_sort(steps.begin(), steps.end(),
                     [](const ScenarioStep& a, const ScenarioStep& b) { return a.at < b.at; });
    std::string text;
    for (const auto& step : steps) text += seconds_text(step.at) + " " + step.action + "\n";
    return text;
}

}  // namespace sweep
