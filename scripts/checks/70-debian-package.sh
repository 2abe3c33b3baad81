#!/usr/bin/env bash
# The Debian package, as a packager builds it: dpkg-buildpackage on a copy of
# the tree, with the tests run by dh_auto_test and no compiler warning;
# lintian without errors or warnings; then installed with apt-get, run, and
# purged, which must remove every file it installed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/checks.sh"
require_packages build-essential dpkg-dev debhelper lintian cmake libncurses-dev libgtest-dev tmux

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

# The tree as a packager gets it, without builds.
copy_tree() {
    mkdir -p "$1"
    tar -C "$V3DWATCH_ROOT" --exclude=./.git --exclude='./build' --exclude='./build-*' --exclude='./obj-*' -cf - . |
        tar -C "$1" -xf -
}
copy_tree "$work/v3dwatch"
# The source package first, from the clean tree, for lintian.
(cd "$work" && dpkg-source -b v3dwatch) >/dev/null || fail "dpkg-source cannot build the source package"
version=$(dpkg-parsechangelog -l "$work/v3dwatch/debian/changelog" -S Version)
architecture=$(dpkg --print-architecture)

if ! (cd "$work/v3dwatch" && dpkg-buildpackage -us -uc -b -j"$(nproc)") >"$work/build.log" 2>&1; then
    tail -n 100 "$work/build.log" >&2
    fail "dpkg-buildpackage failed"
fi
grep -q 'dh_auto_test' "$work/build.log" && grep -qE '^100% tests passed, 0 tests failed' "$work/build.log" ||
    fail "the tests did not run during the package build: $(grep -A3 dh_auto_test "$work/build.log")"
if grep -E '(warning|Warning): ' "$work/build.log" | grep -v '^dpkg-' >&2; then
    fail "the package build has warnings"
fi
package=$work/v3dwatch_${version}_$architecture.deb
[ -f "$package" ] || fail "no $package; made: $(ls "$work")"
echo "dpkg-buildpackage made $(basename "$package"), with $(grep -oE '[0-9]+ tests passed|tests passed, 0 tests failed out of [0-9]+' "$work/build.log" | tail -n 1)"

# lintian over the binary package and the source package.
lintian --fail-on error,warning "$work/v3dwatch_${version}_$architecture.changes" "$work/v3dwatch_$version.dsc" \
    >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log" >&2; fail "lintian has findings"; }
if grep -E '^[EW]: ' "$work/lintian.log" >&2; then
    fail "lintian has errors or warnings"
fi
echo "lintian: no errors, no warnings"

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
