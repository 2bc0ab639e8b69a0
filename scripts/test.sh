#!/bin/bash
# The project's test command: installs what is missing, builds, starts the private
# servers, runs every test with ctest, stops the servers. Exits non-zero on any failure.
# Everything it uses is its own, under .state/test: the build (.state/test/build), the
# servers' data, sockets and ports, the virtual clusters' runs. It never reads or
# changes what the main job or a user stored, and it can run while their servers run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export KOVA_STATE_DIR=$root/.state/test
export KOVA_BUILD_DIR=$KOVA_STATE_DIR/build
unset KOVA_DB_HOST KOVA_DB_PORT KOVA_MSQL_INST_DIR KOVA_MSQL_PORT
source "$root/scripts/common.sh"
cd "$KOVA_ROOT"
bash scripts/deps.sh

# The measurement server's port is compiled into the programs: the tests' build keeps
# its port while no other program holds it, and otherwise takes the first free one
# from 3307. The legacy server's port is chosen by msqld.sh (clients read it from
# msql.conf).
export KOVA_DB_PORT=$(kova_build_setting KOVA_DB_PORT 3307)
servers=(mariadb msqld)
stop_servers() {
    for s in "${servers[@]}"; do bash "scripts/$s.sh" stop >/dev/null 2>&1 || true; done
}
trap stop_servers EXIT
# A server left over from an aborted run is stopped before a fresh start.
stop_servers
# A port that another program takes while the build runs is given up for the next
# free one, and the build goes on for that port (only what holds the port is rebuilt).
for attempt in 1 2 3; do
    if kova_port_user "$KOVA_DB_HOST" "$KOVA_DB_PORT" >/dev/null; then
        KOVA_DB_PORT=$(kova_free_port "$KOVA_DB_HOST" 3307)
    fi
    # Optimised as a user's build, without debug information, which would cost the
    # build a third more time.
    cmake -S . -B "$KOVA_BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
        -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DKOVA_STATE_DIR="$KOVA_STATE_DIR" \
        -DKOVA_MSQL_INST_DIR="$KOVA_STATE_DIR/msql" -DKOVA_DB_PORT="$KOVA_DB_PORT" >/dev/null
    cmake --build "$KOVA_BUILD_DIR" -j"$(nproc)"
    kova_port_user "$KOVA_DB_HOST" "$KOVA_DB_PORT" >/dev/null || break
    echo "test: port $KOVA_DB_PORT was taken by another program during the build; building for another" >&2
done

for s in "${servers[@]}"; do bash "scripts/$s.sh" start; done
bash scripts/schema.sh

# Two tests at a time: those that harm a server use one of their own, those that need
# a quiet machine run alone (RUN_SERIAL), those that share rows take a resource lock.
ctest --test-dir "$KOVA_BUILD_DIR" --output-on-failure --no-tests=error -j2 "$@"
