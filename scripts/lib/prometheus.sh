# Shared by the checks that run v3dwatch --prometheus with Debian's Prometheus
# parts: installing them without their daemons, free loopback ports, and the
# processes a check starts, which stop_started ends on every path.
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

STARTED_PIDS=()

# The families v3dwatch --prometheus writes, each with its type.
V3D_FAMILIES=(
    "v3d_gpu_busy_seconds_total counter"
    "v3d_gpu_jobs_total counter"
    "v3d_clients gauge"
    "v3d_client_busy_seconds_total counter"
    "v3d_client_jobs_total counter"
    "v3d_client_memory_bytes gauge"
    "v3d_process_cpu_seconds_total counter"
)

# Fails unless the exposition text in `file` declares every family with its type.
check_families() {
    local file=$1 what=$2 family
    for family in "${V3D_FAMILIES[@]}"; do
        grep -qxF "# TYPE $family" "$file" || fail "$what has no '# TYPE $family': $(cat "$file")"
    done
}

# A TCP port on 127.0.0.1 that nothing accepts connections on now.
free_port() {
    local port attempt
    for attempt in $(seq 50); do
        port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return 0
        fi
    done
    fail "no free port on 127.0.0.1 after $attempt tries"
}

# Runs a command in the background and remembers it for stop_started; sets
# STARTED_PID.
start_background() {
    local log=$1
    shift
    "$@" >"$log" 2>&1 &
    STARTED_PID=$!
    STARTED_PIDS+=("$STARTED_PID")
}

# Starts a server on a free port of 127.0.0.1 and waits until `ready_path`
# answers there; @PORT@ in its arguments becomes the port. Another port is
# tried when one is taken between the choice and the bind. Sets STARTED_PORT.
start_server() {
    local name=$1 log=$2 ready_path=$3 attempt port
    shift 3
    for attempt in 1 2 3; do
        port=$(free_port)
        start_background "$log" "${@//@PORT@/$port}"
        wait_for 20 answers_or_gone "http://127.0.0.1:$port$ready_path" "$STARTED_PID" ||
            fail "$name did not answer on 127.0.0.1:$port in 20 s: $(cat "$log")"
        if ! process_gone "$STARTED_PID"; then
            STARTED_PORT=$port
            return 0
        fi
        stop_process "$STARTED_PID" || true
        grep -qi 'address already in use' "$log" || fail "$name stopped: $(cat "$log")"
    done
    fail "$name found no free port in $attempt tries"
}

# True once the process has exited, reaped or not.
process_gone() {
    local state
    state=$(sed -n 's/.*) \(.\).*/\1/p' "/proc/$1/stat" 2>/dev/null) || true
    [ -z "$state" ] || [ "$state" = Z ]
}

# True once `url` answers, or `pid` is gone; says which.
answers_or_gone() {
    curl -fsS -o /dev/null --max-time 2 "$1" 2>/dev/null || process_gone "$2"
}

# Ends one process that start_background started with SIGTERM (SIGKILL if it
# outlasts ten seconds) and gives its exit status.
stop_process() {
    local pid=$1 status=0 index
    kill -TERM "$pid" 2>/dev/null || true
    wait_for 10 process_gone "$pid" || kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || status=$?
    # Once reaped, its pid may go to a stranger.
    for index in "${!STARTED_PIDS[@]}"; do
        [ "${STARTED_PIDS[index]}" != "$pid" ] || unset 'STARTED_PIDS[index]'
    done
    return "$status"
}

# Ends what start_background started, newest first.
stop_started() {
    while [ ${#STARTED_PIDS[@]} -gt 0 ]; do
        stop_process "${STARTED_PIDS[-1]}" || true
    done
}

# Starts v3dwatch --prometheus over the running simulator, writing `file` at
# the interval given, and waits for its first write.
start_metrics_writer() {
    local file=$1 interval=$2 log=$3
    start_background "$log" "$BUILD_DIR/tools/fake_kernel_run" "$SIMULATOR_TREE" \
        "$BUILD_DIR/v3dwatch" --prometheus "$file" -d "$interval"
    wait_for 10 test -s "$file" || fail "v3dwatch wrote no $file: $(cat "$log")"
}

# Starts Debian's node_exporter with the textfile collector alone, reading
# `directory`; sets NODE_EXPORTER_PORT.
start_node_exporter() {
    local directory=$1 log=$2
    shift 2
    start_server node_exporter "$log" /metrics prometheus-node-exporter \
        --web.listen-address=127.0.0.1:@PORT@ --collector.disable-defaults \
        --collector.textfile --collector.textfile.directory="$directory" "$@"
    NODE_EXPORTER_PORT=$STARTED_PORT
}
