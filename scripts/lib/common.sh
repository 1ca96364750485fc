# Shared by the scripts in scripts/: where things are, and installing what the build needs.
# shellcheck shell=bash

CELVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
CELVANE_BUILD_DIR=${CELVANE_BUILD_DIR:-$CELVANE_ROOT/build}

# Debian packages the build and the tests need.
CELVANE_BUILD_PACKAGES=(cmake ninja-build g++ qt6-base-dev qt6-qpa-plugins qt6-websockets-dev libgl-dev
    libbenchmark-dev)
# libsystemd (found through pkg-config) gives the server readiness notification and socket
# activation; without it the server builds all the same.
CELVANE_BUILD_PACKAGES+=(pkgconf libsystemd-dev)
# The journal kept beside a picture file is an SQLite database.
CELVANE_BUILD_PACKAGES+=(libsqlite3-dev)
# The recovery commands write their time-lapses through giflib.
CELVANE_BUILD_PACKAGES+=(libgif-dev)
# hiredis (found through pkg-config too) keeps the picture in Redis; a real redis-server runs
# the tests and benchmarks of that, with redis-sentinel for following a failover.
CELVANE_BUILD_PACKAGES+=(libhiredis-dev redis-server redis-sentinel)
# The web page's tests and benchmarks drive headless Chromium; without these they are skipped.
CELVANE_BROWSER_PACKAGES=(chromium chromium-driver python3-selenium)
# The benchmarks' report, and Redis as a yardstick for the server's relay path.
CELVANE_BENCH_PACKAGES=(python3 redis-server redis-sentinel)
# The fuzzers need clang and its libFuzzer and sanitizer runtimes.
CELVANE_FUZZ_PACKAGES=(clang libclang-rt-14-dev)

log() { printf '== %s\n' "$*" >&2; }

# How sanitized programs run: leaks are reported, undefined behaviour prints where it happened,
# and the only suppressions are the commented third-party ones in tests/.
export_sanitizer_options() {
    export ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:strict_init_order=1
    export LSAN_OPTIONS=suppressions=$CELVANE_ROOT/tests/sanitizer-suppressions.txt:print_suppressions=0
    export UBSAN_OPTIONS=print_stacktrace=1
}

missing_packages() {
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            printf '%s\n' "$package"
        fi
    done
}

# Installs the packages that are not there yet, when this machine lets us; otherwise says what
# to install and fails.
ensure_packages() {
    if ! command -v dpkg-query >/dev/null 2>&1; then
        log "not a Debian-style system: make sure these are installed: $*"
        return 0
    fi
    local missing
    mapfile -t missing < <(missing_packages "$@")
    [ "${#missing[@]}" -eq 0 ] && return 0

    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
            sudo=(sudo)
        else
            log "missing packages: ${missing[*]}"
            log "install them with: sudo apt-get install ${missing[*]}"
            return 1
        fi
    fi
    log "installing ${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

ensure_build_deps() {
    ensure_packages "${CELVANE_BUILD_PACKAGES[@]}"
}

# Configures and builds one build tree. Extra arguments go to CMake's configure step.
build_tree() {
    local dir=$1
    shift
    cmake -S "$CELVANE_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir"
}

# Configures and builds the libFuzzer targets with clang: only them and what they link, since the
# rest of the program is built and warned about by the main build.
build_fuzzers() {
    local dir=$1
    cmake -S "$CELVANE_ROOT" -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCELVANE_WERROR=ON -DCELVANE_FUZZ=ON \
        -DCELVANE_BUILD_TESTS=OFF -DCELVANE_BUILD_BENCHMARKS=OFF >/dev/null
    local targets=()
    local seeds
    for seeds in "$CELVANE_ROOT"/tests/fuzz/corpus/*/; do
        targets+=("$(basename "$seeds")")
    done
    cmake --build "$dir" --target "${targets[@]}"
}
