#!/usr/bin/env bash
# The dashboard's web server under load, as figures (Tools/dashboard/bench/load_bench.cpp): a
# command's time while 1 000 /state answers or 200 downloads go unread, ab -k on /state, 20 000
# connections trickling unfinished requests, the peak memory. Release build, no sanitizers. Takes
# about two minutes; the figures depend on the machine and on what else it runs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
# ab, from Apache's tools.
if ! command -v ab >/dev/null 2>&1; then
    apt-get update >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends apache2-utils >&2
fi
cmake -S Tools/dashboard -B build/dashboard-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DDASHBOARD_SANITIZE=OFF >/dev/null
cmake --build build/dashboard-release --target dashboard dashboard_load_bench >&2
# Both ends of 20 000 connections, and some to spare.
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"
exec build/dashboard-release/tests/dashboard_load_bench
