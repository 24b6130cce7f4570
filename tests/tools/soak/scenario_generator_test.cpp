// The soak's scenario generator: one seed, one scenario; every line one the simulator accepts; the
// bytes of a frame survive the trip through the scenario file.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "scenario.h"
#include "scenario_generator.h"

namespace {

TEST(ScenarioGenerator, SameSeedSameScenarioOtherSeedAnother)
{
    const std::string a = soak::generate_scenario({7, 0.05});
    EXPECT_EQ(a, soak::generate_scenario({7, 0.05}));
    EXPECT_NE(a, soak::generate_scenario({8, 0.05}));
}

TEST(ScenarioGenerator, SimulatorAcceptsItAndItHoldsTheWholeMix)
{
    std::istringstream in(soak::generate_scenario({3, 0.2}));
    sim::Scenario scenario = sim::parse_scenario(in, "generated");
    int sends = 0, noise = 0, breaks = 0, temps = 0, sensors = 0, switches = 0, long_frames = 0, pairs = 0;
    int restarts = 0;
    double last_send = -10;
    for (const auto& step : scenario.steps) {
        using Verb = sim::ScenarioStep::Verb;
        switch (step.verb) {
            case Verb::Send:
                ++sends;
                if (step.bytes.size() > 50) ++long_frames;
                if (sim::to_seconds(step.at) - last_send < 2.0) ++pairs;
                last_send = sim::to_seconds(step.at);
                break;
            case Verb::Noise:
                ++noise;
                break;
            case Verb::Break:
                ++breaks;
                break;
            case Verb::Temp:
                ++temps;
                EXPECT_GE(step.celsius, -55.0);
                EXPECT_LE(step.celsius, 125.0);
                break;
            case Verb::Sensor:
                ++sensors;
                break;
            case Verb::Switch:
                ++switches;
                break;
            case Verb::Reset:
            case Verb::Power:
            case Verb::Brownout:
            case Verb::Fault:
            case Verb::Stuck:
                ++restarts;
                break;
        }
    }
    // About 4.8 hours: hundreds of frames, and some of every kind of stimulus.
    EXPECT_GT(sends, 300);
    EXPECT_GT(long_frames, 10);
    EXPECT_GT(pairs, 20);
    EXPECT_GT(noise, 20);
    EXPECT_GT(breaks, 10);
    EXPECT_GT(restarts, 0);  // resets, power cycles and faults too
    EXPECT_GT(temps, 40);
    EXPECT_GT(sensors, 4);
    EXPECT_GT(switches, 60);
}

TEST(ScenarioGenerator, EveryByteSurvivesTheScenarioFile)
{
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    for (const std::string& bytes : {all, std::string("V00=1 "), std::string("#V01=5$ \t"), std::string("\\x41")}) {
        std::istringstream in("1 send " + soak::escape_for_scenario(bytes) + "\n");
        sim::Scenario scenario = sim::parse_scenario(in, "escaped");
        ASSERT_EQ(scenario.steps.size(), 1U);
        EXPECT_EQ(scenario.steps[0].bytes, bytes);
    }
}

}  // namespace
