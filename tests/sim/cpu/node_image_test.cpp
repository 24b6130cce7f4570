// The flashable image (NODE_ELF) on the emulated core against the board: it greets, reports and obeys
// commands as the host build does, at the same times within 1 ms + 0.1 %, and skipping waiting loops
// changes nothing in its trace. NODESIM names the host build's nodesim, the reference.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "board.h"
#include "cycle_profiler.h"
#include "function_table.h"
#include "image_runner.h"
#include "jsonl_writer.h"
#include "onewire_margins.h"
#include "profile_report.h"
#include "scenario.h"

namespace {

using sim::RunEnd;
using sim::cpu::ElfImage;
using sim::cpu::ImageRunner;

std::string from_environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

struct ImageRun {
    std::string trace;  // JSON lines
    std::string usart1;
    std::string usart2;
    int led = -1;
    RunEnd end;
};

ImageRun run_image(const std::string& scenario_text, sim::Picos duration, sim::cpu::RunnerOptions options = {},
                   const std::function<void(sim::Board&)>& set_up = {})
{
    sim::Board board;
    if (set_up) set_up(board);
    std::ostringstream jsonl;
    sim::trace::Trace trace;
    sim::trace::JsonlWriter writer(jsonl);
    trace.add(writer);
    board.observe(trace);
    std::istringstream scenario_in(scenario_text);
    sim::Scenario scenario = sim::parse_scenario(scenario_in, "test");
    sim::schedule_scenario(scenario, board.chip.scheduler(),
                           [&board](const sim::ScenarioStep& step) { board.apply(step); });

    ElfImage elf = ElfImage::load(from_environment("NODE_ELF"));
    ImageRunner runner(board.chip, elf, options);
    ImageRun run;
    run.end = runner.run(duration);
    trace.finish(board.chip.now());
    run.trace = jsonl.str();
    run.usart1 = board.dashboard.received_text();
    run.usart2 = board.listener.received_text();
    run.led = board.level('C', 13);
    return run;
}

struct Tx {
    double t;
    std::string port;
    int byte;
};

std::vector<Tx> transmitted(std::istream& jsonl)
{
    std::vector<Tx> out;
    for (std::string line; std::getline(jsonl, line);) {
        auto event = nlohmann::json::parse(line);
        if (event["kind"] == "tx") out.push_back({event["t"].get<double>(), event["port"], event["byte"].get<int>()});
    }
    return out;
}

class NodeImage : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (from_environment("NODE_ELF").empty()) GTEST_FAIL() << "NODE_ELF must name node.elf";
    }
};

const char* const kCommands =
    "0.3 send V00=1\\r\\n\n"
    "0.5 send V01=75$\n";

TEST_F(NodeImage, GreetsReportsAndObeysCommandsAtTheHostBuildsTimes)
{
    ImageRun image = run_image(kCommands, sim::seconds(11));
    ASSERT_EQ(image.end.kind, RunEnd::Kind::TimeLimit) << image.end.reason;
    EXPECT_EQ(image.usart2, "Hola\r\nreset: power-on\r\n");
    EXPECT_EQ(image.usart1.rfind("Hola\r\n!A00=22.0$!A01=0$", 0), 0U) << image.usart1;
    EXPECT_EQ(image.led, 0);  // V00=1: the LED on, its pin driven low

    // The host build on the same scenario, through nodesim.
    std::string nodesim = from_environment("NODESIM");
    ASSERT_FALSE(nodesim.empty()) << "NODESIM must name the host build's nodesim";
    std::string dir = ::testing::TempDir();
    std::ofstream(dir + "/commands.scn") << kCommands;
    std::string command =
        nodesim + " --fast --quiet --duration 11 --scenario " + dir + "/commands.scn --trace " + dir + "/host.jsonl";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream host_in(dir + "/host.jsonl");
    std::istringstream image_in(image.trace);
    auto host = transmitted(host_in);
    auto emulated = transmitted(image_in);
    ASSERT_EQ(host.size(), emulated.size());
    ASSERT_GT(host.size(), 60U);  // the greetings and three report cycles
    for (size_t i = 0; i < host.size(); ++i) {
        EXPECT_EQ(emulated[i].port, host[i].port) << "byte " << i;
        EXPECT_EQ(emulated[i].byte, host[i].byte) << "byte " << i;
        EXPECT_NEAR(emulated[i].t, host[i].t, 1e-3 + 1e-3 * host[i].t) << "byte " << i;
    }
}

