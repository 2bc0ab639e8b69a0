#!/bin/bash
# Runs a command on host node1 of a private PVM virtual machine of N hosts
# (node1..nodeN) built on this one machine, and tears the machine down afterwards.
#
# The whole cluster lives in its own network, UTS, mount and PID namespaces: the
# hosts are addresses 10.77.0.1..N on the namespace's loopback, named in a private
# hosts file; each host has its own host name and its own /tmp (where its pvmd
# keeps its socket file and log), in which the folders of /tmp that hold the
# project, its state or its programs stay visible. The private servers registered in
# $KOVA_STATE_DIR/forward are reachable from every host at 127.0.0.1:<port>.
# Everything started inside ends when the command ends (or times out, or the
# script is signalled), because the namespace's first process then exits.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
scripts_dir=$KOVA_ROOT/scripts
self=$scripts_dir/vcluster.sh

readonly EXIT_USAGE=2 EXIT_TIMEOUT=124 EXIT_SETUP=125
readonly SUBNET=10.77.0
readonly MAX_HOSTS=250

usage() {
    cat <<EOF
usage: vcluster.sh N [--timeout SECONDS] [--keep-logs] [--bin DIR] -- command [args...]

Runs 'command' on host node1 of a private PVM virtual machine of N hosts
(node1..nodeN, 1 <= N <= $MAX_HOSTS), in the current working directory, and
exits with the command's exit status. Everything is torn down afterwards.
The executable directory comes first in the command's PATH.

  --timeout SECONDS  end the command after SECONDS (default 300, 0 = never);
                     exit status $EXIT_TIMEOUT then
  --keep-logs        keep the run folder (pvmd logs, the hosts' working
                     directories) also when the command succeeds
  --bin DIR          PVM's executable path (default \$KOVA_BUILD_DIR/bin,
                     now $KOVA_BUILD_DIR/bin)
  --help             print this text

Each host's spawned tasks start in that host's own working directory
<run folder>/nodeK; the run folder is $KOVA_STATE_DIR/vcluster/<run-id>.
Every host, node1 included, has a /tmp of its own: files in this machine's
/tmp are not visible inside (a working directory there still works), except
the folders of /tmp that hold the project, its state folder or the executable
directory, which every host sees at their usual paths.
The command sees:
  VCLUSTER_RUN_DIR    the run folder
  VCLUSTER_HOSTS      the host names, separated by spaces
  VCLUSTER_WD_nodeK   the working directory of host nodeK's tasks
  VCLUSTER_PVMLOG     node1's pvmd log, where output of spawned tasks lands
Exit status: the command's; $EXIT_TIMEOUT on time-out; $EXIT_SETUP when the cluster
could not be set up; $EXIT_USAGE on a wrong command line.
EOF
}

die_usage() {
    echo "vcluster: $1" >&2
    echo "usage: vcluster.sh N [--timeout SECONDS] [--keep-logs] [--bin DIR] -- command [args...]" >&2
    echo "       vcluster.sh --help for details" >&2
    exit $EXIT_USAGE
}

