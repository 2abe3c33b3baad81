# Shared by the checks in scripts/checks/: failing loudly, the namespace rule,
# and a simulated GPU to run v3dwatch over.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/namespaces.sh"
BUILD_DIR=$V3DWATCH_ROOT/build

# Waits up to `seconds` for a command to succeed.
wait_for() {
    local tries=$(($1 * 10))
    shift
    until "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Without namespaces the checks that need them skip, unless the run demands
# them (CI sets V3DWATCH_REQUIRE_NAMESPACES=1): then they fail.
require_namespaces() {
    local reason
    reason=$(probe_namespaces "$BUILD_DIR/tools/fake_kernel_run") && return 0
    if [ "${V3DWATCH_REQUIRE_NAMESPACES:-0}" = 1 ]; then
        fail "private mount namespaces are required here but cannot be made: $reason"
    fi
    echo "SKIP: no private mount namespace can be made here ($reason)"
    exit 0
}

# Starts the simulated GPU; sets SIMULATOR_PID and SIMULATOR_TREE.
start_simulator() {
    exec {simulator_output}< <(exec "$BUILD_DIR/tools/gpu_simulator")
    SIMULATOR_PID=$!
    SIMULATOR_TREE=
    read -r SIMULATOR_TREE <&"$simulator_output" || true
    exec {simulator_output}<&-
    [ -n "$SIMULATOR_TREE" ] && [ -d "$SIMULATOR_TREE" ] || fail "the simulator did not start"
}

# Stops it and checks that it removed its tree.
stop_simulator() {
    [ -n "${SIMULATOR_PID:-}" ] || return 0
    kill -TERM "$SIMULATOR_PID" 2>/dev/null || true
    wait "$SIMULATOR_PID" 2>/dev/null || true
    SIMULATOR_PID=
    # A shell that a signal is ending no longer waits for it: give it a second.
    local tries=10
    while [ -e "$SIMULATOR_TREE" ] && [ $((tries -= 1)) -gt 0 ]; do
        sleep 0.1
    done
    [ ! -e "$SIMULATOR_TREE" ] || fail "the simulator left its tree $SIMULATOR_TREE behind"
}

# Records `seconds` of v3dwatch --csv over the running simulator into `log`.
record_csv_log() {
    local seconds=$1 log=$2 status=0
    timeout --preserve-status -s TERM "$seconds" \
        "$BUILD_DIR/tools/fake_kernel_run" "$SIMULATOR_TREE" "$BUILD_DIR/v3dwatch" --csv >"$log" || status=$?
    [ "$status" -eq 0 ] || fail "v3dwatch --csv over the simulator exited with status $status"
}

# Copies the tree as a packager gets it (no git, no builds) to `work`/v3dwatch,
# makes the source package from it, and builds the Debian package there with
# the dpkg-buildpackage arguments given; the packages land in `work`, the log
# in `work`/build.log.
build_debian_package() {
    local work=$1
    shift
    mkdir -p "$work/v3dwatch"
    tar -C "$V3DWATCH_ROOT" --exclude=./.git --exclude='./build' --exclude='./build-*' --exclude='./obj-*' -cf - . |
        tar -C "$work/v3dwatch" -xf -
    (cd "$work" && dpkg-source -b v3dwatch) >/dev/null || fail "dpkg-source cannot make the source package"
    if ! (cd "$work/v3dwatch" && dpkg-buildpackage -us -uc -b -j"$(nproc)" "$@") >"$work/build.log" 2>&1; then
        tail -n 100 "$work/build.log" >&2
        fail "dpkg-buildpackage $* failed"
    fi
    # Compiler and linker warnings, and any of debhelper's or CMake's.
    if grep -E '(warning|Warning): ' "$work/build.log" | grep -v '^dpkg-' >&2; then
        fail "dpkg-buildpackage $* has warnings"
    fi
}

# lintian over the files given: no errors and no warnings.
require_lintian_clean() {
    local log
    log=$(lintian --fail-on error,warning "$@" 2>&1) || { echo "$log" >&2; fail "lintian has findings"; }
    if grep -E '^[EW]: ' <<<"$log" >&2; then
        fail "lintian has errors or warnings"
    fi
    echo "lintian: no errors, no warnings"
}
