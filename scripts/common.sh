# Shared settings of the project's scripts; sourced, not run.
KOVA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KOVA_BUILD_DIR=$(realpath -m "${KOVA_BUILD_DIR:-$KOVA_ROOT/build}")

# A site setting of the build in $KOVA_BUILD_DIR (its CMake cache), or the default
# when the build has none yet.
kova_build_setting() {
    local value=""
    [[ -f "$KOVA_BUILD_DIR/CMakeCache.txt" ]] &&
        value=$(sed -n "s/^$1:[A-Z]*=//p" "$KOVA_BUILD_DIR/CMakeCache.txt" | head -n1)
    echo "${value:-$2}"
}

# The servers' state folder and the measurement database server's address are the
# build's (they are compiled into its programs), unless the environment sets them.
KOVA_STATE_DIR=${KOVA_STATE_DIR:-$(kova_build_setting KOVA_STATE_DIR "$KOVA_ROOT/.state")}
KOVA_DB_HOST=${KOVA_DB_HOST:-$(kova_build_setting KOVA_DB_HOST 127.0.0.1)}
KOVA_DB_PORT=${KOVA_DB_PORT:-$(kova_build_setting KOVA_DB_PORT 3306)}
# Services that the virtual cluster makes reachable inside its network namespace:
# each file in this folder is named after a TCP port and holds the UNIX socket
# path that serves it.
KOVA_FORWARD_DIR=$KOVA_STATE_DIR/forward
mkdir -p "$KOVA_STATE_DIR" "$KOVA_FORWARD_DIR"

# A UNIX socket's path holds at most 107 bytes, however deep the project lies, so
# the servers' sockets live in a short folder of this user's own,
# /tmp/kova-<uid>-<hash of the state folder's path>, which the servers' scripts
# create when they start; the state folder links to it as "sockets".
KOVA_SOCKET_DIR=/tmp/kova-$(id -u)-$(printf '%s' "$(realpath -m "$KOVA_STATE_DIR")" | sha256sum | cut -c1-12)

# Creates the socket folder; refuses one of that name that is not this user's own.
kova_make_socket_dir() {
    [[ -e "$KOVA_SOCKET_DIR" || -L "$KOVA_SOCKET_DIR" ]] || mkdir -m 700 "$KOVA_SOCKET_DIR" 2>/dev/null || true
    if [[ -L "$KOVA_SOCKET_DIR" || ! -d "$KOVA_SOCKET_DIR" || ! -O "$KOVA_SOCKET_DIR" ]] ||
        ! chmod 700 "$KOVA_SOCKET_DIR"; then
        echo "kova: $KOVA_SOCKET_DIR, the folder of this project's sockets, is not a folder of this" \
            "user's own; remove it and try again" >&2
        return 1
    fi
    ln -sfn "$KOVA_SOCKET_DIR" "$KOVA_STATE_DIR/sockets"
}

# Removes the socket folder once no server has a socket in it.
kova_release_socket_dir() { rmdir "$KOVA_SOCKET_DIR" 2>/dev/null || true; }

# The program that listens on TCP port $2 of address $1 (or of every address), as
# "name (pid N)", or "another program" when its name cannot be seen; exits 1 when
# nothing listens there.
kova_port_user() {
    local state queue send local_address rest
    while read -r state queue send local_address rest; do
        case "${local_address%:*}" in
            "$1" | 0.0.0.0 | "*" | "[::]") ;;
            *) continue ;;
        esac
        if [[ "$rest" =~ \(\(\"([^\"]+)\",pid=([0-9]+) ]]; then
            echo "${BASH_REMATCH[1]} (pid ${BASH_REMATCH[2]})"
        else
            echo "another program"
        fi
        return 0
    done < <(ss -Hltnp "sport = :$2" 2>/dev/null)
    return 1
}

# The first TCP port from $2 upwards that nothing listens on at address $1.
kova_free_port() {
    local port
    for ((port = $2; port < $2 + 1000 && port <= 65535; port++)); do
        kova_port_user "$1" "$port" >/dev/null || { echo "$port"; return 0; }
    done
    echo "no free TCP port from $2 to $((port - 1)) on $1" >&2
    return 1
}
