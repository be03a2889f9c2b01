#!/usr/bin/env bash
# Makes the Debian package from a build and checks what it holds:
#   scripts/package.sh [BUILD_DIR]      (default build/; prints the .deb's path)
# The daemon, the tools, the unit, the sample configuration (a conffile), the schema and the
# documentation must be in it, the server key must not; the maintainer scripts must be there
# and parse; the dependencies come from dpkg-shlibdeps.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

build=$(cd "${1:-$TAK_ROOT/build}" && pwd)
out="$build/package"
rm -rf "$out"
cpack --config "$build/CPackConfig.cmake" -B "$out" >"$build/cpack.log" 2>&1 \
    || { cat "$build/cpack.log" >&2; tak_die "cpack failed"; }
debs=("$out"/comm-serd_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || tak_die "cpack made no single comm-serd .deb in $out"
deb=${debs[0]}

failed=0
fail() { tak_say "package check: $*"; failed=1; }

files=$(dpkg-deb -c "$deb" | awk '{ print $NF }' | sed 's|^\./|/|')
for path in /usr/sbin/comm-serd /usr/bin/tak-keygen /usr/bin/tak-console /usr/bin/tak-agent-sim \
    /usr/lib/systemd/system/comm-serd.service /etc/comm-serd/config/config.ini \
    /usr/share/comm-serd/schema.sql /usr/share/comm-serd/comm-serd-setup \
    /usr/share/doc/comm-serd/README.md /usr/share/doc/comm-serd/operating.md \
    /var/log/taksecSerd/; do
    grep -qxF "$path" <<<"$files" || fail "$path is missing"
done
if grep -q 'scert' <<<"$files"; then fail "a key file is in the package: $(grep scert <<<"$files")"; fi
if grep -qE '^/usr/local/|/build/|/tests?/' <<<"$files"; then
    fail "files outside the layout: $(grep -E '^/usr/local/|/build/|/tests?/' <<<"$files")"
fi

control=$(mktemp -d)
trap 'rm -rf "$control"' EXIT
dpkg-deb -e "$deb" "$control"
[ "$(cat "$control/conffiles" 2>/dev/null)" = /etc/comm-serd/config/config.ini ] \
    || fail "conffiles is not exactly /etc/comm-serd/config/config.ini"
for script in postinst prerm postrm; do
    [ -x "$control/$script" ] || { fail "no executable $script"; continue; }
    sh -n "$control/$script" || fail "$script does not parse"
done
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libssl3 libthrift libprotobuf libmariadb3 libsystemd0 adduser; do
    grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
[ "$(dpkg-deb -f "$deb" Recommends)" = mariadb-server ] || fail "Recommends is not mariadb-server"
[ "$(dpkg-deb -f "$deb" Version)" = "$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' \
    "$build/CPackConfig.cmake")" ] || fail "the package's version is not the project's"

[ "$failed" -eq 0 ] || tak_die "the package $deb failed its checks"
tak_say "package $(basename "$deb"): $(wc -l <<<"$files") entries, checked"
printf '%s\n' "$deb"
