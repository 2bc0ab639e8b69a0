#!/bin/bash
# Starts or stops the project's stand-in mSQL server (the legacy recorder's database).
#   msqld.sh start   write msql.conf, create database "parallel_performance" with its
#                    tables (msql/server/parallel_performance.sql), start msqld
#   msqld.sh stop    stop it (the data stay for the next run)
#   msqld.sh status  exit 0 when the server answers
# Everything lives in the mSQL installation directory (KOVA_MSQL_INST_DIR, default
# $KOVA_STATE_DIR/msql, which must match the build's KOVA_MSQL_INST_DIR): msql.conf,
# msql2.pid, msqld.log and the data directory msqldb (one SQLite file per database);
# the UNIX socket msql2.sock is in the project's short socket folder
# ($KOVA_STATE_DIR/sockets links to it). TCP on 127.0.0.1:$KOVA_MSQL_PORT; without that setting
# on 1114 or, when another program holds 1114, on the next free port. The clients
# read the port from msql.conf. It is never a system-wide service, and it never
# touches a server that is not its own.
set -euo pipefail
source "$(dirname "$0")/common.sh"
inst=${KOVA_MSQL_INST_DIR:-$KOVA_STATE_DIR/msql}
conf=$inst/msql.conf
sock=$KOVA_SOCKET_DIR/msql2.sock
pidf=$inst/msql2.pid
log=$inst/msqld.log
data=$inst/msqldb
bin=$KOVA_BUILD_DIR/bin/msqld
schema=$KOVA_ROOT/msql/server/parallel_performance.sql

# The server answers when a connection on its socket gets the protocol-23 greeting.
answers() {
    [[ -S "$sock" ]] &&
        timeout 3 socat -t1 - UNIX-CONNECT:"$sock" </dev/null 2>/dev/null | head -c 64 | grep -aq '0:23:'
}

# A process that has ended but is not yet reaped (a zombie) counts as gone.
alive() {
    local state
    state=$(ps -o stat= -p "$1" 2>/dev/null) && [[ $state != Z* ]]
}

server_pid() {
    local pid
    [[ -f "$pidf" ]] && pid=$(cat "$pidf" 2>/dev/null) && alive "$pid" && echo "$pid"
    return 0
}

# The port of the configuration written at the last start ("" when there is none).
configured_port() {
    [[ ! -f "$conf" ]] || sed -n 's/^tcp_port = //p' "$conf" | head -n1
}

# The port to start on: $KOVA_MSQL_PORT, which must be free, or 1114 or the next
# free one.
choose_port() {
    local user
    if [[ -n "${KOVA_MSQL_PORT:-}" ]]; then
        user=$(kova_port_user 127.0.0.1 "$KOVA_MSQL_PORT") || { port=$KOVA_MSQL_PORT; return 0; }
        echo "msqld: port $KOVA_MSQL_PORT of 127.0.0.1 (KOVA_MSQL_PORT) is in use by $user, which is not" \
            "this project's server ($inst); it is left alone. Choose another port, or leave KOVA_MSQL_PORT" \
            "unset for the first free one from 1114." >&2
        exit 3
    fi
    port=$(kova_free_port 127.0.0.1 1114) || exit 3
    ((port == 1114)) || echo "msqld: port 1114 is in use by $(kova_port_user 127.0.0.1 1114); using port $port"
}

stop() {
    local pid port
    port=$(configured_port)
    pid=$(server_pid)
    # A server of this configuration may also run without its pid file.
    [[ -z "$pid" ]] && pid=$(pgrep -f -- "msqld -f $conf\$" || true)
    if [[ -n "$pid" ]]; then
        kill $pid 2>/dev/null || true
        for _ in $(seq 1 100); do
            alive $pid || break
            sleep 0.1
        done
        alive $pid && kill -9 $pid 2>/dev/null || true
    fi
    kova_own_folder "$KOVA_SOCKET_DIR" >/dev/null && rm -f "$sock"
    rm -f "$pidf"
    [[ -z "$port" ]] || rm -f "$KOVA_FORWARD_DIR/$port"
}

# A setting's line of the configuration. The client reads 160 characters of a line:
# a longer path below the installation's folder is written as %I/..., which msqld and
# the client expand to the folder the build gave them (the same, see above).
conf_line() {
    local line="$1 = $2"
    if ((${#line} > 160)) && [[ "$2" == "$inst"* ]]; then line="$1 = %I${2#"$inst"}"; fi
    printf '%s\n' "$line"
}

write_config() {
    cat >"$conf" <<EOF
# Written by scripts/msqld.sh on every start; read by msqld and by the mSQL client.
[general]
$(conf_line inst_dir "$inst")
tcp_port = $port
unix_port = $sock
$(conf_line pid_file "$pidf")
$(conf_line db_dir "$data")

[system]
remote_access = false
local_access = true
EOF
}

start() {
    local port
    mkdir -p "$inst" "$data"
    kova_check_socket_dir || exit 1
    if answers && [[ -n "$(server_pid)" ]]; then
        port=$(configured_port)
        echo "msqld: already running ($sock)"
    else
        stop
        [[ -x "$bin" ]] || { echo "msqld: $bin is not built" >&2; exit 1; }
        choose_port
        write_config
        kova_make_socket_dir || exit 1
        "$bin" -f "$conf" >>"$log" 2>&1 </dev/null &
        for _ in $(seq 1 100); do
            answers && break
            alive $! || break
            sleep 0.1
        done
        answers || { tail -5 "$log" >&2; echo "msqld: server did not start" >&2; exit 1; }
        echo "msqld: started on 127.0.0.1:$port ($sock)"
    fi
    sqlite3 -bail "$data/parallel_performance.db" <"$schema" ||
        { echo "msqld: creating database parallel_performance failed" >&2; exit 1; }
    echo "$sock" >"$KOVA_FORWARD_DIR/$port"
}

case "${1:-}" in
    start) start ;;
    stop) stop; kova_release_socket_dir; echo "msqld: stopped" ;;
    status) kova_check_socket_dir && answers ;;
    *) echo "usage: $0 start|stop|status" >&2; exit 2 ;;
esac