// The reset button mid-report, then the supply off for a second: each time the core restarts from the
// vector table with every model reset, and greets again.
TEST_F(NodeImage, ResetsRestartTheImageFromItsVectorTable)
{
    ImageRun image = run_image("", sim::seconds(6), {}, [](sim::Board& board) {
        sim::Chip& chip = board.chip;
        chip.scheduler().schedule(sim::milliseconds(740), [&chip](sim::Picos) {
            chip.request_reset(sim::ResetCause::Pin, sim::microseconds(20));
        });
        chip.scheduler().schedule(sim::seconds(3), [&chip](sim::Picos) { chip.power_off(); });
        chip.scheduler().schedule(sim::seconds(4), [&chip](sim::Picos) { chip.power_on(); });
    });
    ASSERT_EQ(image.end.kind, RunEnd::Kind::TimeLimit) << image.end.reason;
    EXPECT_EQ(image.usart2, "Hola\r\nreset: power-on\r\nHola\r\nreset: pin\r\nHola\r\nreset: power-on\r\n");
    const size_t pin = image.trace.find("\"kind\":\"reset\"");
    ASSERT_NE(pin, std::string::npos);
    EXPECT_NE(image.trace.find("\"cause\":\"pin\"", pin), std::string::npos);
    EXPECT_NE(image.trace.find("\"cause\":\"power-on\"", pin), std::string::npos);
    // After the pin reset the node reports a cycle after its new start, as from power-on.
    EXPECT_NE(image.usart1.find("Hola\r\n!A00=22.0$!A01=0$Hola\r\n"), std::string::npos) << image.usart1;
}

TEST_F(NodeImage, SkippingWaitingLoopsAndShortHandlersLeaveTheTraceUnchangedToTheNanosecond)
{
    // The greeting, the first report (its 1-Wire conversation and the 800 ms conversion wait, with the
    // tick's handler taken short in it), and a command received by DMA with its interrupts: against
    // every instruction and every exception on the engine.
    ImageRun fast = run_image(kCommands, sim::milliseconds(1100));
    ImageRun slow = run_image(kCommands, sim::milliseconds(1100), {.skip_waits = false, .short_handlers = false});
    EXPECT_EQ(fast.end.kind, RunEnd::Kind::TimeLimit) << fast.end.reason;
    EXPECT_EQ(fast.trace, slow.trace);
    EXPECT_NE(fast.trace.find("\"onewire\""), std::string::npos);
    EXPECT_NE(fast.trace.find("\"tx\",\"port\":\"USART1\",\"byte\":33"), std::string::npos);
    // The 4 s pause on the cycle counter, parked with the ticks taken short, into the second report:
    // against the ticks taken on the engine, the loop recognised again after each.
    ImageRun parked = run_image(kCommands, sim::milliseconds(5900));
    ImageRun engine = run_image(kCommands, sim::milliseconds(5900), {.skip_waits = true, .short_handlers = false});
    EXPECT_EQ(parked.trace, engine.trace);
    EXPECT_NE(parked.usart1.find("!A01=0$!A00=22.0$"), std::string::npos) << parked.usart1;
}

