#!/usr/bin/env bash
# A primary and a replica MariaDB on this machine, replicating by GTID, for
# the read-replica tests and benchmarks.
#   replica-pair.sh start [folder]          starts both (idempotent) and prints their URLs
#   replica-pair.sh stop [folder]           stops both
#   replica-pair.sh status [folder]         says which run, and prints the URLs
#   replica-pair.sh stop-replica [folder]   stops the replica only (the primary goes on)
#   replica-pair.sh start-replica [folder]  starts it again; it catches up by itself
# The folder (default <build>/replica-pair, TESSARY_BUILD choosing the build)
# receives both data directories, their logs, sockets and the two ports,
# chosen free at the first start and kept afterwards. The servers run as the
# tests' own server does: --no-defaults, as root, on 127.0.0.1. Both URLs name
# the database `tessary_pair`, made on the primary and replicated.
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/.." && pwd)"

command="${1:-}"
DIR="${2:-${TESSARY_BUILD:-$ROOT/build}/replica-pair}"
DATABASE=tessary_pair
STARTUP_TIMEOUT=60

usage() {
    echo "usage: $0 start|stop|status|stop-replica|start-replica [folder]" >&2
    exit 2
}

find_program() {
    local name="$1" dir
    command -v "$name" 2>/dev/null && return 0
    for dir in /usr/sbin /usr/local/sbin /usr/bin; do
        [ -x "$dir/$name" ] && { echo "$dir/$name"; return 0; }
    done
    echo "error: $name not found (scripts/install-deps.sh installs the Debian package mariadb-server)" >&2
    return 1
}

# A free TCP port of 127.0.0.1, as the kernel hands one out.
free_port() {
    local port
    for port in $(shuf -i 20000-60000 -n 50); do
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return 0
        fi
    done
    echo "error: no free port found" >&2
    return 1
}

# sockaddr_un holds 108 bytes: a deep folder gets its sockets under /tmp.
socket_dir() {
    if [ "${#DIR}" -le 80 ]; then
        echo "$DIR"
    else
        echo "/tmp/tessary-pair-$(printf '%s' "$DIR" | md5sum | cut -c1-12)"
    fi
}

setup_paths() {
    mkdir -p "$DIR"
    DIR="$(cd "$DIR" && pwd)"
    SOCKETS="$(socket_dir)"
    mkdir -p "$SOCKETS"
    if [ ! -s "$DIR/ports" ]; then
        local first second
        first="$(free_port)"
        second="$(free_port)"
        while [ "$second" = "$first" ]; do second="$(free_port)"; done
        echo "$first $second" > "$DIR/ports"
    fi
    read -r PRIMARY_PORT REPLICA_PORT < "$DIR/ports"
}

port_of() { [ "$1" = primary ] && echo "$PRIMARY_PORT" || echo "$REPLICA_PORT"; }
socket_of() { echo "$SOCKETS/$1.sock"; }
url_of() { echo "mysql://root@127.0.0.1:$(port_of "$1")/$DATABASE"; }

# The pid of the server of `role` when it runs on our data directory.
running_pid() {
    local role="$1" pid
    pid="$(cat "$DIR/$role/mariadbd.pid" 2>/dev/null || true)"
    [ -n "$pid" ] || return 1
    tr '\0' ' ' < "/proc/$pid/cmdline" 2>/dev/null | grep -q -- "--datadir=$DIR/$role/data " || return 1
    echo "$pid"
}

client() {
    local role="$1"
    shift
    mariadb --no-defaults --protocol=socket --socket="$(socket_of "$role")" -uroot --batch --skip-column-names "$@"
}

answers() { mariadb-admin --no-defaults --socket="$(socket_of "$1")" -uroot --connect-timeout=2 ping >/dev/null 2>&1; }

install_data() {
    local role="$1"
    [ -f "$DIR/$role/installed" ] && [ -d "$DIR/$role/data/mysql" ] && return 0
    rm -rf "$DIR/$role/data"
    mkdir -p "$DIR/$role"
    local installer
    installer="$(find_program mariadb-install-db)"
    env -u LD_PRELOAD -u ASAN_OPTIONS -u UBSAN_OPTIONS \
        "$installer" --no-defaults --datadir="$DIR/$role/data" --user=root \
        --auth-root-authentication-method=normal > "$DIR/$role/install.log" 2>&1 || {
        echo "error: mariadb-install-db failed for the $role; see $DIR/$role/install.log" >&2
        return 1
    }
    touch "$DIR/$role/installed"
}

