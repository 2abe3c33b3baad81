# Shared by the scripts: the project's root, the build, and the Debian
# packages they need.
V3DWATCH_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# What building v3dwatch with its tests needs (scripts/run).
BUILD_PACKAGES=(cmake g++ make libncurses-dev rapidjson-dev libgtest-dev)
FUZZ_PACKAGES=(cmake make clang libclang-rt-dev libncurses-dev rapidjson-dev)
# Everything scripts/test and its checks need, in one list, so that one line
# names every missing package before anything is built. README's "For
# contributors" lists the same.
TEST_PACKAGES=(
    "${BUILD_PACKAGES[@]}" tmux util-linux procps libbenchmark-dev
    "${FUZZ_PACKAGES[@]}" clang-tidy cppcheck
    gnuplot-nox groff-base
    build-essential dpkg-dev debhelper lintian
    g++-aarch64-linux-gnu libncurses-dev:arm64 libgtest-dev:arm64 libstdc++6:arm64 qemu-user-static
    prometheus prometheus-node-exporter curl python3 systemd man-db strace
)

# Installs the named Debian packages that are missing when run as root;
# otherwise prints the one line that installs them and fails. A name such as
# libncurses-dev:arm64 adds its architecture to dpkg first.
require_packages() {
    local missing=() architectures=() package architecture
    declare -A seen=()
    for package in "$@"; do
        [ -z "${seen[$package]:-}" ] || continue
        seen[$package]=1
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
            architecture=${package#*:}
            if [ "$architecture" != "$package" ] && [ -z "${seen[:$architecture]:-}" ] &&
                [ "$architecture" != "$(dpkg --print-architecture)" ] &&
                ! dpkg --print-foreign-architectures | grep -qx "$architecture"; then
                seen[:$architecture]=1
                architectures+=("$architecture")
            fi
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing ${missing[*]}" >&2
        export DEBIAN_FRONTEND=noninteractive
        for architecture in "${architectures[@]}"; do
            dpkg --add-architecture "$architecture" || return
        done
        # Some packages (Prometheus, node_exporter) start their daemons from
        # their maintainer scripts where systemd is not running; a policy-rc.d
        # that refuses every start keeps the machine as it was.
        local policy=/usr/sbin/policy-rc.d placed=0 status=0
        if [ ! -e "$policy" ]; then
            printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod 755 "$policy" && placed=1
        fi
        { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >&2 || status=$?
        [ "$placed" -eq 0 ] || rm -f "$policy"
        return "$status"
    else
        local line=
        for architecture in "${architectures[@]}"; do
            line+="sudo dpkg --add-architecture $architecture && "
        done
        [ ${#architectures[@]} -eq 0 ] || line+="sudo apt-get update && "
        echo "Missing packages; install them with:" >&2
        echo "  ${line}sudo apt-get install -y ${missing[*]}" >&2
        return 1
    fi
}

# The project's own builds make every warning an error.
PROJECT_BUILD_OPTIONS=(-DV3DWATCH_WERROR=ON)
# build/: the build that scripts/test tests and scripts/run runs.
MAIN_BUILD_OPTIONS=(-DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON)

# Configures and builds into build/ (or the folder given), with the options
# given after the folder.
build_project() {
    local build_dir=${1:-$V3DWATCH_ROOT/build}
    shift || true
    cmake -S "$V3DWATCH_ROOT" -B "$build_dir" "${PROJECT_BUILD_OPTIONS[@]}" "$@" >/dev/null &&
        cmake --build "$build_dir" -j"$(nproc)"
}

# Builds only the targets named, configuring build/ (or the folder given) the
# first time; the build's options stay as they were.
build_targets() {
    local build_dir=$1
    shift
    if [ ! -f "$build_dir/CMakeCache.txt" ]; then
        cmake -S "$V3DWATCH_ROOT" -B "$build_dir" "${PROJECT_BUILD_OPTIONS[@]}" "${MAIN_BUILD_OPTIONS[@]}" \
            >/dev/null || return
    fi
    cmake --build "$build_dir" -j"$(nproc)" --target "$@"
}

FUZZ_TARGETS=(fdinfo_fuzz stat_line_fuzz gpu_stats_fuzz recording_fuzz summary_fuzz)

# What a run of scripts/test skipped, and why, for its closing line: empty
# when nothing was. Takes ctest's output, ctest's LastTest.log (where each
# skipped test's reason follows its "Skipped" line) and the checks' output.
describe_skips() {
    local ctest_output=$1 test_log=$2 checks_output=$3 tests checks text=
    tests=$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$ctest_output" || true)
    checks=$(grep -c '^SKIP: ' "$checks_output" || true)
    join_reasons() { sort -u | awk 'NF { printf "%s%s", (n++ ? "; " : ""), $0 }'; }
    if [ "$tests" -gt 0 ]; then
        text+="; skipped: $tests test$([ "$tests" -eq 1 ] || echo s) ($(
            grep -A1 -E ': Skipped$' "$test_log" 2>/dev/null | grep -vE ': Skipped$|^--$' | join_reasons))"
    fi
    if [ "$checks" -gt 0 ]; then
        [ -n "$text" ] && text+="," || text="; skipped:"
        text+=" $checks check$([ "$checks" -eq 1 ] || echo s) ($(
            sed -n 's/^SKIP: //p' "$checks_output" | join_reasons))"
    fi
    printf '%s' "$text"
}
