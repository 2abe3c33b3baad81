#!/usr/bin/env bash
# The Debian package, as a packager builds it: dpkg-buildpackage on a copy of
# the tree, with the tests run by dh_auto_test and no compiler warning;
# lintian without errors or warnings; then installed with apt-get, run, and
# purged, which must remove every file it installed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/checks.sh"
require_packages build-essential dpkg-dev debhelper lintian cmake libncurses-dev rapidjson-dev libgtest-dev tmux

if dpkg-query -W -f='${Status}' v3dwatch 2>/dev/null | grep -q 'install ok installed'; then
    fail "v3dwatch is installed here already; this check installs and purges its own build"
fi
work=$(mktemp -d)
installed=0
clean_up() {
    if [ "$installed" = 1 ]; then
        apt-get purge -y -qq v3dwatch >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap clean_up EXIT

build_debian_package "$work"
version=$(dpkg-parsechangelog -l "$work/v3dwatch/debian/changelog" -S Version)
architecture=$(dpkg --print-architecture)
grep -qE '^100% tests passed, 0 tests failed' "$work/build.log" ||
    fail "the tests did not run during the package build: $(grep -A3 dh_auto_test "$work/build.log")"
package=$work/v3dwatch_${version}_$architecture.deb
[ -f "$package" ] || fail "no $package; made: $(ls "$work")"
echo "dpkg-buildpackage made $(basename "$package"), $(grep -oE 'tests passed, 0 tests failed out of [0-9]+' "$work/build.log")"
# The terminal view loads ncursesw itself, so no shlibs entry brings it in.
depends=$(dpkg-deb -f "$package" Depends)
grep -qE '(^|, )libncursesw6(,|$| )' <<<"$depends" || fail "the package does not depend on libncursesw6: $depends"
require_lintian_clean "$work/v3dwatch_${version}_$architecture.changes" "$work/v3dwatch_$version.dsc"

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: installing the package needs root"
    exit 0
fi
export DEBIAN_FRONTEND=noninteractive
installed=1
(cd "$work" && apt-get install -y -qq "./$(basename "$package")") >"$work/install.log" 2>&1 ||
    fail "apt-get install failed: $(cat "$work/install.log")"
output=$(v3dwatch --version 2>&1) || fail "v3dwatch --version failed: $output"
[ "$output" = "v3dwatch $version" ] || fail "v3dwatch --version says: $output"
echo "installed with apt-get; v3dwatch --version says: $output"

files=$(dpkg-query -L v3dwatch | while read -r path; do [ -d "$path" ] || echo "$path"; done)
[ -n "$files" ] || fail "dpkg lists no files of v3dwatch"
apt-get purge -y -qq v3dwatch >"$work/purge.log" 2>&1 || fail "apt-get purge failed: $(cat "$work/purge.log")"
installed=0
left=$(for path in $files; do [ ! -e "$path" ] || echo "$path"; done)
[ -z "$left" ] || fail "apt-get purge left: $left"
! dpkg-query -W -f='${Status}' v3dwatch 2>/dev/null | grep -q installed || fail "v3dwatch is still known to dpkg"
[ ! -e /usr/share/doc/v3dwatch ] || fail "apt-get purge left /usr/share/doc/v3dwatch"
echo "apt-get purge removed all $(echo "$files" | wc -l) files"
