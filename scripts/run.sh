#!/bin/bash
# The system's main job: the exeKOVA benchmark on a 3-host virtual PVM cluster,
# measured into the private MariaDB server.
#   run.sh [FOLDER]   FOLDER (default ./exekova-run) receives the master's weight
#                     file backprop.nnw
# Installs what is missing, builds exeKOVA and the schema tool into build/, starts
# the database server (unless it runs already; on the next free port when another
# program holds the build's) and creates the tables, runs
# exeKOVA on node1 of the cluster, then shows the stored experiments and, for the
# parallel one, every process's host and time per phase type; analyses the parallel
# experiment with the run's sequential one as reference and writes its HTML report
# (report-ID.html) next to the weight file. Stops what it started; the database's
# data stay in .state/mariadb. Exits with exeKOVA's status.
set -euo pipefail
source "$(dirname "$0")/common.sh"

if (($# > 1)) || [[ "${1:-}" == -* ]]; then
    echo "usage: run.sh [FOLDER]   (FOLDER receives backprop.nnw; default ./exekova-run)" >&2
    exit 2
fi
folder=${1:-exekova-run}
mkdir -p "$folder"
folder=$(cd "$folder" && pwd)

step() { echo; echo "=== $*"; }

step "Installing missing packages"
bash "$KOVA_ROOT/scripts/deps.sh"

step "Building exeKOVA into $KOVA_BUILD_DIR"
# The measurement server's port is compiled in. While this project's server does not
# run, a port that another program holds is left to it: the build and the server
# take the next free one.
if ! bash "$KOVA_ROOT/scripts/mariadb.sh" running; then
    if user=$(kova_port_user "$KOVA_DB_HOST" "$KOVA_DB_PORT"); then
        free=$(kova_free_port "$KOVA_DB_HOST" $((KOVA_DB_PORT + 1)))
        echo "Port $KOVA_DB_PORT of $KOVA_DB_HOST is in use by $user; the build and the private server use port $free"
        KOVA_DB_PORT=$free
    fi
fi
export KOVA_DB_PORT
cmake -S "$KOVA_ROOT" -B "$KOVA_BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVA_DB_PORT="$KOVA_DB_PORT" >/dev/null
cmake --build "$KOVA_BUILD_DIR" --target exeKOVA kovaschema kova -j"$(nproc)" >/dev/null

step "Starting the measurement database"
started_db=""
if ! bash "$KOVA_ROOT/scripts/mariadb.sh" status; then
    started_db=1
    trap 'bash "$KOVA_ROOT/scripts/mariadb.sh" stop >/dev/null' EXIT
fi
bash "$KOVA_ROOT/scripts/mariadb.sh" start
bash "$KOVA_ROOT/scripts/schema.sh"

step "exeKOVA on a 3-host virtual cluster, in $folder"
# The slaves go on with their own sequential runs after the master has reported;
# the cluster stays up until they are done.
status=0
(cd "$folder" && bash "$KOVA_ROOT/scripts/vcluster.sh" 3 --bin "$KOVA_BUILD_DIR/bin" -- bash -c \
    'exeKOVA; status=$?; while pgrep -x exeKOVA >/dev/null; do sleep 0.1; done; exit $status') || status=$?
echo "exeKOVA exit status: $status; weight file: $folder/backprop.nnw"

step "Stored experiments of user $(id -un)"
user=$(id -un)
bash "$KOVA_ROOT/scripts/mariadb.sh" sql --table <<SQL
SELECT ID, name, date, p, W, nbrProcesses AS processes, Tp AS 'Tp (us)',
       ELT(statusData + 1, 'started', 'finished') AS status
FROM Experiments WHERE user = '$user' AND name IN ('ANN_example', 'nn') ORDER BY ID;
SQL

step "Parallel experiment: time per phase type of each process (us)"
bash "$KOVA_ROOT/scripts/mariadb.sh" sql --table <<SQL
SELECT t.expID AS experiment, p.processor AS host, p.pvmTid AS tid,
       SUM(IF(t.phaseTypeID = 3, t.duration, 0)) AS work,
       SUM(IF(t.phaseTypeID = 2, t.duration, 0)) AS idle,
       SUM(IF(t.phaseTypeID = 5, t.duration, 0)) AS comm_send,
       SUM(IF(t.phaseTypeID = 6, t.duration, 0)) AS comm_recv,
       SUM(IF(t.phaseTypeID = 7, t.duration, 0)) AS spawn,
       SUM(IF(t.phaseTypeID = 8, t.duration, 0)) AS part,
       SUM(t.duration) AS total
FROM PhaseDurations t
JOIN Processes p ON p.expID = t.expID AND p.ID = t.processID
JOIN Experiments e ON e.ID = t.expID
WHERE e.user = '$user' AND e.name = 'ANN_example'
GROUP BY t.expID, p.processor, p.pvmTid ORDER BY t.expID, p.processor;
SQL

step "Report of the parallel experiment, with the sequential one as reference"
ids=$(bash "$KOVA_ROOT/scripts/mariadb.sh" sql -N -e "SELECT
    (SELECT MAX(ID) FROM Experiments WHERE user = '$user' AND name = 'ANN_example'),
    (SELECT MAX(ID) FROM Experiments WHERE user = '$user' AND name = 'nn')")
read -r expid seqid <<<"$ids"
if [[ "$expid" == NULL || "$seqid" == NULL ]]; then
    echo "No parallel and sequential experiment stored: no report"
else
    "$KOVA_BUILD_DIR/bin/kova" analyse "$expid" --sequential "$seqid" --other-reference
    "$KOVA_BUILD_DIR/bin/kova" report "$expid" -o "$folder/report-$expid.html" >/dev/null
    echo "Open the report of experiment $expid in a browser: $folder/report-$expid.html"
fi

if [[ -n "$started_db" ]]; then
    step "Stopping the measurement database (its data stay in $KOVA_STATE_DIR/mariadb)"
fi
exit "$status"
