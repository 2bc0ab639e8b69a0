#!/bin/bash
# The project's test command: installs what is missing, builds, starts the private
# servers, runs every test with ctest, stops the servers. Exits non-zero on any failure.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$KOVA_ROOT"
bash scripts/deps.sh
cmake -S . -B "$KOVA_BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$KOVA_BUILD_DIR" -j"$(nproc)"

servers=(mariadb msqld)
stop_servers() {
    for s in "${servers[@]}"; do bash "scripts/$s.sh" stop >/dev/null 2>&1 || true; done
}
trap stop_servers EXIT
# A server left over from an aborted run is stopped before a fresh start.
stop_servers
for s in "${servers[@]}"; do bash "scripts/$s.sh" start; done
bash scripts/schema.sh

ctest --test-dir "$KOVA_BUILD_DIR" --output-on-failure --no-tests=error "$@"
