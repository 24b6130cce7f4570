#!/usr/bin/env bash
# The long timing sweep: every report character, both changes of rx_armed, every cycle start and every
# 1-Wire exchange of the baseline's first cycle, each with the stimuli that can race with what the
# main loop does there, placed every STEP ns (default 10) from HALF ns before to HALF ns after the
# moment (default 1000). Prints one table per group; exits non-zero if a placement failed.
# Some 19 000 placements.
# With --image the flashable image (node.elf) runs on nodesim's emulated core.
#   scripts/sweep.sh [--image] [STEP_NS] [HALF_NS]
set -euo pipefail
cd "$(dirname "$0")/.."
image=()
if [ "${1:-}" = "--image" ]; then
    shift
    image=(--elf build/stm32f411/node.elf)
fi
step=${1:-10}
half=${2:-1000}
cmake --preset host >/dev/null
cmake --build --preset host --target sweep nodesim >&2
if [ ${#image[@]} -gt 0 ]; then
    cmake --preset stm32f411 >/dev/null
    cmake --build --preset stm32f411 >&2
fi
status=0
sweep() {
    build/host/Tools/sweep/sweep "${image[@]}" --before "$half" --after "$half" --step "$step" "$@" || status=1
}
# The reports: the main loop's transmit loop and its polls of SR, against a line error (a noisy byte
# with a command behind it; a break's framing error comes up the same way).
sweep --moments report-start:0-16,report-end:0-16 --stimuli noise
# The end of a frame and the re-arming: every stimulus on the line.
sweep --moments armed --stimuli noise,break,frame-first,frame-last
# The cycle's start: the flag test, the interpretation, the re-arming and the first 1-Wire reset.
sweep --moments cycle --stimuli noise,break,frame-first,frame-last,switch,sensor
# The 1-Wire exchanges: a line error's handlers inside a bit slot, a sensor fault, a switch edge.
sweep --moments onewire:0-10 --stimuli noise,sensor,switch
exit $status
