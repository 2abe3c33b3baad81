# Shared by the scripts: the project's root, the build, and the Debian
# packages a step needs.
V3DWATCH_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Installs the named Debian packages that are missing when run as root;
# otherwise prints the one line that installs them and fails.
require_packages() {
    local missing=() package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing ${missing[*]}" >&2
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq >&2 && apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
    else
        echo "Missing packages; install them with:" >&2
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        return 1
    fi
}

BUILD_PACKAGES=(cmake g++ make libncurses-dev libgtest-dev)

# Configures and builds into build/ (or the folder given).
build_project() {
    local build_dir=${1:-$V3DWATCH_ROOT/build}
    shift || true
    cmake -S "$V3DWATCH_ROOT" -B "$build_dir" "$@" >/dev/null &&
        cmake --build "$build_dir" -j"$(nproc)"
}

# Builds only the targets named, configuring build/ (or the folder given) the
# first time; the build's options stay as they were.
build_targets() {
    local build_dir=$1
    shift
    if [ ! -f "$build_dir/CMakeCache.txt" ]; then
        cmake -S "$V3DWATCH_ROOT" -B "$build_dir" >/dev/null || return
    fi
    cmake --build "$build_dir" -j"$(nproc)" --target "$@"
}

FUZZ_PACKAGES=(cmake make clang libclang-rt-dev libncurses-dev)
FUZZ_TARGETS=(fdinfo_fuzz stat_line_fuzz gpu_stats_fuzz)
