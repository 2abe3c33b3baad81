#!/usr/bin/env bash
# The exporter's systemd unit, as cmake --install lays it out, passes
# systemd-analyze verify without a word: the program it starts is there and the
# man page it names resolves. Its sandbox stays tight by systemd's own measure,
# and lets through every system call that v3dwatch --prometheus makes.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/checks.sh"
require_packages systemd man-db strace
build_targets "$BUILD_DIR" v3dwatch v3dwatch_man_page gpu_simulator fake_kernel_run >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"; stop_simulator' EXIT
source_unit=$V3DWATCH_ROOT/contrib/v3dwatch-exporter.service

# Under a temporary prefix the unit starts that prefix's v3dwatch; nothing else
# of it changes.
cmake --install "$BUILD_DIR" --prefix "$work/usr" >/dev/null
unit=$work/usr/lib/systemd/system/v3dwatch-exporter.service
[ -f "$unit" ] || fail "cmake --install put no lib/systemd/system/v3dwatch-exporter.service"
grep -qx "ExecStart=$work/usr/bin/v3dwatch --prometheus /var/lib/prometheus/node-exporter/v3dwatch.prom -d 5" "$unit" ||
    fail "the installed unit does not start the installed v3dwatch: $(grep ExecStart "$unit")"
changes=$(diff <(sed "s|$work/usr/bin/v3dwatch|/usr/bin/v3dwatch|" "$unit") "$source_unit") ||
    fail "the installed unit differs from $source_unit beyond the program's path: $changes"

status=0
findings=$(cd "$work" && MANPATH=$work/usr/share/man systemd-analyze verify "$unit" 2>&1) || status=$?
[ "$status" -eq 0 ] && [ -z "$findings" ] || fail "systemd-analyze verify gave status $status: $findings"
echo "systemd-analyze verify accepts the installed unit without a finding"

status=0
exposure=$(systemd-analyze security --offline=true --threshold=20 "$unit" 2>&1) || status=$?
[ "$status" -eq 0 ] || fail "the unit's sandbox is looser than exposure level 2.0 by systemd-analyze security: $exposure"
echo "${exposure##*$'\n'}" | sed "s/^→ //"

# The system calls of three seconds of writes over the simulated GPU, against
# the unit's SystemCallFilter= lines: the first allows, the '~' ones deny.
require_namespaces
start_simulator
mkdir "$work/textfile"
timeout -s TERM 3 "$BUILD_DIR/tools/fake_kernel_run" "$SIMULATOR_TREE" strace -f -qq -c -o "$work/strace" \
    "$BUILD_DIR/v3dwatch" --prometheus "$work/textfile/v3dwatch.prom" -d 0.2 || [ $? -eq 124 ] ||
    fail "v3dwatch --prometheus under strace failed"
stop_simulator
awk 'NR > 2 && $NF ~ /^[a-z_0-9]+$/ && $NF != "total" { print $NF }' "$work/strace" | sort -u >"$work/used"
grep -qx rename "$work/used" || fail "strace saw no rename of the metrics file: $(cat "$work/strace")"

# The system calls a filter line names, its groups expanded.
filter_calls() {
    local name
    for name in "$@"; do
        case $name in
        @*) systemd-analyze syscall-filter "$name" | tail -n +2 | sed -n 's/^ *\([@a-z_0-9-]*\)$/\1/p' |
            while read -r member; do filter_calls "$member"; done ;;
        *) echo "$name" ;;
        esac
    done
}
mapfile -t filters < <(sed -n 's/^SystemCallFilter=//p' "$source_unit")
[ "${#filters[@]}" -ge 2 ] && [[ ${filters[0]} != '~'* ]] ||
    fail "the unit has no allow list followed by deny lists: ${filters[*]}"
read -ra allowed <<<"${filters[0]}"
filter_calls "${allowed[@]}" | sort -u >"$work/allowed"
for filter in "${filters[@]:1}"; do
    [[ $filter == '~'* ]] || fail "a second allow list in the unit: $filter"
    read -ra denied <<<"${filter#\~}"
    filter_calls "${denied[@]}"
done | sort -u >"$work/denied"
refused=$(comm -23 "$work/used" "$work/allowed"; comm -12 "$work/used" "$work/denied")
[ -z "$refused" ] || fail "the unit's SystemCallFilter refuses what v3dwatch calls: $(echo $refused)"
echo "the unit's SystemCallFilter lets through all $(wc -l <"$work/used") system calls v3dwatch --prometheus makes"
