#!/usr/bin/env bash
# scripts/plot reads the CSV log as written (quoted names, clients that come
# and go) and draws a log recorded from the simulated GPU.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/checks.sh"
require_packages gnuplot-nox
plot=$V3DWATCH_ROOT/scripts/plot

work=$(mktemp -d)
trap 'stop_simulator; rm -rf "$work"' EXIT

# The series of a small log: names quoted by RFC 4180, a client missing from
# the second sample, a process with two clients.
cat >"$work/small.csv" <<'CSV'
timestamp,client_id,pid,process,render%,tfu%,bin%,cpu%
100.000,3,50,"a, ""b""",10.0,0.0,1.0,5.0
100.000,4,60,gst,1.0,2.0,3.0,4.0
100.000,5,60,gst,0.0,9.0,0.0,4.0
101.000,4,60,gst,1.5,2.5,3.5,4.5
102.000,3,50,"a, ""b""",20.0,0.0,2.0,6.0
102.000,4,60,gst,1.0,2.0,3.0,4.0
CSV
cat >"$work/expected" <<'SERIES'
# a, "b" (50)
0.000 10.0 0.0 1.0 5.0

2.000 20.0 0.0 2.0 6.0


# gst (60) client 4
0.000 1.0 2.0 3.0 4.0
1.000 1.5 2.5 3.5 4.5
2.000 1.0 2.0 3.0 4.0


# gst (60) client 5
0.000 0.0 9.0 0.0 4.0
SERIES
"$plot" --series "$work/small.csv" >"$work/series"
diff -u "$work/expected" "$work/series" >&2 || fail "scripts/plot reads the small log wrongly"
echo "scripts/plot reads quoted names and gaps"

# Width and height from a PNG's header, or nothing when it is not a PNG.
png_size() {
    [ "$(od -An -c -j1 -N3 "$1" | tr -d ' ')" = PNG ] || return 0
    od -An -tu1 -j16 -N8 "$1" | awk '{ print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4 "x" $5 * 16777216 + $6 * 65536 + $7 * 256 + $8 }'
}

build_targets "$BUILD_DIR" v3dwatch gpu_simulator fake_kernel_run >/dev/null
require_namespaces
start_simulator
record_csv_log 6 "$work/gpu.csv"
stop_simulator
[ "$(wc -l <"$work/gpu.csv")" -gt 5 ] || fail "the recorded log is too short: $(cat "$work/gpu.csv")"
"$plot" "$work/gpu.csv" "$work/gpu.png" || fail "scripts/plot failed on a log from the simulator"
[ -s "$work/gpu.png" ] || fail "scripts/plot made no picture"
size=$(png_size "$work/gpu.png")
[ "$size" = 1200x1600 ] || fail "the picture is not a 1200x1600 PNG (${size:-not a PNG})"
"$plot" --series "$work/gpu.csv" >"$work/series"
for label in "labwc (812)" "supertuxkart (1317)" "clock-applet (1402)" "renderd (1600)"; do
    grep -qxF "# $label" "$work/series" || fail "the plot has no line for $label"
done
echo "scripts/plot draws a 1200x1600 PNG of a log from the simulator"