# ---------------------------------------------------------------------------
# Inside the namespaces: the life of host node1.
# Arguments: run folder, number of hosts, time-out, executable directory, then
# -- and the command.
# ---------------------------------------------------------------------------
node1_main() {
    # It changes host name, /etc/hosts and /tmp: only ever as the first process
    # of namespaces of its own.
    (($$ == 1)) || { echo "vcluster: --node1 is for vcluster.sh's own use" >&2; exit $EXIT_USAGE; }
    local run=$1 hosts=$2 timeout=$3 bin_dir=$4
    shift 5
    : >"$run/namespaces"
    local k host
    local -a forwarders=()
    local pvmd_pid="" cmd_pid="" watchdog_pid="" stop_signal=""
    # Failures are handled one by one here: the cluster must always be torn down.
    set +e

    setup_failed() {
        echo "vcluster: $1" >&2
        teardown
        exit $EXIT_SETUP
    }

    teardown() {
        [[ -n "$watchdog_pid" ]] && kill "$watchdog_pid" 2>/dev/null
        if [[ -n "$pvmd_pid" ]] && kill -0 "$pvmd_pid" 2>/dev/null; then
            # SIGTERM makes the master pvmd stop every other host's pvmd and its tasks.
            kill -TERM "$pvmd_pid" 2>/dev/null
            for _ in $(seq 50); do kill -0 "$pvmd_pid" 2>/dev/null || break; sleep 0.1; done
            kill -KILL "$pvmd_pid" 2>/dev/null
        fi
        for k in "${forwarders[@]}"; do kill "$k" 2>/dev/null; done
        end_namespace_processes
    }

    # What still runs (slave pvmds, orphaned tasks) is stopped and reaped here, so
    # that nothing of the cluster outlives this process. /proc shows only this PID
    # namespace, whose first process this is.
    end_namespace_processes() {
        local signal pid
        local -a left
        for signal in TERM TERM KILL KILL KILL; do
            left=()
            for pid in /proc/[0-9]*; do
                pid=${pid#/proc/}
                ((pid != 1 && pid != BASHPID)) && [[ -e /proc/$pid/ns/net ]] && left+=("$pid")
            done
            ((${#left[@]})) || return 0
            kill "-$signal" "${left[@]}" 2>/dev/null
            sleep 0.2
        done
        return 0
    }

    on_signal() {
        stop_signal=$1
        [[ -n "$cmd_pid" ]] && kill "-$1" "$cmd_pid" 2>/dev/null
        [[ -z "$cmd_pid" ]] && { teardown; exit $((128 + $(kill -l "$1"))); }
        return 0
    }
    trap 'on_signal TERM' TERM
    trap 'on_signal HUP' HUP
    trap 'on_signal INT' INT

    # The network: loopback with one address per host, names in a private hosts file.
    mount --make-rprivate / || setup_failed "cannot make the mounts private"
    ip link set lo up || setup_failed "cannot bring up the loopback interface"
    {
        echo "127.0.0.1 localhost"
        echo "::1 localhost ip6-localhost ip6-loopback"
        for ((k = 1; k <= hosts; k++)); do
            ip addr add "$SUBNET.$k/32" dev lo || setup_failed "cannot add address $SUBNET.$k"
            echo "$SUBNET.$k node$k"
        done
    } >"$run/hosts"
    mount --bind "$run/hosts" /etc/hosts || setup_failed "cannot mount the private hosts file"
    hostname node1 || setup_failed "cannot set the host name"
    bash "$scripts_dir/vcluster-tmp.sh" "$run/tmp/node1" || setup_failed "cannot mount node1's private /tmp"

    export HOST=node1 USER LOGNAME=$USER
    export PVM_ALLOW_ROOT=1 PVM_RSH=$scripts_dir/vcluster-rsh.sh PVM_DEBUGGER=$scripts_dir/pvm-debugger.sh
    export PATH=$bin_dir:$PATH
    export VCLUSTER_RUN_DIR=$run VCLUSTER_PVMLOG=$run/tmp/node1/pvml.$(id -u)
    VCLUSTER_HOSTS=$(for ((k = 1; k <= hosts; k++)); do printf 'node%d ' $k; done)
    export VCLUSTER_HOSTS=${VCLUSTER_HOSTS% }
    for ((k = 1; k <= hosts; k++)); do export "VCLUSTER_WD_node$k=$run/node$k"; done

    start_forwarders
    start_pvm

    # The command: stdin passed on explicitly (a background job would get
    # /dev/null) and SIGINT restored (a background job would ignore it).
    env --default-signal=INT,QUIT "$@" <&0 &
    cmd_pid=$!
    local -a waited=("$cmd_pid")
    if ((timeout > 0)); then
        sleep "$timeout" &
        watchdog_pid=$!
        waited+=("$watchdog_pid")
    fi
    local rc finished timed_out=""
    while true; do
        finished=""
        if wait -n -p finished "${waited[@]}"; then rc=0; else rc=$?; fi
        # An empty 'finished' means a trapped signal interrupted the wait.
        finished=${finished:-}
        [[ "$finished" == "$cmd_pid" ]] && break
        if [[ -n "$finished" && "$finished" == "$watchdog_pid" ]]; then
            watchdog_pid=""
            timed_out=1
            echo "vcluster: time-out: the command ran longer than $timeout s and is stopped: $*" >&2
            kill -TERM "$cmd_pid" 2>/dev/null
            sleep 0.2
            for _ in $(seq 50); do kill -0 "$cmd_pid" 2>/dev/null || break; sleep 0.1; done
            kill -KILL "$cmd_pid" 2>/dev/null
            wait "$cmd_pid" 2>/dev/null
            break
        fi
    done
    teardown
    [[ -n "$timed_out" ]] && exit $EXIT_TIMEOUT
    [[ -n "$stop_signal" ]] && ((rc == 0)) && rc=$((128 + $(kill -l "$stop_signal")))
    exit "$rc"
}

# Starts one forwarder per registered service: 127.0.0.1:<port> inside the
# namespace to the UNIX socket named in $KOVA_FORWARD_DIR/<port>, and waits
# until all of them listen.
start_forwarders() {
    local file port socket why
    local -a ports=()
    for file in "$KOVA_FORWARD_DIR"/*; do
        [[ -e "$file" ]] || continue
        port=${file##*/}
        if ! [[ "$port" =~ ^[1-9][0-9]{0,4}$ ]] || ((port > 65535)); then
            echo "vcluster: ignoring $file: its name is not a TCP port" >&2
            continue
        fi
        socket=$(head -n1 "$file")
        if ! why=$(kova_own_folder "$(dirname -- "$socket")"); then
            echo "vcluster: port $port not forwarded: the folder of '$socket' is not this user's own ($why)" >&2
            continue
        fi
        if [[ ! -S "$socket" ]]; then
            echo "vcluster: port $port not forwarded: '$socket' is not a listening socket (server stopped?)" >&2
            continue
        fi
        (cd "$run" && exec socat TCP-LISTEN:"$port",bind=127.0.0.1,reuseaddr,fork,nodelay UNIX-CONNECT:"$socket") \
            </dev/null 2>>"$run/forward.log" &
        forwarders+=($!)
        ports+=("$port")
    done
    for port in "${ports[@]}"; do
        for _ in $(seq 100); do
            ss -Hltn "sport = :$port" | grep -q . && continue 2
            sleep 0.05
        done
        setup_failed "the forwarder of port $port does not listen (see $run/forward.log)"
    done
}

# Starts the master pvmd on node1 and adds node2..nodeN; every host's pvmd
# logs to pvml.<uid> in its private /tmp, that is in $run/tmp/<host>.
start_pvm() {
    (cd "$run/node1" && exec pvmd "$run/hostfile") </dev/null >"$run/pvmd.out" 2>&1 &
    pvmd_pid=$!
    # The master pvmd prints its socket address when it is ready.
    for _ in $(seq 200); do
        [[ -s "$run/pvmd.out" ]] && break
        kill -0 "$pvmd_pid" 2>/dev/null || break
        sleep 0.05
    done
    if [[ ! -s "$run/pvmd.out" ]] || ! kill -0 "$pvmd_pid" 2>/dev/null; then
        cat "$run/pvmd.out" "$run/tmp/node1/pvml.$(id -u)" >&2 2>/dev/null
        setup_failed "the master pvmd did not start on node1"
    fi
    ((hosts > 1)) || return 0
    local others
    others=$(for ((k = 2; k <= hosts; k++)); do printf ' node%d' $k; done)
    printf 'add%s\nconf\nquit\n' "$others" | timeout 60 pvm >"$run/console.out" 2>&1 || true
    if ! grep -q "^$hosts hosts," "$run/console.out"; then
        cat "$run/console.out" >&2
        setup_failed "not every host joined the virtual machine (see $run)"
    fi
}

# ---------------------------------------------------------------------------
# Outside: the command line, the run folder, the namespaces, the report.
# ---------------------------------------------------------------------------
[[ "${1:-}" == --node1 ]] && { shift; node1_main "$@"; }

hosts="" timeout=300 keep_logs="" bin_dir=$KOVA_BUILD_DIR/bin
while (($#)); do
    case "$1" in
        --help | -h) usage; exit 0 ;;
        --timeout)
            (($# >= 2)) || die_usage "--timeout needs a number of seconds"
            [[ "$2" =~ ^[0-9]+$ ]] || die_usage "--timeout needs a number of seconds, not '$2'"
            timeout=$((10#$2)); shift 2 ;;
        --timeout=*)
            [[ "${1#*=}" =~ ^[0-9]+$ ]] || die_usage "--timeout needs a number of seconds, not '${1#*=}'"
            timeout=$((10#${1#*=})); shift ;;
        --keep-logs) keep_logs=1; shift ;;
        --bin)
            (($# >= 2)) || die_usage "--bin needs a directory"
            bin_dir=$2; shift 2 ;;
        --bin=*) bin_dir=${1#*=}; shift ;;
        --) shift; break ;;
        -*) die_usage "unknown option '$1'" ;;
        *)
            [[ -z "$hosts" ]] || die_usage "unexpected argument '$1' (the command follows --)"
            [[ "$1" =~ ^[0-9]+$ ]] && ((10#$1 >= 1 && 10#$1 <= MAX_HOSTS)) ||
                die_usage "the number of hosts must be between 1 and $MAX_HOSTS, not '$1'"
            hosts=$((10#$1)); shift ;;
    esac
done
[[ -n "$hosts" ]] || die_usage "the number of hosts is missing"
(($# >= 1)) || die_usage "the command is missing (it follows --)"
[[ -d "$bin_dir" ]] || die_usage "the executable directory '$bin_dir' does not exist (build first, or give --bin)"
bin_dir=$(cd "$bin_dir" && pwd)
# Host file options end at white space.
[[ "$bin_dir$KOVA_STATE_DIR$KOVA_ROOT" != *[[:space:]]* ]] ||
    die_usage "the paths of the executables, the state folder and the scripts must not contain white space"
# The top-level entries of /tmp that hold the project's folders and the folders
# of the forwarded sockets: every host's private /tmp keeps them
# (see vcluster-tmp.sh).
VCLUSTER_SHARED_TMP=""
share_tmp_entry() {
    local entry
    [[ "$1" == /tmp/* ]] || return 0
    entry=${1#/tmp/}
    entry=${entry%%/*}
    [[ " $VCLUSTER_SHARED_TMP " == *" $entry "* ]] || VCLUSTER_SHARED_TMP+=" $entry"
}
for folder in "$KOVA_ROOT" "$KOVA_STATE_DIR" "$bin_dir" "$KOVA_BUILD_DIR"; do
    folder=$(realpath -m "$folder")
    [[ "$folder" != /tmp ]] ||
        die_usage "the project, its state folder and the executables cannot be /tmp itself (each host has a /tmp of its own)"
    share_tmp_entry "$folder"
done
for file in "$KOVA_FORWARD_DIR"/*; do
    if [[ -f "$file" ]]; then share_tmp_entry "$(realpath -m "$(dirname "$(head -n1 "$file")")")"; fi
done
export VCLUSTER_SHARED_TMP
for tool in unshare pvmd pvm socat ss; do
    command -v "$tool" >/dev/null || { echo "vcluster: '$tool' is not installed (run scripts/deps.sh)" >&2; exit $EXIT_SETUP; }
done

run_id=$(date +%Y%m%d-%H%M%S)-$$
run=$KOVA_STATE_DIR/vcluster/$run_id
mkdir -p "$run"
for ((k = 1; k <= hosts; k++)); do mkdir -p "$run/node$k" "$run/tmp/node$k"; done
# Options of the '*' line apply to every host, also those added later by hand.
{
    echo "* ep=$bin_dir bx=$scripts_dir/pvm-debugger.sh"
    echo "node1 wd=$run/node1"
    for ((k = 2; k <= hosts; k++)); do echo "&node$k wd=$run/node$k"; done
} >"$run/hostfile"

# The cluster's /proc shows only its own processes: the measurement server's stat
# stays open on descriptor 7 for the benchmarks that read the server's CPU.
server_pid=$(cat "$KOVA_STATE_DIR/mariadb/mysqld.pid" 2>/dev/null || true)
if [[ -n "$server_pid" ]] && exec 7<"/proc/$server_pid/stat"; then
    export KOVA_DB_SERVER_STAT=/proc/self/fd/7
fi 2>/dev/null

# The namespaces' first process is node1_main; unshare itself blocks SIGINT and
# SIGTERM, so signals for the cluster go to that process directly.
USER=$(id -un) env --default-signal=INT,QUIT \
    unshare --net --uts --mount --pid --fork --kill-child --mount-proc \
    bash "$self" --node1 "$run" "$hosts" "$timeout" "$bin_dir" -- "$@" <&0 &
unshare_pid=$!

forwarded=""
forward_signal() {
    local init
    forwarded=$1
    init=$(cat "/proc/$unshare_pid/task/$unshare_pid/children" 2>/dev/null || true)
    [[ -n "$init" ]] && kill "-$1" $init 2>/dev/null
    return 0
}
trap 'forward_signal TERM' TERM
trap 'forward_signal HUP' HUP
trap 'forward_signal INT' INT

while true; do
    if wait "$unshare_pid"; then rc=0; else rc=$?; fi
    kill -0 "$unshare_pid" 2>/dev/null || break
    # A forwarded signal that the cluster does not end within 15 s ends it hard.
    if [[ -n "$forwarded" ]]; then
        for _ in $(seq 150); do kill -0 "$unshare_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$unshare_pid" 2>/dev/null || true
    fi
done

if [[ ! -e "$run/namespaces" ]]; then
    echo "vcluster: cannot create the cluster's namespaces (unshare needs root rights)" >&2
    rm -rf "$run"
    exit $EXIT_SETUP
fi
if [[ $rc -eq 0 && -z "$keep_logs" ]]; then
    rm -rf "$run"
else
    echo "vcluster: exit status $rc; the logs of the run are in $run (pvmd logs: $run/tmp/<host>/pvml.$(id -u))" >&2
fi
exit "$rc"
