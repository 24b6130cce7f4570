#!/usr/bin/env bash
# Starts every program the README tells a user to start, as the README shows it, and checks that each
# works: scripts/run-node.sh for a few simulated seconds with commands typed, scripts/run-dashboard.sh
# (its release build) with its own node, its page, /state and a POST /led acted on, then Ctrl-C; the
# flash targets' dry run. scripts/test.sh runs it once the host and stm32f411 builds exist; the
# scripts it starts build what is missing (the dashboard's release build in build/dashboard-release).
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 tests/readme/readme_commands_test.py "$@"
