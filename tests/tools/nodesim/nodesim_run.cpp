#include "nodesim_run.h"

#include "child_process.h"
#include "jsonl_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <optional>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace scenario_test {

std::vector<sim::trace::Event> read_trace(const std::string& path)
{
    std::vector<sim::trace::Event> events;
    std::ifstream in(path);
    sim::trace::JsonlReader reader;
    for (std::string line; std::getline(in, line);)
        if (auto event = reader.read(line)) events.push_back(std::move(*event));
    return events;
}

std::string without_line_numbers(const std::string& path)
{
    std::ifstream in(path);
    std::string out;
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(",\"line\":");
        if (at != std::string::npos) line.erase(at, line.find('}', at) - at);
        out += line + "\n";
    }
    return out;
}

std::string test_directory()
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "run";
    return (std::filesystem::temp_directory_path() / "nodesim-scenarios" / name).string();
}

std::string fresh_test_directory()
{
    const std::string dir = test_directory();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

std::vector<Byte> NodeRun::sent(const std::string& port) const
{
    std::vector<Byte> out;
    for (const auto& [t, tx] : of_kind<sim::trace::Tx>())
        if (tx.port == port) out.push_back({t, static_cast<char>(tx.byte)});
    return out;
}

std::string NodeRun::text(const std::string& port) const
{
    std::string out;
    for (const Byte& b : sent(port)) out += b.c;
    return out;
}

std::vector<NodeRun::Message> NodeRun::reports() const
{
    std::vector<Message> out;
    auto bytes = sent("USART1");
    size_t i = 0;
    // Skip the greeting: everything up to its line feed.
    while (i < bytes.size() && bytes[i].c != '\n') ++i;
    ++i;
    Message current{0, ""};
    for (; i < bytes.size(); ++i) {
        if (current.text.empty()) current.t = bytes[i].t;
        current.text += bytes[i].c;
        if (bytes[i].c == '$') {
            out.push_back(current);
            current = {0, ""};
        }
    }
    if (!current.text.empty()) out.push_back(current);
    return out;
}

std::vector<std::pair<double, int>> NodeRun::pin(const std::string& name) const
{
    std::vector<std::pair<double, int>> out;
    std::optional<int> level;
    for (const auto& [t, pin] : of_kind<sim::trace::PinLevel>()) {
        if (pin.pin != name) continue;
        if (level && *level != pin.level) out.emplace_back(t, pin.level);
        level = pin.level;
    }
    return out;
}

std::vector<Timed<sim::trace::PinLevel>> NodeRun::pin_states(const std::string& name) const
{
    auto states = of_kind<sim::trace::PinLevel>();
    std::erase_if(states, [&name](const auto& state) { return state.what.pin != name; });
    return states;
}

std::string NodeRun::end_reason() const
{
    if (events.empty()) return "";
    const auto* end = std::get_if<sim::trace::End>(&events.back().what);
    return end ? end->reason : "";
}

std::string read_all(FILE* pipe)
{
    std::string text;
    std::array<char, 4096> buffer;
    while (size_t got = std::fread(buffer.data(), 1, buffer.size(), pipe)) text.append(buffer.data(), got);
    return text;
}

NodeRun run_node(const std::string& scenario, double seconds, const std::vector<std::string>& extra)
{
    std::filesystem::path dir = fresh_test_directory();
    common::Launch launch{.argv = {NODESIM_PATH, "--fast", "--quiet", "--duration", std::to_string(seconds), "--trace",
                                   (dir / "trace.jsonl").string()},
                          .input = common::Redirect::null()};
    if (!scenario.empty()) {
        std::ofstream(dir / "stimuli.scn") << scenario;
        launch.argv.insert(launch.argv.end(), {"--scenario", (dir / "stimuli.scn").string()});
    }
    launch.argv.insert(launch.argv.end(), extra.begin(), extra.end());

    NodeRun run;
    auto out = common::make_pipe();
    if (!out) return run;
    launch.output = launch.errors = common::Redirect::from(out->write_end.get());
    common::ChildProcess node(launch);
    out->write_end.reset();
    if (!node.started()) return run;
    char buffer[4096];
    for (ssize_t got; (got = ::read(out->read_end.get(), buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        run.output.append(buffer, static_cast<size_t>(got));
    }
    run.status = common::exit_code(node.wait());

    run.events = read_trace((dir / "trace.jsonl").string());
    return run;
}

}  // namespace scenario_test
