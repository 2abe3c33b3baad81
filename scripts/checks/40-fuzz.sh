#!/usr/bin/env bash
# Fuzzes each reader of kernel text for a short, bounded time.
set -euo pipefail
exec "$(dirname "${BASH_SOURCE[0]}")/../fuzz" "${V3DWATCH_FUZZ_SECONDS:-20}"
