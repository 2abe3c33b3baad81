#!/usr/bin/env bash
# The simulated GPU writes the kernel's formats, and the real v3dwatch --csv
# run over it for some seconds lists its clients at the loads it is set to.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/checks.sh"
build_targets "$BUILD_DIR" v3dwatch gpu_simulator fake_kernel_run >/dev/null

work=$(mktemp -d)
trap 'stop_simulator; rm -rf "$work"' EXIT
start_simulator
stats=$SIMULATOR_TREE/sys/class/drm/card0/device/gpu_stats

# gpu_stats: the header, then the six queues in order, TAB-separated, all rows
# with the same timestamp, which advances between two readings.
check_stats() {
    awk -F '\t' '
        NR == 1 { if ($0 != "queue\ttimestamp\tjobs\truntime") bad = "header: " $0; next }
        {
            split("bin render tfu csd cache_clean cpu", names, " ")
            if (NF != 4 || $1 != names[NR - 1]) bad = "row " NR ": " $0
            if ($2 !~ /^[0-9]+$/ || $3 !~ /^[0-9]+$/ || $4 !~ /^[0-9]+$/) bad = "row " NR ": " $0
            if (NR > 2 && $2 != stamp) bad = "timestamps differ on row " NR
            stamp = $2
        }
        END {
            if (NR != 7) bad = bad " (" NR " lines)"
            if (bad != "") { print bad; exit 1 }
            print stamp
        }' "$1"
}
first_stamp=$(check_stats "$stats") || fail "gpu_stats is malformed: $first_stamp"
sleep 0.5
second_stamp=$(check_stats "$stats") || fail "gpu_stats is malformed: $second_stamp"
[ "$second_stamp" -gt "$first_stamp" ] || fail "the gpu_stats timestamp does not advance ($first_stamp, $second_stamp)"

# A V3D fdinfo: a colon, a space and a TAB before every queue's value.
fdinfo=$SIMULATOR_TREE/proc/1317/fdinfo/11
for queue in bin render tfu csd cache_clean cpu; do
    grep -qP "^drm-engine-$queue: \t[0-9]+ ns\$" "$fdinfo" || fail "$fdinfo has no drm-engine-$queue line"
    grep -qP "^v3d-jobs-$queue: \t[0-9]+ jobs\$" "$fdinfo" || fail "$fdinfo has no v3d-jobs-$queue line"
done
grep -qP '^drm-driver:\tv3d$' "$fdinfo" || fail "$fdinfo has no driver line"
[ "$(cat "$SIMULATOR_TREE/proc/1317/comm")" = supertuxkart ] || fail "the game's comm is wrong"
grep -qE '^1317 \(supertuxkart\) S( [0-9-]+){20,}$' "$SIMULATOR_TREE/proc/1317/stat" || fail "the game's stat is malformed"

# As root, fd/ links lead the DRM descriptors to character nodes of major 226
# (0xe2), so that the run below takes the census's fast path.
if [ "$(id -u)" -eq 0 ]; then
    [ "$(stat -L -c '%F %t:%T' "$SIMULATOR_TREE/proc/1317/fd/11")" = "character special file e2:80" ] ||
        fail "the game's fd/11 does not lead to the render node 226:128"
    [ "$(stat -L -c '%F' "$SIMULATOR_TREE/proc/1317/fd/0")" = "character special file" ] &&
        [ "$(stat -L -c '%t' "$SIMULATOR_TREE/proc/1317/fd/0")" != e2 ] || fail "the game's fd/0 is not /dev/null"
fi

require_namespaces
log=$work/gpu.csv
record_csv_log 9.5 "$log"
echo "recorded $(($(wc -l <"$log") - 1)) rows"

# Each client's configured loads (in tools/gpu_simulator.cpp): client id (0 for
# a client that comes and goes under new ids), pid, name, then the lowest and
# highest render, tfu, bin and CPU per cent that it runs at over a second. The
# game's stutter (0.4 s of 70 % render) lifts its highest render and CPU. The
# compute client, on csd alone, is never in this stream.
expected=$work/expected
cat >"$expected" <<'TABLE'
1	812	labwc	2	6	15	35	0.5	1.5	6.5	11.5
2	1317	supertuxkart	25	56	1	3	10	20	38	60
3	1402	clock-applet	0	15	0	0	0	4	0.5	10
0	1455	Web Content	0	10	0	0	0	4	5	12
5	1520	gst-launch-1.0	4	8	0	0	1	3	7.3	11.5
6	1520	gst-launch-1.0	0	0	6	14	0	0	7.3	11.5
100	1600	renderd	7	13	0	0	3	7	1	1
TABLE

