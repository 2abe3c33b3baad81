#!/usr/bin/env bash
# scripts/plot reads the CSV log as written (quoted names, clients that come
# and go), draws a series per process, the eight busiest and the rest summed,
# and draws a log recorded from the simulated GPU.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/checks.sh"
require_packages gnuplot-nox
plot=$V3DWATCH_ROOT/scripts/plot

work=$(mktemp -d)
trap 'stop_simulator; rm -rf "$work"' EXIT

# A hand-written log of 13 series over three samples. web reopens its client
# (id 2, then 7) and stays one series; gst holds two clients at once and is
# split by client; d misses the middle sample; c's name is quoted by RFC 4180.
# Busy time (render + TFU + bin, summed over the samples): game 270, web 240,
# a 150, gst client 3 140, gst client 4 120, b 105, c 90, d 80, then e 60, f 4,
# g 2 and h's two clients 0.5 each, which make "others": at 10 s render
# 20 + 2, TFU 1, CPU 4 + 1 + 2; at 11 s render 20, TFU 1, bin 0.5 + 0.5, CPU
# 4 + 2 + 3 (h's CPU once for its two clients); at 12 s render 20 + 2, CPU 4 + 1.
cat >"$work/long.csv" <<'CSV'
timestamp,client_id,pid,process,render%,tfu%,bin%,cpu%
10.000,1,10,game,90.0,0.0,0.0,50.0
10.000,2,20,web,80.0,0.0,0.0,30.0
10.000,3,30,gst,0.0,70.0,0.0,12.0
10.000,4,30,gst,0.0,0.0,60.0,12.0
10.000,5,40,a,50.0,0.0,0.0,8.0
10.000,6,41,b,35.0,0.0,0.0,7.0
10.000,8,42,"c, ""q""",30.0,0.0,0.0,6.0
10.000,9,43,d,40.0,0.0,0.0,5.0
10.000,10,44,e,20.0,0.0,0.0,4.0
10.000,11,45,f,2.0,0.0,0.0,1.0
10.000,12,46,g,0.0,1.0,0.0,2.0
11.000,1,10,game,90.0,0.0,0.0,50.0
11.000,7,20,web,80.0,0.0,0.0,30.0
11.000,3,30,gst,0.0,70.0,0.0,12.0
11.000,4,30,gst,0.0,0.0,60.0,12.0
11.000,5,40,a,50.0,0.0,0.0,8.0
11.000,6,41,b,35.0,0.0,0.0,7.0
11.000,8,42,"c, ""q""",30.0,0.0,0.0,6.0
11.000,10,44,e,20.0,0.0,0.0,4.0
11.000,12,46,g,0.0,1.0,0.0,2.0
11.000,13,47,h,0.0,0.0,0.5,3.0
11.000,14,47,h,0.0,0.0,0.5,3.0
12.000,1,10,game,90.0,0.0,0.0,50.0
12.000,7,20,web,80.0,0.0,0.0,30.0
12.000,5,40,a,50.0,0.0,0.0,8.0
12.000,6,41,b,35.0,0.0,0.0,7.0
12.000,8,42,"c, ""q""",30.0,0.0,0.0,6.0
12.000,9,43,d,40.0,0.0,0.0,5.0
12.000,10,44,e,20.0,0.0,0.0,4.0
12.000,11,45,f,2.0,0.0,0.0,1.0
CSV
cat >"$work/expected" <<'SERIES'
# game (10)
0.000 90.0 0.0 0.0 50.0
1.000 90.0 0.0 0.0 50.0
2.000 90.0 0.0 0.0 50.0


# web (20)
0.000 80.0 0.0 0.0 30.0
1.000 80.0 0.0 0.0 30.0
2.000 80.0 0.0 0.0 30.0


# a (40)
0.000 50.0 0.0 0.0 8.0
1.000 50.0 0.0 0.0 8.0
2.000 50.0 0.0 0.0 8.0


# gst (30) client 3
0.000 0.0 70.0 0.0 12.0
1.000 0.0 70.0 0.0 12.0


# gst (30) client 4
0.000 0.0 0.0 60.0 12.0
1.000 0.0 0.0 60.0 12.0


# b (41)
0.000 35.0 0.0 0.0 7.0
1.000 35.0 0.0 0.0 7.0
2.000 35.0 0.0 0.0 7.0


# c, "q" (42)
0.000 30.0 0.0 0.0 6.0
1.000 30.0 0.0 0.0 6.0
2.000 30.0 0.0 0.0 6.0