// The profiler on the image itself: its stacks add up to the run's cycles with the waits jumped over
// (they are the waiting function's), it never loses track of the call stack, watching changes nothing
// the board sees, and the stack stays inside the linker script's reserve.
TEST_F(NodeImage, ProfileAddsUpNamesTheWaitsAndChangesNothing)
{
    auto run = [](bool profiled, std::string& trace_out) {
        sim::Board board;
        std::ostringstream jsonl;
        sim::trace::Trace trace;
        sim::trace::JsonlWriter writer(jsonl);
        trace.add(writer);
        board.observe(trace);
        ElfImage elf = ElfImage::load(from_environment("NODE_ELF"));
        ImageRunner runner(board.chip, elf);
        sim::cpu::CycleProfiler profiler(elf, board.chip.core_cycles());
        if (profiled) runner.observe(&profiler);
        EXPECT_EQ(runner.run(sim::seconds(6)).kind, RunEnd::Kind::TimeLimit);
        profiler.finish(board.chip.core_cycles());
        trace.finish(board.chip.now());
        trace_out = jsonl.str();
        if (!profiled) return;
        EXPECT_GT(runner.counts().skips, 0U);
        EXPECT_EQ(profiler.resyncs(), 0U);
        EXPECT_EQ(profiler.total_cycles(), count_of(board.chip.core_cycles()));
        uint64_t waiting = 0, sum = 0;
        for (const auto& [stack, cycles] : profiler.stacks()) {
            sum += cycles;
            const std::string& leaf = profiler.functions().name(stack.back());
            if (leaf.starts_with("delay_us_dwt") || leaf.starts_with("HAL_Delay")) waiting += cycles;
            EXPECT_EQ(profiler.functions().name(stack.front()), "Reset_Handler");
        }
        EXPECT_EQ(sum, profiler.total_cycles());
        // The report cycle's pause, the conversion's wait on the tick and the 1-Wire slots: most of the time.
        EXPECT_GT(waiting, sum * 3 / 4);
        const sim::cpu::StackRoom room = sim::cpu::stack_room(elf);
        EXPECT_EQ(room.top, 0x20020000U);
        ASSERT_TRUE(room.reserve.has_value());
        EXPECT_LT(room.top - profiler.lowest_sp(), *room.reserve);
        EXPECT_GT(room.top - profiler.lowest_sp(), 64U);
    };
    std::string watched, plain;
    run(true, watched);
    run(false, plain);
    EXPECT_EQ(watched, plain);
}

// The image's functions by name and address as the profile shows them: C++ names demangled and found
// without their parameters, overloads kept apart, one name for code several symbols share, the code
// between two functions named by neither.
TEST_F(NodeImage, FunctionsAreNamedAndFoundAsAUserWritesThem)
{
    ElfImage elf = ElfImage::load(from_environment("NODE_ELF"));
    sim::cpu::FunctionTable table(elf);
    auto one = [&](const std::string& name) {
        std::vector<int> found = table.named(name);
        EXPECT_EQ(found.size(), 1U) << name;
        return found.empty() ? std::string() : table.name(found.front());
    };
    EXPECT_EQ(one("onewire_Write"), "onewire_Write(unsigned char)");
    EXPECT_EQ(one("onewire_Write(unsigned char)"), "onewire_Write(unsigned char)");
    EXPECT_EQ(one("_Z13onewire_Writeh"), "onewire_Write(unsigned char)");
    EXPECT_EQ(one("__aeabi_dadd"), "__adddf3");  // two global names of one routine: the first alphabetically
    EXPECT_EQ(table.named("uartx_write_text").size(), 2U);
    EXPECT_TRUE(table.named("no_such_function").empty());
    ASSERT_TRUE(elf.symbol("_Z13onewire_Writeh").has_value());
    const uint32_t entry = *elf.symbol("_Z13onewire_Writeh") & ~1U;
    EXPECT_EQ(table.name(table.at(entry)), "onewire_Write(unsigned char)");
    EXPECT_EQ(table.name(table.at(entry - 0x08000000U)), "onewire_Write(unsigned char)");  // the flash alias
    EXPECT_EQ(table.at(0x08000000U), sim::cpu::FunctionTable::kNone);                      // the vector table
}

}  // namespace
