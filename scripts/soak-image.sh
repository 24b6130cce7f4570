#!/usr/bin/env bash
# The soak on the flashable image: node.elf on nodesim's emulated Cortex-M4 for DAYS simulated days
# (default 1) under the generated mix of seed SEED (default 1), judged from its trace as the host build's
# soak is. Prints the table; exits non-zero if a check failed. A simulated day takes about 3 minutes of
# one core (6 of wall time on a busy machine).
#   scripts/soak-image.sh [days] [seed]
set -euo pipefail
cd "$(dirname "$0")/.."
days=${1:-1}
seed=${2:-1}
cmake --preset host >/dev/null
cmake --build --preset host --target soak nodesim >&2
cmake --preset stm32f411 >/dev/null
cmake --build --preset stm32f411 >&2
exec build/host/Tools/soak/soak --days "$days" --seed "$seed" --elf build/stm32f411/node.elf
