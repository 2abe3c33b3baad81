#!/usr/bin/env bash
# Cross-builds everything for arm64 with Debian's cross compiler and runs the
# whole test suite under qemu user emulation. The end-to-end tests start arm64
# programs from arm64 programs, which needs binfmt_misc: mounted and
# registered for aarch64 when missing, and left afterwards as it was found.
# Where that cannot be done, the rest runs through the emulator alone and the
# tests that did not run are listed; a run that demands everything (CI) fails.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/checks.sh"
require_packages g++-aarch64-linux-gnu rapidjson-dev libncurses-dev:arm64 libgtest-dev:arm64 libstdc++6:arm64 qemu-user-static
qemu=$(command -v qemu-aarch64-static) || fail "no qemu-aarch64-static"
build_dir=$V3DWATCH_ROOT/build-arm64

binfmt=/proc/sys/fs/binfmt_misc
entry=v3dwatch-check-aarch64
mounted_here=0
registered_here=0
restore_binfmt() {
    if [ "$registered_here" = 1 ]; then
        echo -1 >"$binfmt/$entry" || echo "could not remove $binfmt/$entry" >&2
    fi
    if [ "$mounted_here" = 1 ]; then
        umount "$binfmt" || echo "could not unmount $binfmt" >&2
    fi
}
trap restore_binfmt EXIT

# An enabled entry for 64-bit little-endian ELF files of machine 0xb7 (aarch64).
aarch64_registered() {
    local file
    for file in "$binfmt"/*; do
        case ${file##*/} in register | status) continue ;; esac
        [ -f "$file" ] || continue
        grep -qx enabled "$file" && grep -q '^magic 7f454c460201010000000000000000000200b700$' "$file" && return 0
    done
    return 1
}

binfmt_problem=
if ! mountpoint -q "$binfmt"; then
    if [ "$(id -u)" -ne 0 ]; then
        binfmt_problem="binfmt_misc is not mounted, and mounting it needs root"
    elif mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null; then
        mounted_here=1
    else
        binfmt_problem="binfmt_misc cannot be mounted on $binfmt"
    fi
fi
if [ -z "$binfmt_problem" ] && ! aarch64_registered; then
    # As in qemu's own /usr/lib/binfmt.d/qemu-aarch64.conf; F opens the
    # emulator now, so that it is found from any mount namespace.
    magic='\x7f\x45\x4c\x46\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
    mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    if [ "$(id -u)" -ne 0 ]; then
        binfmt_problem="aarch64 is not registered in binfmt_misc, and registering it needs root"
    elif printf ':%s:M::%s:%s:%s:F' "$entry" "$magic" "$mask" "$qemu" >"$binfmt/register" 2>/dev/null; then
        registered_here=1
    else
        binfmt_problem="aarch64 cannot be registered in binfmt_misc"
    fi
fi

mkdir -p "$build_dir"
log=$build_dir/check-build.log
if ! build_project "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$V3DWATCH_ROOT/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON -DV3DWATCH_BENCHMARKS=OFF >"$log" 2>&1; then
    cat "$log" >&2
    fail "the arm64 cross build failed"
fi
if grep -i warning "$log" >&2; then
    fail "the arm64 cross build has warnings"
fi
rm -f "$log"
# e_machine, at offset 18 of the ELF header: 0xb7 is aarch64.
[ "$(od -An -tx1 -j18 -N2 "$build_dir/v3dwatch" | tr -d ' ')" = b700 ] || fail "$build_dir/v3dwatch is not an arm64 program"
echo "cross-built for arm64 without warnings"

if [ -z "$binfmt_problem" ]; then
    [ "$registered_here" = 1 ] && echo "registered aarch64 in binfmt_misc for this check"
    "$build_dir/v3dwatch" --help >/dev/null 2>&1 || fail "binfmt_misc does not run the arm64 v3dwatch"
    ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)"
    echo "the whole suite passes on arm64 (emulated)"
    exit 0
fi

echo "binfmt_misc: $binfmt_problem; running only what $qemu can run alone" >&2
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)" -LE runs_programs
echo "NOT RUN on arm64 (they start arm64 programs, which needs binfmt_misc):" >&2
ctest --test-dir "$build_dir" -N -L runs_programs | sed -n 's/^ *Test *#[0-9]*: /  /p' >&2
if [ "${V3DWATCH_REQUIRE_NAMESPACES:-0}" = 1 ]; then
    fail "the end-to-end tests did not run on arm64: $binfmt_problem"
fi
