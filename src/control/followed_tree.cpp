// The end of a followed command's run: it lasts until the command and every
// process below it have ended, and a stop passed on reaches all of them, so
// that nothing v3dwatch started outlives it.
#include <algorithm>
#include <csignal>

#include <unistd.h>

#include "control/control.hpp"

namespace {

// How long the tree has after a stop passed on before SIGKILL.
constexpr std::int64_t KILL_AFTER_NS = 2'000'000'000;
// After SIGKILL, how long v3dwatch waits for the ends before it leaves: a
// process that no census saw cannot be signalled, nor waited for forever.
constexpr std::int64_t LEAVE_AFTER_KILL_NS = 1'000'000'000;
constexpr std::int64_t REAP_POLL_NS = 100'000'000;

// Sends `signal_number` to every member of the last census still alive but
// `except`; a pid is signalled only while it names the process the census
// saw (the same start time), never one that has taken the pid since.
void signal_tree(const follow_state &follow, int signal_number, std::int32_t except)
{
    const process_tree &tree = follow.tree;
    const auto generation = static_cast<std::size_t>(tree.current);
    const std::int32_t self = getpid();
    for (int index = 0; index < tree.counts[generation]; ++index) {
        const process_status &member = tree.generations[generation][static_cast<std::size_t>(index)];
        process_status now;
        if (member.pid != except && member.pid != self && read_process_status(member.pid, now) &&
            now.start_time == member.start_time) {
            kill(static_cast<pid_t>(member.pid), signal_number);
        }
    }
}

// A stop the handler passed on to the command goes to the rest of the tree
// too; two seconds later, whatever is left of it gets SIGKILL.
void pass_on_stop(follow_state &follow)
{
    if (run_signals.passed_stop != 0 && follow.kill_due_ns == 0) {
        signal_tree(follow, run_signals.passed_stop, follow.command_pid);
        follow.kill_due_ns = monotonic_nanoseconds() + KILL_AFTER_NS;
    }
    if (follow.kill_due_ns != 0 && monotonic_nanoseconds() >= follow.kill_due_ns) {
        if (!follow.command_reaped) {
            kill(static_cast<pid_t>(follow.command_pid), SIGKILL); // a zombie until reaped: still its pid
        }
        signal_tree(follow, SIGKILL, follow.command_pid);
    }
}

// Reaps and passes stops on; true once the command and every child have ended.
bool reap_and_judge(follow_state &follow)
{
    reap_children(follow, false);
    pass_on_stop(follow);
    follow.tree_ended = follow.command_reaped && follow.children_gone;
    return follow.tree_ended;
}

} // namespace

bool followed_tree_ended(follow_state &follow, std::int64_t due)
{
    for (;;) {
        const std::sig_atomic_t events_seen = run_signals.events;
        if (reap_and_judge(follow)) {
            return true;
        }
        const std::int64_t now = monotonic_nanoseconds();
        if (stop_requested != 0 || now >= due) {
            return false;
        }
        // The sample stays due when it was; a SIGKILL due before it comes on time.
        const std::int64_t until =
            follow.kill_due_ns > now ? std::min(due, follow.kill_due_ns) : due;
        sleep_until_due(until, events_seen);
    }
}

void wait_for_followed_tree(follow_state &follow)
{
    for (;;) {
        const std::sig_atomic_t events_seen = run_signals.events;
        if (reap_and_judge(follow)) {
            return;
        }
        const std::int64_t now = monotonic_nanoseconds();
        if (follow.kill_due_ns != 0 && now >= follow.kill_due_ns + LEAVE_AFTER_KILL_NS) {
            return;
        }
        sleep_until_due(now + REAP_POLL_NS, events_seen);
    }
}
