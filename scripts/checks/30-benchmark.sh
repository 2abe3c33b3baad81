#!/usr/bin/env bash
# Builds the census benchmark and runs it once, briefly, to prove that it
# works: its set-up fails when the census and the two floors find different
# clients. No timing is judged here.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/common.sh"
cd "$V3DWATCH_ROOT"

require_packages "${BUILD_PACKAGES[@]}" libbenchmark-dev
build_project "$V3DWATCH_ROOT/build" -DV3DWATCH_BENCHMARKS=ON
benchmark=build/bench/census_benchmark
[ -x "$benchmark" ] || { echo "the benchmark was not built" >&2; exit 1; }
timeout 120 "$benchmark" --benchmark_min_time=0.01 --benchmark_repetitions=2 \
    --benchmark_enable_random_interleaving=true
