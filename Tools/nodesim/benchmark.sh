#!/usr/bin/env bash
# Benchmark (not a test): one simulated day of the node, a command frame from the dashboard every
# minute and a temperature that drifts by +-5 C over the day, run with --fast. Prints nodesim's closing
# line: virtual time, wall time and their ratio (target: the day in under 5 s, 17 000 times real time).
#   Tools/nodesim/benchmark.sh [path/to/nodesim] [seconds]
set -euo pipefail
cd "$(dirname "$0")/../.."
nodesim=${1:-build/host/Tools/nodesim/nodesim}
seconds=${2:-86400}
if [ ! -x "$nodesim" ]; then
    cmake --preset host >/dev/null
    cmake --build --preset host --target nodesim >&2
fi
scenario=$(mktemp --suffix=.scn)
trap 'rm -f "$scenario"' EXIT
# Each minute: the temperature at the sensor, then 30 s later a frame (duty commands and LED switching
# by turns).
awk -v end="$seconds" 'BEGIN {
    for (t = 60; t < end; t += 60) {
        printf "%d temp %.4f\n", t, 20 + 5 * sin(2 * 3.14159265358979 * t / 86400)
        m = t / 60
        if (m % 2) printf "%d send V01=%d$\n", t + 30, m % 101
        else printf "%d send V00=%d\n", t + 30, (m / 2) % 2
    }
}' >"$scenario"
"$nodesim" --fast --quiet --duration "$seconds" --scenario "$scenario" | tail -n 1
