#!/usr/bin/env bash
# v3dwatch loads only the C library and ncursesw with its tinfo: a NEEDED
# entry for anything else (the C++ runtime, libgcc_s, libm) costs resident
# memory on every run, and comes back as soon as the program calls something
# that can throw.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/checks.sh"
require_packages binutils
build_targets "$BUILD_DIR" v3dwatch >/dev/null

needed=$(readelf -d "$BUILD_DIR/v3dwatch" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
[ -n "$needed" ] || fail "readelf shows no NEEDED entries in $BUILD_DIR/v3dwatch"
unexpected=$(grep -vE '^lib(c|ncursesw|tinfo)\.so\.[0-9]+$' <<<"$needed" || true)
[ -z "$unexpected" ] || fail "v3dwatch needs more than libc and ncursesw/tinfo:" $unexpected
grep -qx 'libc\.so\.[0-9]*' <<<"$needed" || fail "v3dwatch does not name the C library: $needed"
echo "v3dwatch needs only:" $needed
