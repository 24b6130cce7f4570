#!/usr/bin/env bash
# Compares what two builds of the simulator show, byte for byte: the traces and waveforms that the
# whole-node scenario tests write, and the trace of one simulated hour of the soak generator's scenario
# (seed 1); and, when the image is built (build/stm32f411/node.elf), the same image run by both builds'
# nodesim --elf on the side-by-side tests' scenarios and on that hour. A refactor or a speed-up must
# leave every byte as it was.
#   scripts/compare-traces.sh [BASE]     BASE: a commit (default HEAD), built in build/trace-base
# The working tree is built with the host preset. Exits 0 when everything is the same, 1 when not.
set -euo pipefail
cd "$(dirname "$0")/.."
# Resolved here: inside the base's own worktree "HEAD" would name whatever that worktree holds.
base=$(git rev-parse --verify "${1:-HEAD}^{commit}")
top=$(pwd)
work=$top/build/trace-compare
rm -rf "$work"
mkdir -p "$work"

# The base, from a clean checkout of its own.
base_tree=$top/build/trace-base
if [ ! -d "$base_tree/.git" ] && [ ! -f "$base_tree/.git" ]; then
    git worktree add --force --detach "$base_tree" "$base" >/dev/null
else
    git -C "$base_tree" checkout --quiet --detach "$base"
fi
(cd "$base_tree" && cmake --preset host >/dev/null && cmake --build --preset host --target node_scenario_tests soak nodesim >/dev/null)
cmake --preset host >/dev/null
cmake --build --preset host --target node_scenario_tests nodesim >/dev/null

# One hour of the soak generator's mix, written once by the base's generator, run by both.
"$base_tree/build/host/Tools/soak/soak" --days 0.041667 --seed 1 --generate-only --scenario-out "$work/hour.scn" >/dev/null

run_side() {
    local tree=$1 out=$2
    mkdir -p "$out"
    local tests
    # The tests moved between folders over time, and a build folder keeps a binary left where they were:
    # the newest one is the tree's own.
    tests=$(find "$tree/build/host/tests" -name node_scenario_tests -type f -printf '%T@ %p\n' | sort -n | tail -1 | cut -d' ' -f2-)
    TMPDIR=$out "$tests" >"$out.log" 2>&1 ||
        { echo "scenario tests failed in $tree (see $out.log)"; return 1; }
    "$tree/build/host/Tools/nodesim/nodesim" --fast --quiet --duration 3600 --scenario "$work/hour.scn" \
        --trace "$out/hour.jsonl" --vcd "$out/hour.vcd" >/dev/null
    [ -f "$image" ] || return 0
    # The image side by side with the host build (tests/tools/nodesim/image_test.cpp's cases):
    # name, seconds, options, then the scenario's lines.
    local name seconds options lines
    while IFS='|' read -r name seconds options lines; do
        printf '%b' "$lines" >"$work/$name.scn"
        # shellcheck disable=SC2086  # the options are words
        "$tree/build/host/Tools/nodesim/nodesim" --elf "$image" --fast --quiet --duration "$seconds" $options \
            --scenario "$work/$name.scn" --trace "$out/image-$name.jsonl" </dev/null >/dev/null
    done <<'CASES'
Greeting|15|--temp 22|
FrameDuringTheWait|12||2.0 send V00=0\n
FrameDuringTheMeasurement|12||5.2 send V01=75$\n
TwoFramesInOneCycle|12||1.5 send V00=0\n2.5 send V00=1\n6.0 send V00=1\n
Switch|12|--switch 0|3 switch 1\n7 switch float\n
SwitchHighAtReset|6|--switch 1|
Temperature|7|--temp 25.0625|3 temp -10.125\n
BreakOnTheLine|12||1.5 break 10\n6.0 send V00=0\n
NoiseOnTheLine|11||1.0 send V00=0\n6.0 noise\n
SensorAbsent|12||0 sensor absent\n7 sensor ok\n
SensorLineLow|14||0 sensor low\n0.5 temp 40\n5.0 sensor ok\n
SensorCorrupt|12||0 sensor corrupt\n7 sensor ok\n
Pwm|16||1 send V01=75$\n6 send V01=-1$\n11 send V01=0$\n
NoCrystal|2|--no-crystal|
CASES
    "$tree/build/host/Tools/nodesim/nodesim" --elf "$image" --fast --quiet --duration 3600 \
        --scenario "$work/hour.scn" --trace "$out/image-hour.jsonl" >/dev/null
}
# One image for both builds: what is compared is the simulator that runs it.
image=$top/build/stm32f411/node.elf
run_side "$base_tree" "$work/base"
run_side "$top" "$work/head"

files=$(cd "$work/base" && find . -type f \( -name '*.jsonl' -o -name '*.vcd' \) | sort)
if diff -r -q "$work/base" "$work/head" >/dev/null; then
    echo "compare-traces: $(echo "$files" | wc -l) traces and waveforms identical to $base ($(git rev-parse --short "$base"))"
    exit 0
fi
echo "compare-traces: differences from $base:"
diff -r -q "$work/base" "$work/head" || true
exit 1
