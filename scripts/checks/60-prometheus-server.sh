#!/usr/bin/env bash
# A real Prometheus server scrapes node_exporter, which serves what v3dwatch
# --prometheus writes over the simulated GPU, every second. Every query of the
# Grafana dashboard then returns data, and the render share of a simulated
# client as PromQL's rate() gives it agrees with what v3dwatch --csv prints for
# the same client over the same seconds.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/prometheus.sh"
require_packages prometheus prometheus-node-exporter curl python3
build_targets "$BUILD_DIR" v3dwatch gpu_simulator fake_kernel_run >/dev/null
require_namespaces
dashboard=$V3DWATCH_ROOT/contrib/grafana/v3dwatch-dashboard.json

work=$(mktemp -d)
trap 'stop_started; rm -rf "$work"; stop_simulator' EXIT
mkdir "$work/textfile" "$work/data"
start_simulator
# Written five times a second, the file is never more than 0.2 s behind a scrape.
start_metrics_writer "$work/textfile/v3dwatch.prom" 0.2 "$work/v3dwatch.log"
start_background "$work/gpu.csv" "$BUILD_DIR/tools/fake_kernel_run" "$SIMULATOR_TREE" "$BUILD_DIR/v3dwatch" --csv
# The SoC's temperature comes from node_exporter's own collector, here over the simulated sysfs.
start_node_exporter "$work/textfile" "$work/node_exporter.log" --collector.thermal_zone --path.sysfs="$SIMULATOR_TREE/sys"
instance=127.0.0.1:$NODE_EXPORTER_PORT

cat >"$work/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
  evaluation_interval: 1s
scrape_configs:
  - job_name: v3dwatch
    static_configs:
      - targets: ['$instance']
EOF
start_server prometheus "$work/prometheus.log" /-/ready prometheus \
    --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data" \
    --web.listen-address=127.0.0.1:@PORT@ --log.level=warn
api=http://127.0.0.1:$STARTED_PORT/api/v1

# Until the first scrape is stored, then long enough for the comparison below:
# twelve evaluations, each over the five seconds before it.
series_stored() {
    curl -fsS --max-time 2 "$api/query" --data-urlencode 'query=v3d_clients' | grep -q '"value"'
}
wait_for 20 series_stored || fail "Prometheus stored no v3d series: $(cat "$work/prometheus.log")"
sleep 18

python3 - "$api" "$instance" "$dashboard" "$work/gpu.csv" <<'PY' || fail "see above"
import json, re, sys, time, urllib.parse, urllib.request

api, instance, dashboard_path, csv_path = sys.argv[1:]
failed = False

def fail(message):
    global failed
    print("FAIL: " + message, file=sys.stderr)
    failed = True

def query(path, **parameters):
    url = f"{api}/{path}?{urllib.parse.urlencode(parameters)}"
    with urllib.request.urlopen(url, timeout=10) as answer:
        body = json.load(answer)
    if body.get("status") != "success":
        raise RuntimeError(f"{url}: {body}")
    return body["data"]

with open(dashboard_path, encoding="utf-8") as text:
    dashboard = json.load(text)

# The board variable offers this instance.
if instance not in query("label/instance/values", **{"match[]": "v3d_gpu_busy_seconds_total"}):
    fail(f"the board variable would not offer {instance}")

# Each panel's queries as Grafana sends them for this board: the instance
# regex-escaped inside a PromQL string (so two backslashes), $__rate_interval
# four scrape intervals and one more.
board = re.sub(r"([\\$^*{}\[\]'+?.()|])", r"\\\\\1", instance)
expressions = [target["expr"] for panel in dashboard["panels"] for target in panel.get("targets", [])]
# Every family v3dwatch writes is drawn, and each of the four busiest queues has its busiest clients.
for family in ("v3d_gpu_busy_seconds_total", "v3d_gpu_jobs_total", "v3d_clients", "v3d_client_busy_seconds_total",
               "v3d_client_memory_bytes", "v3d_process_cpu_seconds_total", "v3d_gpu_clock_hertz",
               "node_thermal_zone_temp"):
    if not any(family + "{" in expression for expression in expressions):
        fail(f"no panel draws {family}")
for queue in ("render", "bin", "tfu", "csd"):
    if not any(f'v3d_client_busy_seconds_total{{' in e and f'queue="{queue}"' in e for e in expressions):
        fail(f"no panel shows the busiest clients on {queue}")
for expression in expressions:
    concrete = expression.replace("$instance", board).replace("$__rate_interval", "5s")
    if "$" in concrete:
        fail(f"a variable the check does not know in: {expression}")
        continue
    result = query("query", query=concrete)["result"]
    if not result:
        fail(f"no data for: {concrete}")
    else:
        print(f"{len(result):3} series: {concrete}")

# The steadiest simulated client with a real render load: renderd, client 100,
# at 10 +- 3 % over 11 s. Each rate() over five seconds is set against the mean
# of the CSV rows whose one-second intervals end in the same five seconds, and
# the two are averaged over twelve evaluations a second apart.
EXPRESSION = 'rate(v3d_client_busy_seconds_total{queue="render", client_id="100"}[5s]) * 100'
offset = time.time() - time.monotonic()  # the CSV's timestamps are CLOCK_MONOTONIC
end = int(time.time()) - 1
found = query("query_range", query=EXPRESSION, start=end - 11, end=end, step=1)["result"]
if len(found) != 1:
    fail(f"{len(found)} series for {EXPRESSION}: {found}")
else:
    rows = []
    with open(csv_path, encoding="utf-8") as log:
        if log.readline() != "timestamp,client_id,pid,process,render%,tfu%,bin%,cpu%\n":
            fail("the CSV log has no header")
        for line in log:
            field = line.rstrip("\n").split(",")
            if len(field) == 8 and field[1] == "100":
                rows.append((float(field[0]) + offset, float(field[4])))
    rates, means = [], []
    for stamp, value in found[0]["values"]:
        window = [render for when, render in rows if stamp - 5 < when <= stamp]
        if len(window) >= 4:
            rates.append(float(value))
            means.append(sum(window) / len(window))
    if len(rates) < 10:
        fail(f"only {len(rates)} evaluations with CSV rows beside them ({len(rows)} rows of client 100)")
    else:
        promql, csv = sum(rates) / len(rates), sum(means) / len(means)
        print(f"render of renderd (client 100) over {len(rates)} five-second windows: "
              f"PromQL {promql:.2f} %, v3dwatch --csv {csv:.2f} %")
        if not 3 <= csv <= 20 or abs(promql - csv) > 3:
            fail(f"PromQL gives {promql:.2f} % where v3dwatch --csv gives {csv:.2f} %")
sys.exit(1 if failed else 0)
PY
echo "every dashboard query returns data, and PromQL's render share agrees with v3dwatch --csv"
