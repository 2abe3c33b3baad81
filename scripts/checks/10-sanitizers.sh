#!/usr/bin/env bash
# Builds the program and the whole test suite with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test under them; the first report
# ends the test that caused it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/common.sh"
cd "$V3DWATCH_ROOT"

require_packages "${BUILD_PACKAGES[@]}" tmux util-linux
# The benchmarks are no tests, so they are left out.
build_project "$V3DWATCH_ROOT/build-sanitize" -DV3DWATCH_SANITIZE=ON -DV3DWATCH_BENCHMARKS=OFF

# ncurses keeps its screen reachable from its globals after endwin(), so
# LeakSanitizer needs no suppressions for it.
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir build-sanitize --output-on-failure -j"$(nproc)"
