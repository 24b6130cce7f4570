#!/usr/bin/env bash
# Builds the simulator and runs one node from reset in real time: its output on both serial ports,
# the LED, the PWM duty and the switch as they change. Type a command frame (V00=1, V01=75$) and
# press Enter to send it from the dashboard's side. Extra arguments go to nodesim (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
cmake --preset host >/dev/null
cmake --build --preset host --target nodesim >&2
exec build/host/Tools/nodesim/nodesim "$@"
