#!/usr/bin/env bash
# Passes the tests on a fresh Debian 12 machine: installs the packages it lacks, builds, starts
# a private MariaDB with the schema on a free port of its own (never 3306), runs the whole
# suite (unit and integration), makes and checks the Debian package, runs the concurrency-heavy
# tests again under ThreadSanitizer and a short bounded fuzz run, then stops the server.
#   TAK_SANITIZE=address,undefined scripts/test.sh   the same under the sanitizers
#   TAK_QUICK=1 scripts/test.sh                      the suite only: no ThreadSanitizer, no fuzz
set -euo pipefail
. "$(dirname "$0")/lib.sh"
cd "$TAK_ROOT"

tak_ensure_packages

build="$TAK_ROOT/build"
extra=()
if [ -n "${TAK_SANITIZE:-}" ]; then
    build="$TAK_ROOT/build-$(printf '%s' "$TAK_SANITIZE" | tr ',' '-')"
    extra=(-DTAK_SANITIZE="$TAK_SANITIZE" -DTAK_BUILD_BENCH=OFF)
fi
tak_build "$build" -DTAK_BUILD_TESTS=ON "${extra[@]}"

port=$(tak_free_port "${TAK_TEST_DB_FIRST_PORT:-13306}")
base="$TAK_ROOT/.run/test-mariadb"
scripts/mariadb.sh stop "$base"
rm -rf "$base"
tak_say "starting the tests' private MariaDB on 127.0.0.1:$port"
scripts/mariadb.sh start "$base" "$port" >/dev/null
trap 'scripts/mariadb.sh stop "$base"' EXIT

export TAK_TEST_DB_PORT=$port
export TAK_TEST_DB_BASE=$base
tak_say "running the test suite"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 900

if [ -z "${TAK_SANITIZE:-}" ]; then
    tak_say "making and checking the Debian package"
    scripts/package.sh "$build" >/dev/null
fi

# The tests of the code where threads meet: the log queue, the pool and strands, the database
# workers, the network loops, the registry, policy passes, host queries and the stop.
tsan_tests='^(TakNanoQueueBuffer|TakNanoLogger|TakThreadPool|TakThreadManager|TakStrand|TakDbConn|TakTcpServer|SessionsTest|ConsoleTest|StopTest)'
tsan_skip='(Thousand|Figures|FullAuditQueue)'
if [ -z "${TAK_SANITIZE:-}" ] && [ "${TAK_QUICK:-0}" != 1 ]; then
    tak_say "building the ThreadSanitizer tree and running the concurrency-heavy tests under it"
    # clang: g++ 12 refuses the atomic fences of Asio's headers under -fsanitize=thread.
    CC=clang CXX=clang++ tak_build "$TAK_ROOT/build-thread" -DTAK_SANITIZE=thread \
        -DTAK_BUILD_TESTS=ON -DTAK_BUILD_BENCH=OFF
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
        ctest --test-dir "$TAK_ROOT/build-thread" --output-on-failure -j "$(nproc)" --timeout 900 \
        -R "$tsan_tests" -E "$tsan_skip"
fi

if [ -z "${TAK_SANITIZE:-}" ] && [ "${TAK_QUICK:-0}" != 1 ] && [ -f fuzz/CMakeLists.txt ] && grep -q add_executable fuzz/CMakeLists.txt; then
    tak_say "building and running the fuzz targets (bounded)"
    CC=clang CXX=clang++ tak_build "$TAK_ROOT/build-fuzz" -DTAK_BUILD_FUZZ=ON \
        -DTAK_BUILD_TESTS=OFF -DTAK_BUILD_BENCH=OFF
    for target in "$TAK_ROOT"/build-fuzz/bin/fuzz_*; do
        [ -x "$target" ] || continue
        corpus="$TAK_ROOT/.run/fuzz-corpus/$(basename "$target")"
        mkdir -p "$corpus"
        tak_say "fuzzing $(basename "$target") for ${TAK_FUZZ_SECONDS:-20} s"
        "$target" -max_total_time="${TAK_FUZZ_SECONDS:-20}" -print_final_stats=1 "$corpus" \
            "$TAK_ROOT/fuzz/corpus/$(basename "$target")" 2>&1 | tail -n 3
    done
fi
tak_say "all tests passed"
