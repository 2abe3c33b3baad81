#!/usr/bin/env bash
# Cross-building the Debian package with dpkg-buildpackage -aarm64 gives an
# arm64 package of an arm64 program, with its arm64 dependencies, clean under
# lintian. The tests do not run in a cross build (60-arm64.sh runs them).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/checks.sh"
require_packages build-essential dpkg-dev debhelper lintian cmake tmux rapidjson-dev \
    g++-aarch64-linux-gnu libncurses-dev:arm64 libgtest-dev:arm64

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build_debian_package "$work" -aarm64
version=$(dpkg-parsechangelog -l "$work/v3dwatch/debian/changelog" -S Version)
package=$work/v3dwatch_${version}_arm64.deb
[ -f "$package" ] || fail "no $package; made: $(ls "$work")"
[ "$(dpkg-deb -f "$package" Architecture)" = arm64 ] || fail "$package is not for arm64"
dpkg-deb -x "$package" "$work/unpacked"
# e_machine, at offset 18 of the ELF header: 0xb7 is aarch64.
[ "$(od -An -tx1 -j18 -N2 "$work/unpacked/usr/bin/v3dwatch" | tr -d ' ')" = b700 ] ||
    fail "usr/bin/v3dwatch in $package is not an arm64 program"
depends=$(dpkg-deb -f "$package" Depends)
echo "dpkg-buildpackage -aarm64 made $(basename "$package"), depending on: $depends"
require_lintian_clean "$work/v3dwatch_${version}_arm64.changes" "$work/v3dwatch_$version.dsc"
