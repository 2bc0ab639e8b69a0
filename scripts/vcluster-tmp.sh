#!/bin/bash
# Gives a host of the virtual cluster a /tmp of its own, in the caller's mount
# namespace (vcluster.sh and vcluster-rsh.sh call it in fresh ones):
#   vcluster-tmp.sh FOLDER
# mounts FOLDER over /tmp. The entries of /tmp named in $VCLUSTER_SHARED_TMP
# (separated by spaces) stay visible at their usual paths: the project, its
# state folder or its programs may lie below /tmp.
set -euo pipefail
(($# == 1)) || { echo "usage: vcluster-tmp.sh FOLDER" >&2; exit 2; }
private=$1
for entry in ${VCLUSTER_SHARED_TMP:-}; do
    mkdir -p "$private/$entry"
    mount --bind "/tmp/$entry" "$private/$entry"
done
# Recursively, so that the shared entries come along.
mount --rbind "$private" /tmp
