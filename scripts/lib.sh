# Shared by the scripts in this folder: packages, builds and MariaDB servers.
# shellcheck shell=bash

TESMOR_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# What building, testing and running need on Debian 12.
TESMOR_PACKAGES=(build-essential cmake pkg-config qt6-base-dev libqscintilla2-qt6-dev libmariadb-dev
    mariadb-server mariadb-client fonts-wine fonts-dejavu-core xvfb xauth imagemagick
    openssl nftables iproute2 galera-4 rsync)
# What scripts/package needs besides: CPack's dependency search runs file and
# dpkg-shlibdeps (from dpkg-dev).
TESMOR_PACKAGING_PACKAGES=(dpkg-dev file)
# What CI's check of the package needs besides: the validators (python3-debian
# reads the copyright file), and the tools that find and drive the installed
# program's window.
TESMOR_PACKAGE_CHECK_PACKAGES=(desktop-file-utils appstream x11-utils xdotool python3-debian)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

ensure_packages() {
    local missing=() p
    for p in "${TESMOR_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    as_root apt-get update -q
    # A package's own service must not start here: we run our own servers.
    local policy=/usr/sbin/policy-rc.d added=""
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | as_root tee "$policy" >/dev/null
        as_root chmod +x "$policy"
        added=1
    fi
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
    local rc=$?
    [ -n "$added" ] && as_root rm -f "$policy"
    return $rc
}

# mariadbd needs --user when started as root.
server_user_args() {
    if [ "$(id -u)" -eq 0 ]; then echo "--user=root"; fi
}

# start_server DATADIR PORT [extra mariadbd options...]
# SERVER_LAUNCHER=setsid detaches the server from the calling terminal.
# Initialises DATADIR when empty, starts the server on 127.0.0.1:PORT and
# waits until it answers. Sets SERVER_PID and SERVER_SOCKET.
start_server() {
    local datadir=$1 port=$2
    shift 2
    # A server starting up removes other servers' temporary tables from its
    # temporary folder: each server has one of its own, beside its data.
    local tmpdir="${datadir%/}.tmp"
    mkdir -p "$datadir" "$tmpdir"
    if [ ! -d "$datadir/mysql" ]; then
        mariadb-install-db --no-defaults $(server_user_args) --datadir="$datadir/data.tmp" \
            --tmpdir="$tmpdir" --auth-root-authentication-method=normal --skip-test-db >"$datadir/install.log" 2>&1 \
            || { cat "$datadir/install.log"; return 1; }
        # Install into a side folder and move in, so a failed install is not mistaken for a good one.
        mv "$datadir/data.tmp"/* "$datadir"/ && rmdir "$datadir/data.tmp"
    fi
    SERVER_SOCKET="$datadir/mariadb.sock"
    ${SERVER_LAUNCHER:-} mariadbd --no-defaults $(server_user_args) --datadir="$datadir" --tmpdir="$tmpdir" --socket="$SERVER_SOCKET" \
        --port="$port" --bind-address=127.0.0.1 --lower-case-table-names=1 \
        --pid-file="$datadir/mariadbd.pid" --log-error="$datadir/error.log" \
        --skip-name-resolve "$@" >>"$datadir/server.out" 2>&1 &
    SERVER_PID=$!
    local i
    for i in $(seq 1 150); do
        if ! kill -0 "$SERVER_PID" 2>/dev/null; then
            return 1
        fi
        if mariadb-admin --no-defaults --socket="$SERVER_SOCKET" -uroot ping >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.2
    done
    echo "The server did not answer in 30 s; its log:" >&2
    tail -20 "$datadir/error.log" >&2
    return 1
}

# stop_server PID SOCKET: asks the server to stop and waits until it has.
stop_server() {
    local pid=$1 socket=$2
    [ -n "$pid" ] || return 0
    kill -0 "$pid" 2>/dev/null || return 0
    mariadb-admin --no-defaults --socket="$socket" -uroot shutdown >/dev/null 2>&1 || kill "$pid" 2>/dev/null
    local i
    for i in $(seq 1 300); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    return 0
}

# sql SOCKET STATEMENTS: runs statements as root over the socket.
server_sql() {
    mariadb --no-defaults --socket="$1" -uroot -e "$2"
}

# The program's fixed account, with no password; anonymous accounts would
# shadow it for local connections.
create_program_account() {
    server_sql "$1" "
        DELETE FROM mysql.global_priv WHERE User = '';
        FLUSH PRIVILEGES;
        CREATE USER IF NOT EXISTS 'olun'@'%' IDENTIFIED BY '';
        CREATE USER IF NOT EXISTS 'olun'@'localhost' IDENTIFIED BY '';"
}

# Starts a MariaDB server in a new temporary folder on a free loopback port
# (never 3306), with the program's account and the TESMOR_TEST database, and
# removes both on every exit of the calling script. Exports its address as
# TESMOR_TEST_HOST, TESMOR_TEST_PORT, TESMOR_TEST_DB and TESMOR_TEST_SOCKET.
start_throwaway_server() {
    THROWAWAY_DIR=$(mktemp -d "${TMPDIR:-/tmp}/tesmor-server.XXXXXX")
    SERVER_PID=""
    SERVER_SOCKET=""
    trap 'stop_server "$SERVER_PID" "$SERVER_SOCKET"; rm -rf "$THROWAWAY_DIR"' EXIT
    trap 'exit 130' INT TERM
    local port="" attempt candidate
    for attempt in 1 2 3 4 5; do
        candidate=$((20000 + RANDOM % 40000))
        if start_server "$THROWAWAY_DIR/db" "$candidate" --innodb-flush-log-at-trx-commit=0; then
            port=$candidate
            break
        fi
        echo "Port $candidate was not usable; trying another." >&2
    done
    if [ -z "$port" ]; then
        echo "Could not start the throwaway server:" >&2
        tail -20 "$THROWAWAY_DIR/db/error.log" >&2
        return 1
    fi
    create_program_account "$SERVER_SOCKET"
    server_sql "$SERVER_SOCKET" "
        GRANT ALL PRIVILEGES ON *.* TO 'olun'@'%';
        GRANT ALL PRIVILEGES ON *.* TO 'olun'@'localhost';
        CREATE DATABASE IF NOT EXISTS TESMOR_TEST;"
    export TESMOR_TEST_HOST=127.0.0.1 TESMOR_TEST_PORT=$port TESMOR_TEST_DB=TESMOR_TEST
    export TESMOR_TEST_SOCKET=$SERVER_SOCKET
}

build() {
    local dir=$1
    shift
    cmake -S "$TESMOR_ROOT" -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}
