#!/usr/bin/env bash
# Compares what two builds of the simulator show, byte for byte: the traces and waveforms that the
# whole-node scenario tests write, those of the acceptance suite's stimuli (scenarios/, its expectation
# lines blanked so that a base from before them reads the files too), and the trace of one simulated hour
# of the soak generator's scenario (seed 1). A refactor or a speed-up must leave every byte as it was.
# A test that only one side has is listed, not compared.
# With --image, the same for the flashable image on the emulated core (nodesim --elf): the image's
# traces of the side-by-side scenario tests and of the same hour, both builds running the working tree's
# node.elf (built with the stm32f411 preset when missing), so that only the simulator differs.
#   scripts/compare-traces.sh [--image] [BASE]     BASE: a commit (default HEAD), built in build/trace-base
# The working tree is built with the host preset. Exits 0 when everything is the same, 1 when not.
set -euo pipefail
cd "$(dirname "$0")/.."
image=0
if [ "${1:-}" = "--image" ]; then
    image=1
    shift
fi
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
targets=(node_scenario_tests soak nodesim)
[ $image = 1 ] && targets+=(nodesim_image_tests)
(cd "$base_tree" && cmake --preset host >/dev/null && cmake --build --preset host --target "${targets[@]}" >/dev/null)
cmake --preset host >/dev/null
cmake --build --preset host --target "${targets[@]}" >/dev/null
elf=$top/build/stm32f411/node.elf
if [ $image = 1 ] && [ ! -f "$elf" ]; then
    cmake --preset stm32f411 >/dev/null
    cmake --build --preset stm32f411 --target node.elf >/dev/null
fi

# One hour of the soak generator's mix, written once by the base's generator, run by both.
"$base_tree/build/host/Tools/soak/soak" --days 0.041667 --seed 1 --generate-only --scenario-out "$work/hour.scn" >/dev/null
# The acceptance suite's stimuli, each line where it was (the trace names the scenario's lines).
mkdir -p "$work/stimuli"
for file in scenarios/*.scenario; do
    awk '{ if (NF == 0 || $1 ~ /^#/ || $2 ~ /^(send|break|noise|switch|temp|sensor)$/) print; else print "#" }' \
        "$file" >"$work/stimuli/$(basename "$file")"
done

# The acceptance suite's stimuli through one side's nodesim (`$@`: --elf FILE for the image) into `out`.
run_acceptance() {
    local tree=$1 out=$2
    shift 2
    local file name crystal
    for file in "$work"/stimuli/*.scenario; do
        name=$(basename "$file" .scenario)
        crystal=()
        if grep -q "crystal missing" "scenarios/$name.scenario"; then crystal=(--no-crystal); fi
        "$tree/build/host/Tools/nodesim/nodesim" "$@" --fast --quiet --duration 25 "${crystal[@]}" --scenario "$file" \
            --trace "$out/acceptance-$name.jsonl" >/dev/null
    done
}

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
    run_acceptance "$tree" "$out"
    [ $image = 1 ] || return 0
    # Each side-by-side case runs the host build, then the image, in one folder: the image's trace stays.
    mkdir -p "$out/image"
    TMPDIR=$out/image NODE_ELF=$elf "$tree/build/host/tests/tools/nodesim/nodesim_image_tests" \
        --gtest_filter='WholeNode/*' >"$out.image.log" 2>&1 ||
        { echo "image side-by-side tests failed in $tree (see $out.image.log)"; return 1; }
    "$tree/build/host/Tools/nodesim/nodesim" --elf "$elf" --fast --quiet --duration 3600 --scenario "$work/hour.scn" \
        --trace "$out/image/hour.jsonl" --vcd "$out/image/hour.vcd" >/dev/null
    run_acceptance "$tree" "$out/image" --elf "$elf"
}
run_side "$base_tree" "$work/base"
run_side "$top" "$work/head"

list() { (cd "$1" && find . -type f \( -name '*.jsonl' -o -name '*.vcd' \) | sort); }
both=$(comm -12 <(list "$work/base") <(list "$work/head"))
one_side=$(comm -3 <(list "$work/base") <(list "$work/head") | tr -d '\t')
[ -z "$one_side" ] || echo "compare-traces: written by one side only, not compared:" $one_side
different=()
for file in $both; do
    cmp -s "$work/base/$file" "$work/head/$file" || different+=("$file")
done
if [ ${#different[@]} -eq 0 ]; then
    echo "compare-traces: $(echo "$both" | wc -l) traces and waveforms identical to $base ($(git rev-parse --short "$base"))"
    exit 0
fi
echo "compare-traces: differences from $base:" "${different[@]}"
exit 1
