#!/usr/bin/env bash
# cmake --install puts v3dwatch and its man page where a command-line tool's
# belong, the exporter's unit and the dashboard beside them, and the version is
# the project's everywhere: the man page, the program's --version and
# debian/changelog.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/checks.sh"
require_packages dpkg-dev groff-base
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
    # Unpacked once: grep -q leaves a pipe as soon as it matches, and gzip
    # still writing into it would end with SIGPIPE, which pipefail reports.
    local section text
    text=$(gzip -dc "$page")
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS KEYS 'CSV FORMAT' 'EXIT STATUS' FILES PERMISSIONS \
        'HOW THE PERCENTAGES ARE COMPUTED'; do
        grep -qxE "\.SH \"?$section\"?" <<<"$text" || fail "$what: the man page has no section $section"
    done
    grep -qx 'timestamp,client_id,pid,process,render%,tfu%,bin%,cpu%' <<<"$text" ||
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

version=$(sed -n 's/^project(v3dwatch VERSION \([^ )]*\).*/\1/p' "$V3DWATCH_ROOT/CMakeLists.txt")
[ -n "$version" ] || fail "no version in project() of CMakeLists.txt"
changelog_version=$(dpkg-parsechangelog -l "$V3DWATCH_ROOT/debian/changelog" -S Version)
[ "$changelog_version" = "$version" ] ||
    fail "debian/changelog is at $changelog_version, the project at $version"
title=$(gzip -dc "$work/root/usr/share/man/man1/v3dwatch.1.gz")
grep -qF " \"v3dwatch $version\" " <<<"${title%%$'\n'*}" ||
    fail "the man page's title line does not carry $version"
echo "debian/changelog and the man page agree with the project's version $version"
