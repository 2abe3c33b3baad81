# Shared by the checks in scripts/checks/: failing loudly, the namespace rule,
# and a simulated GPU to run v3dwatch over.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/namespaces.sh"
BUILD_DIR=$V3DWATCH_ROOT/build

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
