// Where the sweep's stimuli land: each placed at a moment, run through nodesim, the byte that is to hit
// must complete in the node's port at that moment, as the simulated line delivers it. The placements
// of the sweep are only as good as this: a stimulus that lands a character off sweeps the wrong window,
// and every placement of it passes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <variant>

#include "nodesim_run.h"
#include "stimuli.h"

namespace {

using scenario_test::NodeRun;
using scenario_test::run_node;

// The line runs at 9600 baud; the port has a character once it has sampled the middle of its stop bit,
// 9.5625 bit times after its start edge. A trace's rx event is at the end of the character's stop bit.
constexpr double kBit = 1.0 / 9600;
constexpr double kCompleteAfterEnd = (9.5625 - 10) * kBit;
constexpr sim::Picos kMoment = 1'500'000'000'000;  // 1.5 s: between the first cycle's reports and the next cycle

TEST(SweepStimuli, TheByteThatHitsCompletesInThePortAtTheMoment)
{
    struct Case {
        sweep::StimulusKind kind;
        size_t hitting;     // which of the peer's bytes hits: the noisy one, the frame's first or last
        std::string bytes;  // what the peer sends, in order
    };
    const Case cases[] = {
        {sweep::StimulusKind::Noise, 0, std::string(1, '\0') + "V00=0"},  // a noisy byte (any value), the command
        {sweep::StimulusKind::FrameFirst, 0, "V00=0"},
        {sweep::StimulusKind::FrameLast, 4, "V00=0"},
    };
    for (const Case& c : cases) {
        const std::string name = sweep::stimulus_name(c.kind);
        NodeRun run = run_node(sweep::scenario_text(sweep::stimulus_steps(c.kind, kMoment)), 2.0);
        ASSERT_EQ(run.status, 0) << name << ": " << run.output;
        std::vector<std::pair<sim::Picos, uint8_t>> received;
        for (const auto& e : run.events)
            if (const auto* rx = std::get_if<sim::trace::Rx>(&e.what)) received.emplace_back(e.t, rx->byte);
        ASSERT_EQ(received.size(), c.bytes.size()) << name;
        for (size_t i = 0; i < received.size(); ++i) {
            if (c.bytes[i] == '\0') continue;
            EXPECT_EQ(received[i].second, static_cast<uint8_t>(c.bytes[i])) << name << " " << i;
        }
        const double completes = sim::to_seconds(received[c.hitting].first) + kCompleteAfterEnd;
        EXPECT_NEAR(completes, sim::to_seconds(kMoment), 2e-6)
            << name << ": byte " << c.hitting << " completes " << (completes - sim::to_seconds(kMoment)) * 1e6
            << " us after the moment";
    }
}

}  // namespace
