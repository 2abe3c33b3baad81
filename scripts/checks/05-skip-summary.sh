#!/usr/bin/env bash
# scripts/test's closing line names what was skipped and why, so that a run
# that skipped tests cannot pass for a whole one.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/checks.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf '%s\n' '100% tests passed, 0 tests failed out of 3' 'The following tests did not run:' \
    '	  7 - a.needs_root (Skipped)' '	 12 - b.needs_namespaces (Skipped)' >"$work/ctest"
printf '%s\n' '[ RUN      ] a.needs_root' 'x.cpp:9: Skipped' 'needs root' '[  SKIPPED ] a.needs_root' \
    '[ RUN      ] b.needs_namespaces' 'y.cpp:3: Skipped' 'no namespace here' '[  SKIPPED ] b.needs_namespaces' \
    >"$work/LastTest.log"
printf '%s\n' '== 70-debian-package.sh' 'SKIP: installing the package needs root' >"$work/checks"
summary=$(describe_skips "$work/ctest" "$work/LastTest.log" "$work/checks")
expected='; skipped: 2 tests (needs root; no namespace here), 1 check (installing the package needs root)'
[ "$summary" = "$expected" ] || fail "the closing line's skips read '$summary', not '$expected'"

: >"$work/checks"
printf '%s\n' '100% tests passed, 0 tests failed out of 3' >"$work/ctest"
summary=$(describe_skips "$work/ctest" "$work/LastTest.log" "$work/checks")
[ -z "$summary" ] || fail "a run that skipped nothing still names skips: '$summary'"
echo "the closing line names every skip and its reason"
