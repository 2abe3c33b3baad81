#!/usr/bin/env bash
# promtool, Prometheus's own checker, finds no error and nothing to lint in the
# files v3dwatch --prometheus writes over the simulated GPU, taken every half
# second for eight seconds while clients come and go.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/prometheus.sh"
require_packages prometheus
build_targets "$BUILD_DIR" v3dwatch gpu_simulator fake_kernel_run >/dev/null
require_namespaces

work=$(mktemp -d)
trap 'stop_started; rm -rf "$work"; stop_simulator' EXIT
mkdir "$work/textfile" "$work/copies"
start_simulator
start_metrics_writer "$work/textfile/v3dwatch.prom" 0.2 "$work/v3dwatch.log"

# Eight seconds hold a browser client's coming and going (every seven seconds).
for copy in $(seq -w 16); do
    cp "$work/textfile/v3dwatch.prom" "$work/copies/$copy.prom"
    sleep 0.5
done
for copy in "$work"/copies/*.prom; do
    check_families "$copy" "$(basename "$copy")"
    status=0
    findings=$(promtool check metrics <"$copy" 2>&1) || status=$?
    [ "$status" -eq 0 ] && [ -z "$findings" ] ||
        fail "promtool check metrics gave status $status on $(basename "$copy"): $findings; the file: $(cat "$copy")"
done
echo "promtool check metrics passes on $(find "$work/copies" -name '*.prom' | wc -l) files, with no lint finding"
