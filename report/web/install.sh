#!/bin/bash
# Installs the pinned npm packages of this folder (the charting library that kova's
# pages inline, and the browser driver of their tests) with npm ci, when node_modules
# is missing or package-lock.json changed since the last install. Idempotent; needs
# the npm registry only when it installs. Uses Debian's chromium, never a browser
# download of its own.
set -euo pipefail
web=$(cd "$(dirname "$0")" && pwd)
installed="$web/node_modules/.kova-installed-lock"
# One install at a time: builds and the set-up may run this together.
exec 9<"$web/package-lock.json"
flock 9
cmp -s "$web/package-lock.json" "$installed" && exit 0
if ! command -v npm >/dev/null; then
    if [[ $(id -u) -ne 0 ]]; then
        echo "report/web: npm is missing; install it with apt-get install npm" >&2
        exit 1
    fi
    echo "report/web: installing npm"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends npm >/dev/null
fi
PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --prefix "$web" --no-audit --no-fund --loglevel=error
cp "$web/package-lock.json" "$installed"
