#!/bin/bash
# Creates the measurement tables in the private MariaDB server's database KOVAData
# (idempotent). Needs the server running (scripts/mariadb.sh start) and the built
# program $KOVA_BUILD_DIR/bin/kovaschema.
set -euo pipefail
source "$(dirname "$0")/common.sh"
tool=$KOVA_BUILD_DIR/bin/kovaschema
if [[ ! -x "$tool" ]]; then
    echo "schema: $tool is missing; build the project first" >&2
    exit 1
fi
"$tool"
