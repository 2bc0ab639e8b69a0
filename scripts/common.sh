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

# Whether folder $1 is this user's own: a folder, not a link, owned by this user and
# closed to everyone else (mode 700). Otherwise prints why not and returns 1.
kova_own_folder() {
    local owner mode
    if [[ -L "$1" ]]; then
        echo "it is a symbolic link"
    elif [[ ! -d "$1" ]]; then
        echo "it is not a folder"
    else
        read -r owner mode < <(stat -c '%u %a' -- "$1")
        if [[ "$owner" != "$(id -u)" ]]; then
            echo "it belongs to $(stat -c %U -- "$1") (uid $owner), not to $(id -un)"
        elif [[ "$mode" != 700 ]]; then
            echo "its mode is $mode, not 700, so others may have put sockets into it"
        else
            return 0
        fi
    fi
    return 1
}

# Checks the socket folder before anything is asked of a socket in it: a folder of
# that name that is not this user's own may hold another user's server, which must
# never be taken for this project's. A folder not yet made passes (the servers'
# scripts make it with kova_make_socket_dir). Refuses with the way out otherwise.
kova_check_socket_dir() {
    local why
    [[ -e "$KOVA_SOCKET_DIR" || -L "$KOVA_SOCKET_DIR" ]] || return 0
    why=$(kova_own_folder "$KOVA_SOCKET_DIR") && return 0
    cat >&2 <<EOF
kova: $KOVA_SOCKET_DIR, the folder of this project's sockets, is not
this user's own ($why); nothing in it is used.
Remove it (as its owner or as root: rm -rf $KOVA_SOCKET_DIR) and try again, or use
another state folder (KOVA_STATE_DIR=<folder>), which gets a socket folder of its own.
EOF
    return 1
}

# Creates the socket folder (mode 700) unless it exists; refuses one that is not
# this user's own.
kova_make_socket_dir() {
    [[ -e "$KOVA_SOCKET_DIR" || -L "$KOVA_SOCKET_DIR" ]] || mkdir -m 700 "$KOVA_SOCKET_DIR" 2>/dev/null || true
    kova_check_socket_dir || return 1
    ln -sfn "$KOVA_SOCKET_DIR" "$KOVA_STATE_DIR/sockets"
}

# Removes the socket folder once no server has a socket in it.
kova_release_socket_dir() {
    kova_own_folder "$KOVA_SOCKET_DIR" >/dev/null && rmdir "$KOVA_SOCKET_DIR" 2>/dev/null
    return 0
}

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
