#!/bin/bash
# Starts or stops the project's private MariaDB server (the measurement database).
#   mariadb.sh start   initialise the data directory if needed, start the server,
#                      create database "KOVAData" and user "KOVAUser" (empty password)
#   mariadb.sh stop    stop it (the data directory stays for the next run)
#   mariadb.sh status  exit 0 when the server answers
#   mariadb.sh running exit 0 when a server of this data directory runs (answering or not)
#   mariadb.sh sql     run the mariadb client on KOVAData as root (arguments passed on)
# Data live under $KOVA_STATE_DIR/mariadb (default .state/mariadb); the server listens
# on $KOVA_DB_HOST:$KOVA_DB_PORT, the address compiled into the build in
# $KOVA_BUILD_DIR (default build/, port 3306), and on the UNIX socket mysqld.sock in
# the project's short socket folder ($KOVA_STATE_DIR/sockets links to it).
# It is never a system-wide service, and it never touches a server that is not its
# own: when another program holds the port, start says what to do and exits with 3.
set -euo pipefail
source "$(dirname "$0")/common.sh"
dir=$KOVA_STATE_DIR/mariadb
data=$dir/data
sock=$KOVA_SOCKET_DIR/mysqld.sock
pidf=$dir/mysqld.pid
log=$dir/mysqld.log

client() { mariadb --no-defaults --socket="$sock" -uroot "$@"; }

answers() { [[ -S "$sock" ]] && client -e 'SELECT 1' >/dev/null 2>&1; }

server_pid() {
    local pid
    [[ -f "$pidf" ]] && pid=$(cat "$pidf" 2>/dev/null) && kill -0 "$pid" 2>/dev/null && echo "$pid"
    return 0
}

# Whether a server of this data directory runs, also without its pid file.
running() { [[ -n "$(server_pid)" ]] || pgrep -f -- "--datadir=$data( |$)" >/dev/null; }

stop() {
    local pid
    pid=$(server_pid)
    # A server of this data directory may also run without its pid file.
    [[ -z "$pid" ]] && pid=$(pgrep -f -- "--datadir=$data( |$)" || true)
    if [[ -n "$pid" ]]; then
        kill $pid 2>/dev/null || true
        for _ in $(seq 1 100); do
            kill -0 $pid 2>/dev/null || break
            sleep 0.1
        done
        kill -9 $pid 2>/dev/null || true
    fi
    rm -f "$sock" "$pidf" "$KOVA_FORWARD_DIR/$KOVA_DB_PORT"
}

# Refuses to start on a port that another program holds.
check_port_free() {
    local user free build=$KOVA_BUILD_DIR using=""
    user=$(kova_port_user "$KOVA_DB_HOST" "$KOVA_DB_PORT") || return 0
    [[ "$build" == "$KOVA_ROOT/build" ]] || using="KOVA_BUILD_DIR=$build "
    free=$(kova_free_port "$KOVA_DB_HOST" $((KOVA_DB_PORT + 1))) || free="<port>"
    cat >&2 <<EOF
mariadb: port $KOVA_DB_PORT of $KOVA_DB_HOST is in use by $user, which is not this
project's server ($dir); it is left alone and the private server is not started.
The port is compiled into the programs: build them for another port, say $free,
and the scripts use it too (they read it from the build's CMake cache):
    cmake -S $KOVA_ROOT -B $build -DKOVA_DB_PORT=$free && cmake --build $build
    ${using}bash $KOVA_ROOT/scripts/mariadb.sh start
(bash scripts/run.sh chooses a free port by itself.)
EOF
    exit 3
}

start() {
    mkdir -p "$dir"
    if answers; then
        local port
        port=$(client -N -e 'SELECT @@port')
        if [[ "$port" != "$KOVA_DB_PORT" ]]; then
            echo "mariadb: the server of $dir runs on port $port, but the build uses $KOVA_DB_PORT;" \
                "stop it first (bash scripts/mariadb.sh stop)" >&2
            exit 1
        fi
        echo "mariadb: already running ($sock)"
    else
        stop
        check_port_free
        if [[ ! -d "$data/mysql" ]]; then
            rm -rf "$data"
            mariadb-install-db --no-defaults --datadir="$data" --user="$(id -un)" \
                --auth-root-authentication-method=socket --skip-test-db >"$dir/install.log" 2>&1 ||
                { cat "$dir/install.log"; echo "mariadb: initialising $data failed" >&2; exit 1; }
        fi
        kova_make_socket_dir || exit 1
        mariadbd --no-defaults --datadir="$data" --socket="$sock" --pid-file="$pidf" \
            --bind-address="$KOVA_DB_HOST" --port="$KOVA_DB_PORT" --log-error="$log" \
            --user="$(id -un)" --skip-name-resolve --innodb-buffer-pool-size=64M \
            --max-connections=1000 >/dev/null 2>&1 &
        for _ in $(seq 1 300); do
            answers && break
            sleep 0.1
        done
        answers || { tail -20 "$log"; echo "mariadb: server did not start" >&2; exit 1; }
        echo "mariadb: started on $KOVA_DB_HOST:$KOVA_DB_PORT ($sock)"
    fi
    client <<'SQL'
CREATE DATABASE IF NOT EXISTS KOVAData;
CREATE USER IF NOT EXISTS 'KOVAUser'@'%' IDENTIFIED BY '';
CREATE USER IF NOT EXISTS 'KOVAUser'@'localhost' IDENTIFIED BY '';
GRANT ALL PRIVILEGES ON KOVAData.* TO 'KOVAUser'@'%';
GRANT ALL PRIVILEGES ON KOVAData.* TO 'KOVAUser'@'localhost';
FLUSH PRIVILEGES;
SQL
    echo "$sock" >"$KOVA_FORWARD_DIR/$KOVA_DB_PORT"
}

case "${1:-}" in
    start) start ;;
    stop) stop; kova_release_socket_dir; echo "mariadb: stopped" ;;
    status) answers ;;
    running) running ;;
    sql) shift; client KOVAData "$@" ;;
    *) echo "usage: $0 start|stop|status|running|sql [client args]" >&2; exit 2 ;;
esac
