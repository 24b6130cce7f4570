#!/usr/bin/env bash
# The long soak: the node for DAYS simulated days (default 7) under the generated mix of commands,
# garbage, long frames, line errors, temperatures, sensor faults and switch changes of seed SEED
# (default 1), judged from its trace as it runs. Prints the table; exits non-zero if a check failed.
# A simulated day takes about 10 s of CPU (nodesim and the checker, side by side).
# With --image the flashable image (node.elf) runs on nodesim's emulated core instead of the built-in
# firmware, for 1 day by default: a simulated day takes about a minute of one core.
#   scripts/soak.sh [--image] [days] [seed]
set -euo pipefail
cd "$(dirname "$0")/.."
image=()
default_days=7
if [ "${1:-}" = "--image" ]; then
    shift
    image=(--elf build/stm32f411/node.elf)
    default_days=1
fi
days=${1:-$default_days}
seed=${2:-1}
cmake --preset host >/dev/null
cmake --build --preset host --target soak nodesim >&2
if [ ${#image[@]} -gt 0 ]; then
    cmake --preset stm32f411 >/dev/null
    cmake --build --preset stm32f411 >&2
fi
exec build/host/Tools/soak/soak --days "$days" --seed "$seed" "${image[@]}"
