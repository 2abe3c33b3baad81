#!/usr/bin/env bash
# cmake --install puts v3dwatch and its man page where a command-line tool's
# belong, the exporter's unit and the dashboard beside them, and CPack makes a
# .deb of them that depends on the ncursesw runtime.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/checks.sh"
require_packages dpkg-dev file groff-base
build_targets "$BUILD_DIR" v3dwatch v3dwatch_man_page >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The installed or packaged tree below `root` holds the program and the man page.
check_tree() {
    local what=$1 root=$2
    [ -x "$root/usr/bin/v3dwatch" ] || fail "$what: no executable usr/bin/v3dwatch"
    local usage status=0
    usage=$("$root/usr/bin/v3dwatch" --help 2>&1) || status=$?
    [ "$status" -eq 0 ] && [[ $usage == "Usage: "*"/usr/bin/v3dwatch [options]"* ]] ||
        fail "$what: v3dwatch --help gave status $status and: $usage"
    local page=$root/usr/share/man/man1/v3dwatch.1.gz
    [ -f "$page" ] || fail "$what: no man page usr/share/man/man1/v3dwatch.1.gz"
    gzip -t "$page" || fail "$what: the man page is not gzipped"
    local section
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS KEYS 'CSV FORMAT' 'EXIT STATUS' FILES PERMISSIONS \
        'HOW THE PERCENTAGES ARE COMPUTED'; do
        gzip -dc "$page" | grep -qxE "\.SH \"?$section\"?" || fail "$what: the man page has no section $section"
    done
    gzip -dc "$page" | grep -qx 'timestamp,client_id,pid,process,render%,tfu%,bin%,cpu%' ||
        fail "$what: the man page does not give the CSV header"
    local warnings
    warnings=$(gzip -dc "$page" | groff -man -ww -z -Tutf8 2>&1) || fail "$what: groff cannot format the man page"
    [ -z "$warnings" ] || fail "$what: the man page draws warnings: $warnings"
    # The prefix is the one in force at install time, which the build's need not be.
    grep -q '^ExecStart=/usr/bin/v3dwatch ' "$root/usr/lib/systemd/system/v3dwatch-exporter.service" ||
        fail "$what: the exporter's unit does not start /usr/bin/v3dwatch"
    local files
    files=$(cd "$root" && find . -type f | sort | tr '\n' ' ')
    [ "$files" = "./usr/bin/v3dwatch ./usr/lib/systemd/system/v3dwatch-exporter.service ./usr/share/man/man1/v3dwatch.1.gz ./usr/share/v3dwatch/v3dwatch-dashboard.json " ] ||
        fail "$what: unexpected files: $files"
}

DESTDIR=$work/root cmake --install "$BUILD_DIR" --prefix /usr >/dev/null
check_tree "cmake --install" "$work/root"
echo "cmake --install puts bin/v3dwatch, man1/v3dwatch.1.gz, the unit and the dashboard in place"

cpack --config "$BUILD_DIR/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1 ||
    fail "cpack failed: $(cat "$work/cpack.log")"
package=$(find "$work/package" -maxdepth 1 -name 'v3dwatch_*.deb')
[ -n "$package" ] && [ "$(echo "$package" | wc -l)" -eq 1 ] || fail "cpack made no single .deb: $package"
dpkg-deb -I "$package" >"$work/info" || fail "dpkg-deb cannot read $package"
architecture=$(dpkg-deb -f "$package" Architecture)
[ "$architecture" = "$(dpkg --print-architecture)" ] ||
    fail "the package is for $architecture, not $(dpkg --print-architecture)"
depends=$(dpkg-deb -f "$package" Depends)
ncursesw_runtime='(^|[ ,])libncursesw[0-9]+([ ,(]|$)'
[[ $depends =~ $ncursesw_runtime ]] || fail "the package does not depend on the ncursesw runtime: $depends"
dpkg-deb -c "$package" >"$work/contents"
grep -q ' \./usr/bin/v3dwatch$' "$work/contents" || fail "the package has no usr/bin/v3dwatch: $(cat "$work/contents")"
grep -q ' \./usr/share/man/man1/v3dwatch\.1\.gz$' "$work/contents" ||
    fail "the package has no man page: $(cat "$work/contents")"
dpkg-deb -x "$package" "$work/unpacked"
check_tree "the .deb" "$work/unpacked"
echo "the .deb ($(basename "$package")) depends on: $depends"
