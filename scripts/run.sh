#!/usr/bin/env bash
# Runs the daemon in the foreground on a fresh Debian 12 machine: installs the packages it
# lacks, builds, starts a private MariaDB with the schema (data under .run/), makes a key file
# if none exists and starts comm-serd in the working tree. Ctrl-C stops the daemon and the
# private MariaDB.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
cd "$TAK_ROOT"

tak_ensure_packages
tak_build "$TAK_ROOT/build"

cfg=config/config.ini
db_port=$(tak_ini_get "$cfg" Database Port 3306)
db_user=$(tak_ini_get "$cfg" Database User tak)
db_password=$(tak_ini_get "$cfg" Database Password kertowan582)
if tak_port_in_use "$db_port"; then
    tak_die "port $db_port is already held by another database server. The daemon would use that server, not a private one. Either stop it (for example: systemctl stop mariadb), or set a free port under [Database] Port in $cfg, and run this command again."
fi

base="$TAK_ROOT/.run/mariadb-$db_port"
tak_say "starting a private MariaDB on 127.0.0.1:$db_port (data in $base)"
scripts/mariadb.sh start "$base" "$db_port" "$db_user" "$db_password" >/dev/null
trap 'tak_say "stopping the private MariaDB"; scripts/mariadb.sh stop "$base"' EXIT

if [ ! -f config/scert.dat ]; then
    tak_say "no key file: making config/scert.dat and the agents' public key"
    build/bin/tak-keygen --dir config
fi

tak_say "starting comm-serd (agents on port $(tak_ini_get "$cfg" IPInfo PORT 7300), console RPC on port $(tak_ini_get "$cfg" Rpc Port 7400)); Ctrl-C stops it"
status=0
build/bin/comm-serd || status=$?
exit "$status"
