// A timer on the chip's event queue, owned by the model whose activity it times: built once with what
// it does, then armed, moved and cancelled as that activity requires. It replaces a raw event id kept
// beside the model's state, so that a model cannot forget to clear the id when its event runs, cancel
// an id that is already spent, or leave an event behind that calls into a destroyed model.
//
// Arming a timer that is already armed moves it; arming it from inside its own action re-arms it (a
// periodic activity, like the SysTick wrap, schedules its next step this way without a new event).
// Inside its own action a timer reads as not armed until it is armed again.
#pragma once

#include <array>
#include <cstddef>
#include <utility>

#include "scheduler.h"

namespace sim {

class Timer {
public:
    using Action = Scheduler::Action;

    Timer(Scheduler& scheduler, Action action) : scheduler_(&scheduler), action_(std::move(action)) {}
    ~Timer() { cancel(); }
    // The action usually holds the owner's `this`: a timer stays with the object it was built for.
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Runs the action once virtual time reaches `at` (moved there if already armed).
    void arm_at(Picos at)
    {
        if (id_ == 0 || !scheduler_->reschedule(id_, at)) arm_anew(at);
    }
    // Does nothing when the timer is not armed.
    void cancel()
    {
        if (id_ == 0) return;
        scheduler_->cancel(id_);
        id_ = 0;
    }
    bool armed() const { return id_ != 0 && scheduler_->pending(id_); }
    // When the action runs; kNever when the timer is not armed.
    Picos due() const { return id_ == 0 ? kNever : scheduler_->due(id_); }

private:
    // Out of line: a periodic timer re-arming itself never comes here, and its path stays short.
    [[gnu::noinline]] void arm_anew(Picos at) { id_ = scheduler_->schedule(at, action_); }

    Scheduler* scheduler_;
    Action action_;
    Scheduler::Id id_ = 0;
};

// A timer on the scheduler's direct slot (scheduler.h), for the one periodic activity that runs most
// often: the same use as Timer, with an action that is a plain function of the owner. At most one lives
// on a scheduler at a time.
class DirectTimer {
public:
    DirectTimer(Scheduler& scheduler, Scheduler::DirectAction action, void* owner) : scheduler_(&scheduler)
    {
        scheduler_->claim_direct(action, owner);
    }
    ~DirectTimer() { scheduler_->release_direct(); }
    DirectTimer(const DirectTimer&) = delete;
    DirectTimer& operator=(const DirectTimer&) = delete;

    void arm_at(Picos at) { scheduler_->arm_direct(at); }
    void cancel() { scheduler_->cancel_direct(); }
    bool armed() const { return scheduler_->direct_due() != kNever; }
    Picos due() const { return scheduler_->direct_due(); }

private:
    Scheduler* scheduler_;
};

// N timers, the i-th built with make_action(i): one timer for each channel or stream of a model.
template <size_t N, typename MakeAction>
std::array<Timer, N> make_timers(Scheduler& scheduler, MakeAction make_action)
{
    return [&]<size_t... I>(std::index_sequence<I...>)
    {
        return std::array<Timer, N>{Timer(scheduler, make_action(static_cast<int>(I)))...};
    }
    (std::make_index_sequence<N>{});
}

}  // namespace sim
