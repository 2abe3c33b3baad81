#!/usr/bin/env bash
# Runs clang-tidy (checks in .clang-tidy) and cppcheck over src/ and tools/,
# through the compile database of a build without the tests. Any finding
# fails the check; a suppression goes inline beside the code, with its reason.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/common.sh"
cd "$V3DWATCH_ROOT"

require_packages "${BUILD_PACKAGES[@]}" clang-tidy cppcheck
build_project "$V3DWATCH_ROOT/build-analysis" -DBUILD_TESTING=OFF -DV3DWATCH_BENCHMARKS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

echo "clang-tidy"
sources=$(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' build-analysis/compile_commands.json |
    grep -E "^$V3DWATCH_ROOT/(src|tools)/" | sort -u)
[ -n "$sources" ] || { echo "no sources in build-analysis/compile_commands.json" >&2; exit 1; }
# The "N warnings generated" lines count the diagnostics of system headers,
# which are not shown.
if ! printf '%s\n' $sources | xargs -P "$(nproc)" -n 1 clang-tidy -p build-analysis --quiet \
    >build-analysis/clang-tidy.log 2>&1; then
    grep -v 'warnings\{0,1\} generated\.$' build-analysis/clang-tidy.log >&2
    echo "clang-tidy has findings" >&2
    exit 1
fi

echo "cppcheck"
cppcheck --project=build-analysis/compile_commands.json --std=c++20 \
    --enable=warning,performance,portability,style --error-exitcode=1 --inline-suppr --quiet
echo "no findings"
