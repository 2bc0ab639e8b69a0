#!/bin/bash
# Runs one measured program over a range of host counts and problem sizes on the
# virtual cluster (scripts/vcluster.sh), each configuration a given number of
# times, so that the measurement database holds a series for `kova scaling`.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

readonly EXIT_USAGE=2

usage() {
    cat <<EOF
usage: sweep.sh --hosts RANGE [--sizes "W..."] [--repeat N] [--keep-every-run]
                [--timeout SECONDS] [--bin DIR] [--log-dir DIR] -- command [args...]

Runs 'command' on node1 of a fresh virtual cluster for every number of hosts in
RANGE and every size W, each configuration N times (default 1), and prints one
progress line per run. In the command, {HOSTS} stands for the number of hosts,
{SLAVES} for one less, and {W} for the size. {W} must be the value of the
option that the program stores as its W: testLumo -s (the vector size), tourga
-o (the population), annpipe -w (the training passes). For example:
  sweep.sh --hosts 2..8 --sizes "10000 100000 1000000" -- testLumo -m -s {W}
  sweep.sh --hosts 3..5 --sizes "20 40" --repeat 2 -- tourga -p {SLAVES} -o {W}

  --hosts RANGE      FROM..TO, or numbers separated by commas or blanks
  --sizes "W..."     the problem sizes (required when the command uses {W})
  --repeat N         runs per configuration (default 1)
  --keep-every-run   store every repetition (the programs' KOVA_KEEP_EVERY_RUN=1):
                     testLumo and annpipe otherwise keep only the fastest run of a
                     configuration; tourga keeps every run anyway
  --timeout SECONDS  per run (default 300); a run that exceeds it counts as failed
  --bin DIR          PVM's executable path (default \$KOVA_BUILD_DIR/bin,
                     now $KOVA_BUILD_DIR/bin)
  --log-dir DIR      where each run's output goes, as run-K.log (default
                     \$KOVA_STATE_DIR/sweeps/<date-time>)
Exit status: 0 when every run ended by itself (whatever its own exit status,
which the progress line shows), 1 when a run timed out or its cluster failed,
$EXIT_USAGE on a wrong command line.
EOF
}

die_usage() {
    echo "sweep: $1" >&2
    echo "usage: sweep.sh --hosts RANGE [--sizes \"W...\"] [--repeat N] [--keep-every-run] [options] -- command [args...]" >&2
    exit $EXIT_USAGE
}

is_count() { [[ $1 =~ ^[1-9][0-9]*$ ]]; }

