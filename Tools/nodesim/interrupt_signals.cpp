#include "interrupt_signals.h"

#include <csignal>

namespace nodesim {

namespace {

volatile std::sig_atomic_t g_raised = 0;

void on_signal(int)
{
    g_raised = 1;
}

}  // namespace

InterruptSignals::InterruptSignals()
{
    g_raised = 0;
    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_flags = SA_RESETHAND;  // the second one takes the default action
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

InterruptSignals::~InterruptSignals()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

bool InterruptSignals::raised() const
{
    return g_raised != 0;
}

}  // namespace nodesim
