#!/usr/bin/env bash
# Benchmark (not a test): one simulated day of the node with the firmware built into nodesim, and one
# simulated hour of the flashable image on the emulated core (--elf), each with a command frame from the
# dashboard every minute and a temperature that drifts by +-5 C over the day, run with --fast. Prints
# nodesim's closing line for each and a table of virtual time, wall time and their ratio (targets: the
# day in under 5 s, 17 000 times real time; the image at least 300 times real time).
#   Tools/nodesim/benchmark.sh [path/to/nodesim] [seconds] [path/to/node.elf] [image seconds]
# The image is left out when node.elf is not there (build it with the stm32f411 preset).
set -euo pipefail
cd "$(dirname "$0")/../.."
nodesim=${1:-build/host/Tools/nodesim/nodesim}
seconds=${2:-86400}
elf=${3:-build/stm32f411/node.elf}
image_seconds=${4:-3600}
if [ ! -x "$nodesim" ]; then
    cmake --preset host >/dev/null
    cmake --build --preset host --target nodesim >&2
fi
scenario=$(mktemp --suffix=.scn)
trap 'rm -f "$scenario"' EXIT
# Each minute: the temperature at the sensor, then 30 s later a frame (duty commands and LED switching
# by turns).
longest=$((seconds > image_seconds ? seconds : image_seconds))
awk -v end="$longest" 'BEGIN {
    for (t = 60; t < end; t += 60) {
        printf "%d temp %.4f\n", t, 20 + 5 * sin(2 * 3.14159265358979 * t / 86400)
        m = t / 60
        if (m % 2) printf "%d send V01=%d$\n", t + 30, m % 101
        else printf "%d send V00=%d\n", t + 30, (m / 2) % 2
    }
}' >"$scenario"

# "nodesim: V s of virtual time in W s of wall time, R times real time" -> "V W R"
figures() { sed -E 's/^nodesim: ([0-9.]+) s of virtual time in ([0-9.]+) s of wall time, ([0-9.]+) times.*/\1 \2 \3/'; }

host_line=$("$nodesim" --fast --quiet --duration "$seconds" --scenario "$scenario" | tail -n 1)
echo "$host_line"
rows=("host build|$(figures <<<"$host_line")")
if [ -f "$elf" ]; then
    image_line=$("$nodesim" --elf "$elf" --fast --quiet --duration "$image_seconds" --scenario "$scenario" | tail -n 1)
    echo "$image_line"
    rows+=("image (--elf)|$(figures <<<"$image_line")")
fi
printf '\n%-14s %12s %10s %16s\n' "firmware" "virtual s" "wall s" "times real time"
for row in "${rows[@]}"; do
    IFS='|' read -r name numbers <<<"$row"
    read -r virtual wall ratio <<<"$numbers"
    printf '%-14s %12.0f %10.2f %16.0f\n' "$name" "$virtual" "$wall" "$ratio"
done
