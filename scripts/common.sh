# Shared settings of the project's scripts; sourced, not run.
KOVA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KOVA_STATE_DIR=${KOVA_STATE_DIR:-$KOVA_ROOT/.state}
KOVA_BUILD_DIR=${KOVA_BUILD_DIR:-$KOVA_ROOT/build}
# The measurement database server's address (must match the build's KOVA_DB_HOST/KOVA_DB_PORT).
KOVA_DB_HOST=${KOVA_DB_HOST:-127.0.0.1}
KOVA_DB_PORT=${KOVA_DB_PORT:-3306}
# Services that the virtual cluster makes reachable inside its network namespace:
# each file in this folder is named after a TCP port and holds the UNIX socket
# path that serves it.
KOVA_FORWARD_DIR=$KOVA_STATE_DIR/forward
mkdir -p "$KOVA_STATE_DIR" "$KOVA_FORWARD_DIR"
