#!/usr/bin/env bash
# v3dwatch is linked to the C library alone. A NEEDED entry for anything else
# costs resident memory on every run: the C++ runtime (with libgcc_s and libm)
# comes back as soon as the program calls something that can throw, and
# ncursesw with tinfo as soon as the code calls curses directly rather than
# through the library the terminal view loads for itself. Its large records
# start all zero, in .bss: one default that is not zero would put all of them
# (3 MB) in .data, in the program file.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/checks.sh"
require_packages binutils
build_targets "$BUILD_DIR" v3dwatch >/dev/null

needed=$(readelf -d "$BUILD_DIR/v3dwatch" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
[ -n "$needed" ] || fail "readelf shows no NEEDED entries in $BUILD_DIR/v3dwatch"
unexpected=$(grep -vE '^libc\.so\.[0-9]+$' <<<"$needed" || true)
[ -z "$unexpected" ] || fail "v3dwatch needs more than libc:" $unexpected
echo "v3dwatch needs only:" $needed

# The size column of `size` (Berkeley format): text, data, bss.
data_bytes=$(size "$BUILD_DIR/v3dwatch" | awk 'NR == 2 { print $2 }')
[ -n "$data_bytes" ] || fail "size shows no .data for $BUILD_DIR/v3dwatch"
[ "$data_bytes" -le 65536 ] || fail "v3dwatch has $data_bytes bytes of initialised data; its large records must start all zero"
echo "v3dwatch has $data_bytes bytes of initialised data"