# Both data directories start alike: the replica's is a copy of the
# primary's fresh one (half the set-up time), unless the primary already ran.
install_pair() {
    install_data primary
    if [ ! -f "$DIR/replica/installed" ] && ! running_pid primary >/dev/null && [ ! -f "$DIR/primary/started" ]; then
        rm -rf "$DIR/replica/data"
        mkdir -p "$DIR/replica"
        cp -a "$DIR/primary/data" "$DIR/replica/data"
        touch "$DIR/replica/installed"
    fi
}

launch() {
    local role="$1" server_id=1 extra=()
    running_pid "$role" >/dev/null && return 0
    install_data "$role"
    local mariadbd user=()
    mariadbd="$(find_program mariadbd)"
    [ "$(id -u)" -eq 0 ] && user=(--user=root)
    if [ "$role" = replica ]; then
        server_id=2
        extra=(--read-only=1 --relay-log="$DIR/$role/data/relay-bin")
    fi
    rm -f "$(socket_of "$role")"
    touch "$DIR/$role/started"
    # Durability is worthless here: the throw-away server runs as the tests' one does.
    env -u LD_PRELOAD -u ASAN_OPTIONS -u UBSAN_OPTIONS setsid "$mariadbd" --no-defaults \
        --datadir="$DIR/$role/data" --socket="$(socket_of "$role")" --port="$(port_of "$role")" \
        --bind-address=127.0.0.1 "${user[@]}" --pid-file="$DIR/$role/mariadbd.pid" \
        --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
        --innodb-flush-log-at-trx-commit=0 --innodb-doublewrite=0 --innodb-buffer-pool-size=32M \
        --skip-name-resolve --server-id="$server_id" --log-bin="$DIR/$role/data/binlog" \
        --gtid-strict-mode=1 --log-slave-updates=1 --max-connections=300 "${extra[@]}" \
        < /dev/null > "$DIR/$role/server.log" 2>&1 &
    local deadline=$((SECONDS + STARTUP_TIMEOUT))
    until answers "$role"; do
        if [ $SECONDS -ge $deadline ]; then
            echo "error: the $role did not answer within ${STARTUP_TIMEOUT} s; last lines of $DIR/$role/server.log:" >&2
            tail -n 20 "$DIR/$role/server.log" >&2
            return 1
        fi
        sleep 0.2
    done
}

# Once: the replication user and the database on the primary, then the
# replica pointed at it. The replica keeps its master settings and starts
# replicating by itself at its later starts.
configure() {
    client primary -e "CREATE USER IF NOT EXISTS 'repl'@'127.0.0.1' IDENTIFIED BY 'repl';
        GRANT REPLICATION SLAVE ON *.* TO 'repl'@'127.0.0.1';
        CREATE DATABASE IF NOT EXISTS $DATABASE CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci"
    if [ -z "$(client replica -e 'SHOW SLAVE STATUS')" ]; then
        client replica -e "CHANGE MASTER TO MASTER_HOST='127.0.0.1', MASTER_PORT=$PRIMARY_PORT,
            MASTER_USER='repl', MASTER_PASSWORD='repl', MASTER_CONNECT_RETRY=1, MASTER_USE_GTID=slave_pos;
            START SLAVE"
    else
        client replica -e "START SLAVE" 2>/dev/null || true
    fi
}

stop_role() {
    local role="$1" pid
    pid="$(running_pid "$role")" || return 0
    kill -TERM "$pid"
    local deadline=$((SECONDS + 30))
    while kill -0 "$pid" 2>/dev/null; do
        if [ $SECONDS -ge $deadline ]; then
            kill -KILL "$pid" 2>/dev/null || true
            break
        fi
        sleep 0.1
    done
}

print_urls() {
    echo "primary $(url_of primary)"
    echo "replica $(url_of replica)"
}

[ -n "$command" ] || usage
setup_paths
case "$command" in
    start)
        install_pair
        launch primary
        launch replica
        configure
        print_urls
        ;;
    stop)
        stop_role replica
        stop_role primary
        ;;
    stop-replica)
        stop_role replica
        ;;
    start-replica)
        launch replica
        client replica -e "START SLAVE" 2>/dev/null || true
        print_urls
        ;;
    status)
        state=0
        for role in primary replica; do
            if running_pid "$role" >/dev/null; then
                echo "$role running $(url_of "$role") socket $(socket_of "$role")"
            else
                echo "$role stopped"
                state=1
            fi
        done
        exit $state
        ;;
    *) usage ;;
esac
