#!/usr/bin/env bash
# Debian's node_exporter, with only its textfile collector, serves the families
# that v3dwatch --prometheus writes into its directory: on every scrape while
# the file is rewritten ten times a second (no scrape error: no half-written
# file is ever read), and, once v3dwatch has stopped, exactly the samples of the
# file it left, labels and values alike.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/prometheus.sh"
require_packages prometheus-node-exporter curl python3
build_targets "$BUILD_DIR" v3dwatch gpu_simulator fake_kernel_run >/dev/null
require_namespaces

work=$(mktemp -d)
trap 'stop_started; rm -rf "$work"; stop_simulator' EXIT
mkdir "$work/textfile"
start_simulator
metrics=$work/textfile/v3dwatch.prom
start_metrics_writer "$metrics" 0.1 "$work/v3dwatch.log"
writer=$STARTED_PID
start_node_exporter "$work/textfile" "$work/node_exporter.log"
url=http://127.0.0.1:$NODE_EXPORTER_PORT/metrics

# One scrape into `file`, with the families and no error of the collector.
scrape() {
    local file=$1
    curl -fsS --max-time 5 -o "$file" "$url" || fail "cannot scrape $url"
    check_families "$file" "the scrape"
    grep -qx 'node_textfile_scrape_error 0' "$file" ||
        fail "node_exporter reports a textfile error: $(grep -v '^v3d_' "$file"; cat "$work/node_exporter.log")"
}
scrapes=40
for attempt in $(seq "$scrapes"); do
    scrape "$work/scrape"
    sleep 0.05
done

stop_process "$writer" || fail "v3dwatch --prometheus exited with status $?: $(cat "$work/v3dwatch.log")"
scrape "$work/scrape"
# node_exporter parses the file and writes it anew (labels sorted, numbers in
# Go's notation): the samples are compared as sets of names, labels and values.
python3 - "$metrics" "$work/scrape" <<'PY' || fail "node_exporter does not serve the file as written"
import re, sys

SAMPLE = re.compile(r'^(v3d_\w+)(?:\{(.*)\})? (\S+)$')
LABEL = re.compile(r'(\w+)="((?:[^"\\]|\\.)*)",?')

def samples(path):
    found = {}
    with open(path, encoding="utf-8") as text:
        for line in text:
            match = SAMPLE.match(line.rstrip("\n"))
            if match:
                labels = tuple(sorted(LABEL.findall(match.group(2) or "")))
                found[(match.group(1), labels)] = float(match.group(3))
    return found

written, served = samples(sys.argv[1]), samples(sys.argv[2])
if not written or written != served:
    missing = sorted(set(written.items()) - set(served.items()))[:5]
    extra = sorted(set(served.items()) - set(written.items()))[:5]
    print(f"{len(written)} samples written, {len(served)} served; written only: {missing}; served only: {extra}")
    sys.exit(1)
print(f"node_exporter serves the {len(written)} samples of the file as written")
PY
echo "$scrapes scrapes during the writes: all six families, node_textfile_scrape_error 0"
