#!/usr/bin/env bash
# Builds the simulator and the dashboard, and starts the dashboard with a simulated node of its own
# in real time; open the URL it prints. Ctrl-C stops both. Extra arguments go to the dashboard (see
# --help): --device /dev/ttyUSB0 for a real board, --tcp HOST:PORT for a nodesim already running,
# --listen 127.0.0.1:8081 for another port, --speed 10 for a faster node, --mqtt mqtt://127.0.0.1:1883
# to bridge the node to an MQTT broker and Home Assistant.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
cmake --preset host >/dev/null
cmake --build --preset host --target nodesim >&2
# A release build without the sanitizers (the test command keeps its own sanitized one in
# build/dashboard): under a page's load AddressSanitizer's build took some 850 MB against 30 MB.
cmake -S Tools/dashboard -B build/dashboard-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DDASHBOARD_SANITIZE=OFF >/dev/null
cmake --build build/dashboard-release --target dashboard >&2
# With a simulated node and no options of its own for it, the node follows an hour's demonstration
# (a temperature that moves, a switch pressed now and then).
case " $* " in
    *" --device "*|*" --tcp "*|*" -- "*|*" --temp "*) ;;
    *) set -- "$@" -- --scenario Tools/dashboard/demo.scenario ;;
esac
exec build/dashboard-release/dashboard "$@"