# A reading may straddle one of the simulator's updates (5 ms)
# at either end of its interval, and CPU time comes in clock ticks: hence the
# tolerance. A row of a client that was not in the frame before may start
# from part of an interval, so only its upper bounds hold.
awk -F '\t' -v log_file="$log" '
    function fail(message) { print "FAIL: " message > "/dev/stderr"; failed = 1 }
    FNR == NR {
        key = $1 == 0 ? "name:" $3 : "id:" $1
        pid[key] = $2; name[key] = $3
        for (i = 0; i < 4; ++i) { low[key, i] = $(4 + 2 * i); high[key, i] = $(5 + 2 * i) }
        keys[++key_count] = key
        next
    }
    END {
        FS = ","
        if ((getline header < log_file) <= 0 || header != "timestamp,client_id,pid,process,render%,tfu%,bin%,cpu%")
            fail("bad header: " header)
        split("render tfu bin CPU", columns, " ")
        while ((getline line < log_file) > 0) {
            count = split(line, field, ",")
            if (count != 8) { fail("malformed row: " line); continue }
            if (field[1] != stamp) { frames++; stamp = field[1]; delete previous_frame; for (k in this_frame) previous_frame[k] = 1; delete this_frame }
            id = field[2]
            key = ("id:" id) in pid ? "id:" id : "name:" field[4]
            if (!(key in pid)) { fail("unknown client: " line); continue }
            if (field[3] != pid[key] || field[4] != name[key]) fail("wrong owner: " line)
            if (("row:" id) in this_frame) fail("client " id " listed twice in one frame")
            this_frame["row:" id] = 1
            continuing = ("row:" id) in previous_frame
            for (i = 0; i < 4; ++i) {
                value = field[5 + i] + 0
                tolerance = (i == 3 ? 3 : 1.5) + 0.2 * high[key, i]
                if (value > high[key, i] + tolerance || (continuing && value < low[key, i] - tolerance))
                    fail(columns[i + 1] " " value " outside " low[key, i] "-" high[key, i] ": " line)
            }
            rows[key]++
            if (field[5] + 0 > 0) busy[key]++; else idle[key]++
            seen_in_frame[key, frames] = 1
        }
        if (frames < 6) fail("only " frames " frames in the log")
        for (k = 1; k <= key_count; ++k) {
            key = keys[k]
            if (rows[key] == 0) fail(name[key] " (" key ") never listed")
        }
        if (busy["id:3"] == 0 || idle["id:3"] == 0) fail("the idle client never both slept and woke")
        if (rows["name:Web Content"] >= frames) fail("the client that comes and goes never went")
        exit failed
    }' "$expected" || fail "v3dwatch over the simulator does not show the configured loads; the log: $(cat "$log")"
echo "v3dwatch lists every simulated client within its configured loads"

# A followed command of the simulated GPU's own: tools/simulated_client keeps
# render 40 % busy for 3 s, so the summary's mean is 40 within 2 points; at
# -d 0.05 the census meets it between samples, and no sample shows it past
# its 40 % (its busy time spread over the census period it opened its file in).
build_targets "$BUILD_DIR" simulated_client >/dev/null
summary=$("$BUILD_DIR/tools/fake_kernel_run" "$SIMULATOR_TREE" "$BUILD_DIR/v3dwatch" -- \
    "$BUILD_DIR/tools/simulated_client" 3 2>&1 >/dev/null) || fail "the followed simulated client failed: $summary"
awk '$1 == "render" { found = 1; if ($2 < 38 || $2 > 42) exit 1 } END { exit !found }' <<<"$summary" ||
    fail "the followed simulated client's render mean is not 40 within 2 points: $summary"
"$BUILD_DIR/tools/fake_kernel_run" "$SIMULATOR_TREE" "$BUILD_DIR/v3dwatch" --csv -o "$work/client.csv" -d 0.05 -- \
    "$BUILD_DIR/tools/simulated_client" 2 2>/dev/null || fail "the simulated client at -d 0.05 failed"
awk -F, '$4 == "sim-client" { rows++; if ($5 > 45) exit 1 } END { exit !(rows > 10) }' "$work/client.csv" ||
    fail "the simulated client at -d 0.05 shows more than its load, or too few rows: $(grep sim-client "$work/client.csv")"
echo "a followed simulated client shows its render 40 %: $(awk '$1 == "render" { print $2 }' <<<"$summary") % mean"
