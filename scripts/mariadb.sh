#!/usr/bin/env bash
# A private MariaDB server without systemd, with its data under the given folder.
#   mariadb.sh start BASE PORT [USER PASSWORD]   create (first time), start, create the account
#                                                and load sql/schema.sql; prints the PID
#   mariadb.sh stop BASE                         stop the server by its PID and wait for it
#   mariadb.sh sql BASE [mariadb options...]     a client on the server's socket, as root
# TAK_MARIADB_OPTS adds server options at start (e.g. --max-allowed-packet=1M).
set -euo pipefail
. "$(dirname "$0")/lib.sh"

cmd=${1:-}; base=${2:-}
[ -n "$cmd" ] && [ -n "$base" ] || tak_die "usage: mariadb.sh start|stop|sql BASE [PORT [USER PASSWORD]]"
mkdir -p "$base"
base=$(cd "$base" && pwd)

socket_path() {
    # A Unix socket path must stay short; fall back to /tmp for a deep tree.
    local s="$base/mysqld.sock"
    if [ ${#s} -gt 100 ]; then s="/tmp/tak-mariadb-$(printf '%s' "$base" | md5sum | cut -c1-12).sock"; fi
    printf '%s' "$s"
}

user_args=()
[ "$(id -u)" -eq 0 ] && user_args=(--user=root)

client() { mariadb --no-defaults --socket="$(socket_path)" -uroot "$@"; }

case "$cmd" in
start)
    port=${3:?port}; db_user=${4:-tak}; db_password=${5:-kertowan582}
    pidfile="$base/mysqld.pid"
    if [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; then
        tak_die "a private MariaDB already runs from $base (PID $(cat "$pidfile")); stop it with: scripts/mariadb.sh stop $base"
    fi
    if tak_port_in_use "$port"; then
        tak_die "port $port is already taken by another server. Stop that server, or choose another port ([Database] Port in config/config.ini) and run again."
    fi
    if [ ! -d "$base/data/mysql" ]; then
        mariadb-install-db --no-defaults --datadir="$base/data" "${user_args[@]}" \
            --auth-root-authentication-method=normal --skip-test-db --force >"$base/install.log" 2>&1 \
            || { cat "$base/install.log" >&2; tak_die "mariadb-install-db failed"; }
    fi
    rm -f "$(socket_path)"
    mariadbd --no-defaults --datadir="$base/data" "${user_args[@]}" --port="$port" \
        --bind-address=127.0.0.1 --socket="$(socket_path)" --pid-file="$pidfile" \
        --log-error="$base/error.log" --skip-name-resolve --character-set-server=utf8mb4 \
        --collation-server=utf8mb4_general_ci --innodb-buffer-pool-size=128M \
        ${TAK_MARIADB_OPTS:-} </dev/null >"$base/stdout.log" 2>&1 &
    pid=$!
    for _ in $(seq 1 300); do
        kill -0 "$pid" 2>/dev/null || { tail -n 20 "$base/error.log" >&2; tak_die "mariadbd ended at start-up"; }
        client -e "select 1" >/dev/null 2>&1 && break
        sleep 0.1
    done
    client -e "select 1" >/dev/null 2>&1 || tak_die "mariadbd does not answer; see $base/error.log"
    esc_pw=${db_password//\'/\'\'}
    client <<SQL
CREATE DATABASE IF NOT EXISTS security_dev CHARACTER SET utf8mb4;
CREATE DATABASE IF NOT EXISTS auditEvent_dev CHARACTER SET utf8mb4;
CREATE USER IF NOT EXISTS '$db_user'@'127.0.0.1' IDENTIFIED BY '$esc_pw';
CREATE USER IF NOT EXISTS '$db_user'@'localhost' IDENTIFIED BY '$esc_pw';
ALTER USER '$db_user'@'127.0.0.1' IDENTIFIED BY '$esc_pw';
ALTER USER '$db_user'@'localhost' IDENTIFIED BY '$esc_pw';
GRANT ALL PRIVILEGES ON security_dev.* TO '$db_user'@'127.0.0.1', '$db_user'@'localhost';
GRANT ALL PRIVILEGES ON auditEvent_dev.* TO '$db_user'@'127.0.0.1', '$db_user'@'localhost';
FLUSH PRIVILEGES;
SQL
    client <"$TAK_ROOT/sql/schema.sql"
    printf '%s\n' "$pid"
    ;;
stop)
    pidfile="$base/mysqld.pid"
    [ -f "$pidfile" ] || exit 0
    pid=$(cat "$pidfile")
    if kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid"
        for _ in $(seq 1 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -0 "$pid" 2>/dev/null && kill -KILL "$pid"
    fi
    rm -f "$pidfile"
    ;;
sql)
    shift 2
    client "$@"
    ;;
*)
    tak_die "unknown command $cmd"
    ;;
esac
