#!/bin/bash
# The remote shell of the virtual cluster (PVM_RSH): pvmd calls it as
#   vcluster-rsh.sh HOST [-l LOGIN] [-n] COMMAND...
# to start the pvmd of HOST. The command runs on this machine in a host of its
# own: host name HOST, its own private /tmp ($VCLUSTER_RUN_DIR/tmp/HOST, see
# vcluster-tmp.sh), and the environment a login on HOST would give (HOST, USER,
# LOGNAME).
set -euo pipefail
(($# >= 2)) || { echo "usage: vcluster-rsh.sh host [-l login] [-n] command..." >&2; exit 1; }
host=$1
shift
while (($#)); do
    case "$1" in
        -l) shift 2 ;;
        -n) shift ;;
        *) break ;;
    esac
done
(($#)) || { echo "vcluster-rsh: no command for $host" >&2; exit 1; }
[[ -n "${VCLUSTER_RUN_DIR:-}" ]] || { echo "vcluster-rsh: VCLUSTER_RUN_DIR is not set (runs only inside vcluster.sh)" >&2; exit 1; }
tmp=$VCLUSTER_RUN_DIR/tmp/$host
[[ "$host" =~ ^node[0-9]+$ && -d "$tmp" ]] || { echo "vcluster-rsh: $host: unknown host" >&2; exit 1; }

export HOST=$host USER=$(id -un)
export LOGNAME=$USER
# Like rsh, the words of the command are joined and run by a shell.
exec unshare --uts --mount -- bash -c 'hostname "$1" && bash "$2" "$3" && shift 3 && exec sh -c "$*"' \
    vcluster-host "$host" "$(dirname "$0")/vcluster-tmp.sh" "$tmp" "$@"
