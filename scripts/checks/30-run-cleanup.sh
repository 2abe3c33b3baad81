#!/usr/bin/env bash
# scripts/run over the simulated GPU leaves nothing behind, however it is left:
# q, Ctrl-C, Ctrl-\, SIGTERM, SIGQUIT, SIGHUP, or --csv piped to head. No tree,
# no process, and the terminal as it was. --help starts no simulator.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/checks.sh"
require_packages tmux procps
build_targets "$BUILD_DIR" v3dwatch gpu_simulator fake_kernel_run >/dev/null
require_namespaces

work=$(mktemp -d)
socket=v3dwatch-check-$$
trap 'tmux -L "$socket" kill-server 2>/dev/null || true; rm -rf "$work"' EXIT

# The processes running this build's programs, one pid a line.
own_processes() {
    local pid
    for pid in $(pgrep -x gpu_simulator; pgrep -x v3dwatch; pgrep -x fake_kernel_run); do
        case $(readlink "/proc/$pid/exe" 2>/dev/null) in
        "$BUILD_DIR"/*) echo "$pid" ;;
        esac
    done | sort
}
processes_before=$(own_processes)

# The tree that the run announced on standard error.
announced_tree() {
    sed -n 's/^No V3D GPU here: .*(its kernel files are in \(.*\))\.$/\1/p' "$1"
}

check_nothing_left() {
    local how=$1 tree=$2 left
    [ ! -e "$tree" ] || fail "after $how: the simulated tree $tree is still there"
    # A process that is going away may still be listed for a moment.
    if ! wait_for 5 test "$(own_processes)" = "$processes_before"; then
        left=$(comm -13 <(echo "$processes_before") <(own_processes) | xargs -r ps -o pid=,args= -p)
        fail "after $how: processes left behind: $left"
    fi
}

pane_shows_table() {
    tmux -L "$socket" capture-pane -p -t run 2>/dev/null | grep -q 'GPU Utilisation'
}

# Runs scripts/run in a terminal of its own, leaves it the way given, and
# checks what is left.
check_terminal_exit() {
    local how=$1 case_dir=$work/$1
    mkdir -p "$case_dir"
    # As from an interactive shell: scripts/run is the terminal's foreground
    # job, alone in its process group, so Ctrl-C and Ctrl-\ reach it and its
    # children but not this shell.
    cat >"$case_dir/runner" <<RUNNER
set -m
stty -a >'$case_dir/stty-before'
bash -c 'echo \$\$ >"$case_dir/pid"; exec bash "$V3DWATCH_ROOT/scripts/run" 2>"$case_dir/err"'
echo \$? >'$case_dir/status'
stty -a >'$case_dir/stty-after'
sleep 120
RUNNER
    tmux -L "$socket" new-session -d -s run -x 100 -y 30 "bash '$case_dir/runner'"
    wait_for 60 pane_shows_table || fail "$how: the table never showed: $(cat "$case_dir/err" 2>/dev/null)"
    local tree
    tree=$(announced_tree "$case_dir/err")
    [ -n "$tree" ] && [ -d "$tree/proc" ] || fail "$how: no simulated tree announced while running: $(cat "$case_dir/err")"
    [ "$(own_processes)" != "$processes_before" ] || fail "$how: no simulator or v3dwatch seen while running"
    case $how in
    q) tmux -L "$socket" send-keys -t run q ;;
    ctrl-c) tmux -L "$socket" send-keys -t run C-c ;;
    ctrl-backslash) tmux -L "$socket" send-keys -t run 'C-\' ;;
    sigterm | sigquit | sighup) kill -"${how#sig}" "$(cat "$case_dir/pid")" ;;
    esac
    wait_for 20 test -s "$case_dir/status" || fail "$how: scripts/run did not end"
    [ "$(cat "$case_dir/status")" = 0 ] || fail "$how: scripts/run exited with status $(cat "$case_dir/status")"
    check_nothing_left "$how" "$tree"
    wait_for 5 test -s "$case_dir/stty-after" || fail "$how: the terminal settings could not be read afterwards"
    diff "$case_dir/stty-before" "$case_dir/stty-after" >&2 || fail "$how: the terminal settings changed"
    local state
    state=$(tmux -L "$socket" display-message -p -t run '#{cursor_flag} #{alternate_on}')
    [ "$state" = "1 0" ] || fail "$how: cursor hidden or alternate screen still on (cursor, alternate: $state)"
    tmux -L "$socket" kill-session -t run
    echo "scripts/run cleans up after $how"
}

# On a terminal: what it does before the view, which stays on the screen
# the view hands back.
tmux -L "$socket" new-session -d -s run -x 100 -y 30 "bash '$V3DWATCH_ROOT/scripts/run'; sleep 120"
wait_for 60 pane_shows_table || fail "the table never showed on a terminal"
tmux -L "$socket" send-keys -t run q
wait_for 20 sh -c "tmux -L '$socket' capture-pane -p -t run | grep -q '^No V3D GPU here: showing a simulated one'" ||
    fail "the simulated GPU was not announced on the terminal: $(tmux -L "$socket" capture-pane -p -t run)"
tmux -L "$socket" capture-pane -p -t run | grep -q '^building v3dwatch…$' ||
    fail "the build did not say what it does: $(tmux -L "$socket" capture-pane -p -t run)"
tmux -L "$socket" kill-session -t run
echo "scripts/run says it builds and shows a simulated GPU before the view"

check_terminal_exit q
check_terminal_exit ctrl-c
check_terminal_exit ctrl-backslash
check_terminal_exit sigterm
check_terminal_exit sigquit
check_terminal_exit sighup

# --help, and an option v3dwatch refuses: its answer at once, under the
# script's name, and no simulated GPU started for it.
for option in --help:0 --bogus:1; do
    status=0
    timeout 60 bash "$V3DWATCH_ROOT/scripts/run" "${option%:*}" >"$work/answer-out" 2>"$work/answer-err" || status=$?
    [ "$status" -eq "${option#*:}" ] || fail "scripts/run ${option%:*} exited with status $status: $(cat "$work/answer-err")"
    grep -q '^Usage: .*scripts/run \[options\]' "$work/answer-err" ||
        fail "scripts/run ${option%:*} printed no usage under its name: $(cat "$work/answer-err")"
    ! grep -q 'No V3D GPU here' "$work/answer-err" ||
        fail "scripts/run ${option%:*} started the simulated GPU: $(cat "$work/answer-err")"
    [ "$(own_processes)" = "$processes_before" ] || fail "scripts/run ${option%:*} left processes behind"
done
grep -qx 'Unknown option: --bogus' "$work/answer-err" || fail "scripts/run --bogus: $(cat "$work/answer-err")"
echo "scripts/run --help and --bogus answer as v3dwatch does and start nothing"

# --csv piped to head: v3dwatch meets the closed pipe at its next write.
status=0
timeout 60 bash -c "bash '$V3DWATCH_ROOT/scripts/run' --csv 2>'$work/head-err' | head -n 5 >'$work/head-out'" || status=$?
[ "$status" -ne 124 ] || fail "scripts/run --csv | head did not end"
[ "$(wc -l <"$work/head-out")" -eq 5 ] || fail "head got $(wc -l <"$work/head-out") lines, not 5"
[ "$(head -n 1 "$work/head-out")" = "timestamp,client_id,pid,process,render%,tfu%,bin%,cpu%" ] ||
    fail "no CSV header through the pipe: $(cat "$work/head-out")"
tree=$(announced_tree "$work/head-err")
[ -n "$tree" ] || fail "scripts/run --csv announced no simulated tree: $(cat "$work/head-err")"
check_nothing_left "head closing the pipe" "$tree"
echo "scripts/run cleans up when head closes the pipe"
