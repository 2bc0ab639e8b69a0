#!/bin/bash
# Installs the Debian packages of scripts/packages.txt that are missing, then the
# pinned npm packages of report/web.
# Idempotent: does nothing (and needs no network) when all are present.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
missing=()
while read -r pkg; do
    [[ -z "$pkg" || "$pkg" == \#* ]] && continue
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done < "$here/packages.txt"
if ((${#missing[@]} == 0)); then
    # The pinned npm packages of the HTML pages (npm ci when missing or changed).
    exec bash "$here/../report/web/install.sh"
fi
echo "deps: installing ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
    echo "deps: missing packages and not root; install them with apt-get: ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
# Installing mariadb-server must not start a system-wide server: the project runs its own.
if [[ ! -e /usr/sbin/policy-rc.d ]]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod +x /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
bash "$here/../report/web/install.sh"
