#!/usr/bin/env bash
# Benchmark (not a test): one simulated day of the node with the firmware built into nodesim, and one
# simulated hour of the flashable image on the emulated core (--elf), each with a command frame from the
# dashboard every minute and a temperature that drifts by +-5 C over the day, run with --fast. Prints
# nodesim's closing line for each and a table of virtual time, wall time and their ratio (targets: the
# day in under 5 s, 17 000 times real time; the image at least 1 500 times real time), with the CPU time
# (user + system) each took and the ratio of virtual time to it.
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
cpu_file=$(mktemp)
trap 'rm -f "$scenario" "$cpu_file" "$cpu_file.out"' EXIT
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

# Runs nodesim with the given options and prints its closing line, then "V W R C": virtual, wall and CPU
# seconds (user + system, which a loaded machine inflates far less than the wall time) and the ratio.
measure() {
    local line
    TIMEFORMAT='%U %S'
    { time "$nodesim" --fast --quiet --scenario "$scenario" "$@" >"$cpu_file.out"; } 2>"$cpu_file"
    line=$(tail -n 1 "$cpu_file.out")
    echo "$line" >&2
    read -r user sys <"$cpu_file"
    echo "$(figures <<<"$line") $(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')"
}

rows=("host build|$(measure --duration "$seconds")")
if [ -f "$elf" ]; then
    rows+=("image (--elf)|$(measure --elf "$elf" --duration "$image_seconds")")
fi
printf '\n%-14s %12s %10s %10s %16s %18s\n' "firmware" "virtual s" "wall s" "CPU s" "times real time" "times real (CPU)"
for row in "${rows[@]}"; do
    IFS='|' read -r name numbers <<<"$row"
    read -r virtual wall ratio cpu <<<"$numbers"
    printf '%-14s %12.0f %10.2f %10.2f %16.0f %18.0f\n' "$name" "$virtual" "$wall" "$cpu" "$ratio" \
        "$(awk -v v="$virtual" -v c="$cpu" 'BEGIN { print (c > 0 ? v / c : 0) }')"
done
