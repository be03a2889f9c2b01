# Shared by the run and test commands. Source it; do not run it.
# shellcheck shell=bash

TAK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian packages the build, the tests and the private MariaDB need.
TAK_PACKAGES=(
    build-essential cmake pkg-config libasio-dev libssl-dev openssl libboost-dev libthrift-dev
    thrift-compiler libprotobuf-dev protobuf-compiler libinih-dev libmariadb-dev libgtest-dev
    libgmock-dev libbenchmark-dev mariadb-server mariadb-client libspdlog-dev clang
    libclang-rt-14-dev python3 python3-thrift python3-six procps iproute2 libsystemd-dev dpkg-dev file
    libcpp-httplib-dev
)

tak_say() { printf '\033[1m[comm-serd]\033[0m %s\n' "$*" >&2; }
tak_die() { tak_say "error: $*"; exit 1; }

tak_sudo() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the packages that are missing; runs apt-get update once, only when something is.
tak_ensure_packages() {
    local missing=() p
    for p in "${TAK_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    tak_say "installing ${missing[*]}"
    tak_sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    tak_sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# tak_build BUILD_DIR [cmake options...]
tak_build() {
    local dir=$1; shift
    cmake -S "$TAK_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}

# tak_ini_get FILE SECTION KEY DEFAULT: a value of an INI file (names without regard to case).
tak_ini_get() {
    local file=$1 section=$2 key=$3 default=$4 value=""
    if [ -f "$file" ]; then
        value=$(awk -v s="$section" -v k="$key" '
            BEGIN { s = tolower(s); k = tolower(k) }
            /^[ \t]*[;#]/ { next }
            /^[ \t]*\[/ { gsub(/^[ \t]*\[|\][ \t]*$/, ""); cur = tolower($0); next }
            cur == s && index($0, "=") {
                name = substr($0, 1, index($0, "=") - 1); val = substr($0, index($0, "=") + 1)
                gsub(/^[ \t]+|[ \t]+$/, "", name)
                sub(/[ \t]+;.*$/, "", val); gsub(/^[ \t]+|[ \t]+$/, "", val)
                if (tolower(name) == k) { print val; exit }
            }' "$file")
    fi
    printf '%s' "${value:-$default}"
}

# tak_port_in_use PORT: true when something listens on the TCP port.
tak_port_in_use() {
    ss -Hltn "sport = :$1" 2>/dev/null | grep -q .
}

# tak_free_port FIRST: the first port from FIRST on that nothing listens on.
tak_free_port() {
    local p=$1
    while tak_port_in_use "$p"; do p=$((p + 1)); done
    printf '%s' "$p"
}
