#!/usr/bin/env bash
# v3dwatch is linked to the C library alone. A NEEDED entry for anything else
# costs resident memory on every run: the C++ runtime (with libgcc_s and libm)
# comes back as soon as the program calls something that can throw, and
# ncursesw with tinfo as soon as the code calls curses directly rather than
# through the library the terminal view loads for itself.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/checks.sh"
require_packages binutils
build_targets "$BUILD_DIR" v3dwatch >/dev/null

needed=$(readelf -d "$BUILD_DIR/v3dwatch" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
[ -n "$needed" ] || fail "readelf shows no NEEDED entries in $BUILD_DIR/v3dwatch"
unexpected=$(grep -vE '^libc\.so\.[0-9]+$' <<<"$needed" || true)
[ -z "$unexpected" ] || fail "v3dwatch needs more than libc:" $unexpected
echo "v3dwatch needs only:" $needed
