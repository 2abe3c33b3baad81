#!/usr/bin/env bash
# Reading the V3D clock's rate is a blocking call into the board's firmware:
# v3dwatch reads clk_rate once a census at most (at -d 0.01 for 1 s over the
# simulated GPU: the first census and the one a second later), and never while
# clk_enable_count says the clock is off. Counted with strace, which names each
# descriptor's file (-y).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/checks.sh"
build_targets "$BUILD_DIR" v3dwatch gpu_simulator fake_kernel_run >/dev/null
require_namespaces
command -v strace >/dev/null || fail "strace is missing"

work=$(mktemp -d)
trap 'stop_simulator; rm -rf "$work"' EXIT

# Reads of the named file of the V3D clock in a trace.
reads_of() {
    grep -cE "^[0-9]+ +p?read64?\([0-9]+</sys/kernel/debug/clk/fw-clk-v3d/$1>" "$2" || true
}

start_simulator
timeout 60 strace -f -y -e trace=read,pread64 -o "$work/on.txt" "$BUILD_DIR/tools/fake_kernel_run" \
    "$SIMULATOR_TREE" "$BUILD_DIR/v3dwatch" --csv -d 0.01 -n 100 >/dev/null
rate=$(reads_of clk_rate "$work/on.txt")
enabled=$(reads_of clk_enable_count "$work/on.txt")
[ "$enabled" -ge 1 ] && [ "$rate" -ge 1 ] || fail "the clock was not read ($enabled enable counts, $rate rates)"
[ "$rate" -le 2 ] || fail "clk_rate was read $rate times in 100 samples at -d 0.01"
echo "100 samples at -d 0.01 over the simulated GPU: clk_enable_count read $enabled times, clk_rate $rate"

# A clock switched off: its enable count is read, its rate never.
tree=$work/off
mkdir -p "$tree/proc" "$tree/sys/class/drm/card0/device" "$tree/sys/kernel/debug/clk/fw-clk-v3d"
printf 'queue\ttimestamp\tjobs\truntime\nbin\t1000\t0\t0\n' >"$tree/sys/class/drm/card0/device/gpu_stats"
echo 0 >"$tree/sys/kernel/debug/clk/fw-clk-v3d/clk_enable_count"
echo 500000000 >"$tree/sys/kernel/debug/clk/fw-clk-v3d/clk_rate"
timeout 60 strace -f -y -e trace=read,pread64 -o "$work/off.txt" "$BUILD_DIR/tools/fake_kernel_run" "$tree" \
    "$BUILD_DIR/v3dwatch" --json -d 0.1 --census 0.1 -n 3 >"$work/off.json"
enabled=$(reads_of clk_enable_count "$work/off.txt")
rate=$(reads_of clk_rate "$work/off.txt")
[ "$enabled" -ge 3 ] || fail "clk_enable_count was read $enabled times in 3 censuses"
[ "$rate" -eq 0 ] || fail "clk_rate was read $rate times while the clock was off"
grep -q '"clock_on":false' "$work/off.json" || fail "the clock is not shown off: $(head -n 1 "$work/off.json")"
echo "a clock switched off: clk_enable_count read $enabled times, clk_rate never"
