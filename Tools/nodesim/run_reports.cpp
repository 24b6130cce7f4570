#include "run_reports.h"

#include <cstdio>
#include <stdexcept>

#include "profile_report.h"
#include "run_outputs.h"

namespace nodesim {

RunReports::RunReports(const Options& options, sim::Board& board, sim::cpu::ElfFirmware* image)
    : board_(board), image_(image)
{
    if (image_ && (!options.profile.empty() || !options.cycles.empty())) {
        profiler_ = std::make_unique<sim::cpu::CycleProfiler>(image_->image(), board.chip.core_cycles());
        for (const std::string& name : options.cycles) {
            std::vector<int> found = profiler_->functions().named(name);
            if (found.empty()) throw std::runtime_error("--cycles " + name + ": the image has no such function");
            if (found.size() > 1) {
                std::string names;
                for (int f : found) names += (names.empty() ? "" : ", ") + profiler_->functions().name(f);
                throw std::runtime_error("--cycles " + name + " stands for several functions (" + names +
                                         "): give the whole name");
            }
            profiler_->time_calls(found.front());
            timed_.emplace_back(name, found.front());
        }
        if (!options.profile.empty()) {
            profile_file_ = open_output(options.profile);
            profile_path_ = options.profile;
        }
        image_->runner().observe(profiler_.get());
    }
    if (options.onewire_margins) {
        margins_.emplace();
        board_.sensor.on_slot([this](const sim::OneWireSlave::Slot& slot) { margins_->add(slot); });
    }
}

RunReports::~RunReports()
{
    if (profiler_) image_->runner().observe(nullptr);
    if (margins_) board_.sensor.on_slot(nullptr);
}

bool RunReports::finish()
{
    bool written = true;
    if (profiler_) {
        profiler_->finish(board_.chip.core_cycles());
        for (const auto& [name, function] : timed_) {
            const sim::cpu::CallCycles c = sim::cpu::summarize_calls(profiler_->calls_of(function));
            std::printf(
                "nodesim: cycles %s: %zu calls, min %llu, median %llu, max %llu (per call, with its callees "
                "and the interrupts taken meanwhile)\n",
                name.c_str(), c.calls, static_cast<unsigned long long>(c.min),
                static_cast<unsigned long long>(c.median), static_cast<unsigned long long>(c.max));
        }
        if (profile_file_) {
            profiler_->write_folded(*profile_file_);
            profile_file_->flush();
            written = profile_file_->good();
            std::printf(
                "nodesim: profile of %llu cycles by call stack in %s; stack %s\n",
                static_cast<unsigned long long>(profiler_->total_cycles()), profile_path_.c_str(),
                sim::cpu::describe_stack(sim::cpu::stack_room(image_->image()), profiler_->lowest_sp()).c_str());
        }
    }
    if (margins_) {
        board_.sensor.finish_slot();
        std::fputs(margins_->table().c_str(), stdout);
    }
    std::fflush(stdout);
    return written;
}

}  // namespace nodesim
