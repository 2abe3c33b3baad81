#!/usr/bin/env bash
# The whole tree, tests included, builds without a warning with g++ and with
# clang++, in Debug and in Release. The g++ Release build is build/, whose
# tests scripts/test runs; the other three are only built, to keep CI short.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/checks.sh"
require_packages "${BUILD_PACKAGES[@]}" clang

# Builds one configuration with warnings as errors, and fails on any warning
# that reaches the log all the same (the linker's, CMake's).
check_build() {
    local compiler=$1 type=$2 build_dir=$3
    local log=$build_dir/check-build.log
    mkdir -p "$build_dir"
    if ! build_project "$build_dir" -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE="$type" \
        -DBUILD_TESTING=ON >"$log" 2>&1; then
        cat "$log" >&2
        fail "$compiler $type does not build"
    fi
    if grep -i 'warning' "$log" >&2; then
        fail "$compiler $type builds with warnings"
    fi
    rm -f "$log"
    echo "$compiler $type: built without warnings"
}

check_build g++ Release "$BUILD_DIR"
check_build g++ Debug "$V3DWATCH_ROOT/build-gcc-debug"
check_build clang++ Debug "$V3DWATCH_ROOT/build-clang-debug"
check_build clang++ Release "$V3DWATCH_ROOT/build-clang-release"
