#!/usr/bin/env bash
# The long soak: the node for DAYS simulated days (default 7) under the generated mix of commands,
# garbage, long frames, line errors, temperatures, sensor faults and switch changes of seed SEED
# (default 1), judged from its trace as it runs. Prints the table; exits non-zero if a check failed.
# A simulated day takes about 10 s of CPU (nodesim and the checker, side by side).
#   scripts/soak.sh [days] [seed]
set -euo pipefail
cd "$(dirname "$0")/.."
days=${1:-7}
seed=${2:-1}
cmake --preset host >/dev/null
cmake --build --preset host --target soak nodesim >&2
exec build/host/Tools/soak/soak --days "$days" --seed "$seed"
