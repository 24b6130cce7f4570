#!/usr/bin/env bash
# Runs a test of the image that needs the host build's programs, or fails it saying what to build.
#   require_host_tools.sh HOST_BUILD_DIR PROGRAM... -- COMMAND [ARGS...]
# Each PROGRAM is a path within HOST_BUILD_DIR (Tools/nodesim/nodesim).
set -uo pipefail
host=$1
shift
missing=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    [ -x "$host/$1" ] || missing+=("$host/$1")
    shift
done
shift
if [ ${#missing[@]} -gt 0 ]; then
    echo "the host build's programs that this test runs are missing: ${missing[*]}" >&2
    echo "build them first (cmake --preset host && cmake --build --preset host), or configure this build" \
         "with -DNODE_HOST_TOOLS_DIR=FOLDER naming a host build folder that has them" >&2
    exit 1
fi
exec "$@"