# The host counts of a RANGE, one per line.
host_counts() {
    local range=$1
    if [[ $range =~ ^([0-9]+)\.\.([0-9]+)$ ]]; then
        local from=${BASH_REMATCH[1]} to=${BASH_REMATCH[2]}
        is_count "$from" && is_count "$to" && ((from <= to)) || die_usage "empty or invalid host range '$range'"
        seq "$from" "$to"
    else
        local count
        for count in ${range//,/ }; do
            is_count "$count" || die_usage "'$count' in --hosts is not a number of hosts"
            echo "$count"
        done
    fi
}

hosts_range="" sizes="" repeat=1 timeout=300 bin=$KOVA_BUILD_DIR/bin log_dir="" keep_every_run=0
while (($# > 0)); do
    case $1 in
        --hosts) (($# >= 2)) || die_usage "--hosts needs a range"; hosts_range=$2; shift 2 ;;
        --sizes) (($# >= 2)) || die_usage "--sizes needs the sizes"; sizes=$2; shift 2 ;;
        --repeat) (($# >= 2)) && is_count "$2" || die_usage "--repeat needs a positive number"; repeat=$2; shift 2 ;;
        --keep-every-run) keep_every_run=1; shift ;;
        --timeout) (($# >= 2)) && is_count "$2" || die_usage "--timeout needs a positive number of seconds"
            timeout=$2; shift 2 ;;
        --bin) (($# >= 2)) || die_usage "--bin needs a folder"; bin=$2; shift 2 ;;
        --log-dir) (($# >= 2)) || die_usage "--log-dir needs a folder"; log_dir=$2; shift 2 ;;
        --help) usage; exit 0 ;;
        --) shift; break ;;
        *) die_usage "unknown option '$1'" ;;
    esac
done
(($# > 0)) || die_usage "no command given"
[[ -n $hosts_range ]] || die_usage "--hosts is required"
counts=$(host_counts "$hosts_range")
[[ -n $counts ]] || die_usage "--hosts names no host count"
command=("$@")
if [[ "${command[*]}" == *"{W}"* ]]; then
    [[ -n $sizes ]] || die_usage "the command uses {W} but no --sizes are given"
elif [[ -n $sizes ]]; then
    die_usage "--sizes given but the command has no {W}"
else
    sizes="-"
fi
# The option whose value a measured program stores as W: {W} anywhere else would
# make every size a repetition of one configuration.
size_option() {
    case $(basename "$1") in
        testLumo) echo "-s" ;;
        tourga) echo "-o" ;;
        annpipe) echo "-w" ;;
    esac
}
W_option=$(size_option "${command[0]}")
if [[ -n $W_option && $sizes != "-" ]]; then
    at_option=0
    for ((k = 1; k + 1 < ${#command[@]}; k++)); do
        [[ ${command[k]} == "$W_option" && ${command[k + 1]} == *"{W}"* ]] && at_option=1
    done
    ((at_option)) || die_usage "$(basename "${command[0]}") stores the value of $W_option as W: put {W} after $W_option"
fi
[[ -d $bin ]] || die_usage "no executable folder $bin"
log_dir=${log_dir:-$KOVA_STATE_DIR/sweeps/$(date +%Y%m%d-%H%M%S)-$$}
mkdir -p "$log_dir"

# The command of one run, each word quoted for the shell, placeholders filled in.
command_line() {
    local hosts=$1 W=$2 word line=""
    for word in "${command[@]}"; do
        word=${word//\{HOSTS\}/$hosts}
        word=${word//\{SLAVES\}/$((hosts - 1))}
        word=${word//\{W\}/$W}
        line+=" $(printf '%q' "$word")"
    done
    ((keep_every_run)) && line=" KOVA_KEEP_EVERY_RUN=1$line"
    echo "${line# }"
}

# After the command, wait (at most 60 s) until no task of the program is left on the
# cluster: slaves may still be storing their measurements when the master has ended,
# and the cluster's end would cut them short.
program=$(basename "${command[0]}")
await_tasks="status=\$?; for _ in \$(seq 600); do pgrep -x $(printf '%q' "${program:0:15}") >/dev/null || break; sleep 0.1; done; exit \$status"

total=$(($(wc -w <<<"$counts") * $(wc -w <<<"$sizes") * repeat))
run=0 failed=0
for W in $sizes; do
    for hosts in $counts; do
        for ((k = 1; k <= repeat; k++)); do
            run=$((run + 1))
            log=$log_dir/run-$run.log
            line=$(command_line "$hosts" "$W")
            echo "$line" >"$log"
            start=$(date +%s.%N)
            status=0
            "$KOVA_ROOT/scripts/vcluster.sh" "$hosts" --timeout "$timeout" --bin "$bin" -- bash -c "$line; $await_tasks" \
                >>"$log" 2>&1 </dev/null || status=$?
            seconds=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
            case $status in
                124) failed=$((failed + 1)); outcome="timed out" ;;
                125) failed=$((failed + 1)); outcome="cluster failed" ;;
                *) outcome="exit $status" ;;
            esac
            size_text=""
            [[ $W != "-" ]] && size_text=", W $W"
            echo "sweep: run $run/$total: $hosts hosts$size_text, repetition $k/$repeat: $outcome, $seconds s ($log)"
        done
    done
done
echo "sweep: $run runs, $failed failed; logs in $log_dir"
((failed == 0))
