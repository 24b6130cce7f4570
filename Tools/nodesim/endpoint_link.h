// Joins a serial endpoint to the board's USART1 peer during a paced run.
//
// The node's bytes are gathered as its stop bits end and written to the endpoint at the next pacer step,
// so they never reach the other program before the wall clock has reached the time they were sent.
//
// The other program's bytes go onto the node's RX line back to back at 9600 baud (1.0417 ms a
// character), in the order they came, with no framing added. They are taken from the endpoint only as
// fast as the line carries them, and put on the line only a few characters ahead (each queued character
// is ten scheduled level changes; memory stays flat however much the program writes). A program writing
// faster than the line is held back by the endpoint's kernel buffer filling, as by a serial adapter's
// flow control.
#pragma once

#include <string>

#include "board.h"
#include "serial_endpoint.h"
#include "timer.h"

namespace nodesim {

class EndpointLink {
public:
    // `step`: the virtual time between two pacer steps.
    EndpointLink(sim::Board& board, SerialEndpoint& endpoint, sim::Picos step);
    EndpointLink(const EndpointLink&) = delete;
    EndpointLink& operator=(const EndpointLink&) = delete;

    // A pacer step at `at`: the node's bytes out, the other program's in.
    void step(sim::Picos at);
    // The run is over: what the node sent since the last step goes out.
    void finish();

private:
    // The feeder event: tops the line up while bytes wait.
    void feed(sim::Picos at);

    sim::Board& board_;
    SerialEndpoint& endpoint_;
    sim::Picos step_;
    std::string to_program_;
    std::string to_node_;  // taken from the endpoint, not yet on the line
    sim::Timer feeder_;    // armed while bytes wait for the line
};

}  // namespace nodesim