# d (43)
0.000 40.0 0.0 0.0 5.0

2.000 40.0 0.0 0.0 5.0


# others
0.000 22.0 1.0 0.0 7.0
1.000 20.0 1.0 1.0 9.0
2.000 22.0 0.0 0.0 5.0
SERIES
"$plot" --series "$work/long.csv" >"$work/series"
diff -u "$work/expected" "$work/series" >&2 || fail "scripts/plot groups the long log's series wrongly"

# The legend of every panel names those nine series, in that order: gnuplot
# is replaced by a stand-in that keeps the commands it is given.
mkdir "$work/bin"
cat >"$work/bin/gnuplot" <<STUB
#!/bin/sh
[ "\$1" = -e ] || cp "\$1" '$work/commands.gp'
STUB
chmod +x "$work/bin/gnuplot"
PATH=$work/bin:$PATH "$plot" "$work/long.csv" "$work/long.png" || fail "scripts/plot failed on the long log"
sed -n 's/^# //p' "$work/expected" >"$work/labels"
cat "$work/labels" "$work/labels" "$work/labels" "$work/labels" >"$work/legend-expected" # four panels
grep -o "pointsize 0.4 title '[^']*'" "$work/commands.gp" | sed "s/^pointsize 0.4 title '\(.*\)'\$/\1/" >"$work/legend"
diff -u "$work/legend-expected" "$work/legend" >&2 || fail "the plot's legends do not name the nine series"
echo "scripts/plot shows a series per process, the eight busiest and the rest as others"

# Width and height from a PNG's header, or nothing when it is not a PNG.
png_size() {
    [ "$(od -An -c -j1 -N3 "$1" | tr -d ' ')" = PNG ] || return 0
    od -An -tu1 -j16 -N8 "$1" | awk '{ print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4 "x" $5 * 16777216 + $6 * 65536 + $7 * 256 + $8 }'
}

build_targets "$BUILD_DIR" v3dwatch gpu_simulator fake_kernel_run >/dev/null
require_namespaces
start_simulator
record_csv_log 6 "$work/gpu.csv"
timeout --preserve-status -s TERM 3 "$BUILD_DIR/tools/fake_kernel_run" "$SIMULATOR_TREE" "$BUILD_DIR/v3dwatch" --csv -d 0.01 \
    >"$work/fast.csv" || fail "v3dwatch --csv -d 0.01 over the simulator failed"
stop_simulator
[ "$(wc -l <"$work/gpu.csv")" -gt 5 ] || fail "the recorded log is too short: $(cat "$work/gpu.csv")"
"$plot" "$work/gpu.csv" "$work/gpu.png" || fail "scripts/plot failed on a log from the simulator"
[ -s "$work/gpu.png" ] || fail "scripts/plot made no picture"
size=$(png_size "$work/gpu.png")
[ "$size" = 1200x1600 ] || fail "the picture is not a 1200x1600 PNG (${size:-not a PNG})"
"$plot" --series "$work/gpu.csv" >"$work/series"
# Seven series: Web Content's successive clients make one, gst-launch-1.0's two
# at once make two.
expected_labels="labwc (812)
supertuxkart (1317)
clock-applet (1402)
Web Content (1455)
gst-launch-1.0 (1520) client 5
gst-launch-1.0 (1520) client 6
renderd (1600)"
labels=$(sed -n 's/^# //p' "$work/series" | sort)
[ "$labels" = "$(sort <<<"$expected_labels")" ] || fail "the simulator's log gives the series: $labels"
echo "scripts/plot draws a 1200x1600 PNG of a log from the simulator"

# A hundred samples a second (fast.csv, taken beside gpu.csv): the simulator's
# counters move between any two, so the stuttering game's render line is a
# timeline, not a comb of zeros.
read -r rows zeros < <("$plot" --series "$work/fast.csv" |
    awk '/^# / { series = $0; next } series == "# supertuxkart (1317)" && NF { ++rows; zeros += $2 == 0 }
         END { print rows + 0, zeros + 0 }')
[ "$rows" -ge 100 ] && [ "$zeros" -le $((rows / 50)) ] ||
    fail "at -d 0.01 supertuxkart's render reads 0 in $zeros of $rows samples"
"$plot" "$work/fast.csv" "$work/fast.png" && [ "$(png_size "$work/fast.png")" = 1200x1600 ] ||
    fail "scripts/plot cannot draw a log taken at 100 Hz"
echo "at -d 0.01 the simulator's game is busy in $((rows - zeros)) of its $rows samples, and scripts/plot draws them"
