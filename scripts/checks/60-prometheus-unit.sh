#!/usr/bin/env bash
# The exporter's systemd unit, as cmake --install lays it out, passes
# systemd-analyze verify without a word: the program it starts is there and the
# man page it names resolves. Its sandbox stays tight by systemd's own measure.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/checks.sh"
require_packages systemd man-db
build_targets "$BUILD_DIR" v3dwatch v3dwatch_man_page >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
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
