// Ctrl-C (SIGINT) and SIGTERM during a run: noted here and acted on at the pacer's next step, so that the
// run ends with its trace files complete. A program that started nodesim ends it with SIGTERM; a second
// Ctrl-C ends the process the ordinary way.
#pragma once

namespace nodesim {

class InterruptSignals {
public:
    InterruptSignals();   // catches both signals from now on
    ~InterruptSignals();  // back to their default action
    InterruptSignals(const InterruptSignals&) = delete;
    InterruptSignals& operator=(const InterruptSignals&) = delete;

    // One of them has arrived.
    bool raised() const;
};

}  // namespace nodesim
