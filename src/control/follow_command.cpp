// The followed command: v3dwatch starts it, adopts the orphans below it, and
// waits for it, as `time` does.
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "control/control.hpp"
#include "sampling/kernel_text.hpp"

namespace {

// Shells' statuses for a command that cannot run.
constexpr int NOT_FOUND_STATUS = 127;
constexpr int NOT_EXECUTABLE_STATUS = 126;
constexpr int SIGNAL_STATUS_BASE = 128;

// The dispositions v3dwatch started with, which the command starts with too.
struct inherited_signals {
    struct sigaction interrupt {};
    struct sigaction quit {};
    struct sigaction terminate {};
    struct sigaction hang_up {};
    struct sigaction file_size {};
    sigset_t mask{};
};

double seconds_of(const timeval &time)
{
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// While the command runs, the terminal's SIGINT and SIGQUIT reach it too and
// v3dwatch waits on for its end; SIGTERM and SIGHUP are passed on, unless
// v3dwatch was started with them ignored.
void set_up_signals(inherited_signals &inherited)
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, &inherited.interrupt);
    sigaction(SIGQUIT, &ignore, &inherited.quit);
    // A write past the file-size limit fails with EFBIG instead, as in the other runs.
    sigaction(SIGXFSZ, &ignore, &inherited.file_size);

    struct sigaction pass_on {};
    pass_on.sa_handler = on_command_signal;
    sigemptyset(&pass_on.sa_mask);
    sigaction(SIGTERM, nullptr, &inherited.terminate);
    sigaction(SIGHUP, nullptr, &inherited.hang_up);
    if (inherited.terminate.sa_handler != SIG_IGN) {
        sigaction(SIGTERM, &pass_on, nullptr);
    }
    if (inherited.hang_up.sa_handler != SIG_IGN) {
        sigaction(SIGHUP, &pass_on, nullptr);
    }

    // A child's end cuts the wait between samples short (clock_nanosleep is
    // never restarted, signal(7)), but not a read or a write under way: a
    // blocking open of what stands in for gpu_stats would fail.
    struct sigaction child_ended {};
    child_ended.sa_handler = on_child_signal;
    sigemptyset(&child_ended.sa_mask);
    child_ended.sa_flags = SA_NOCLDSTOP | SA_RESTART;
    sigaction(SIGCHLD, &child_ended, nullptr);
}

// In the child: the signals as v3dwatch found them, then the command; on
// failure, its errno goes back through `report` (closed by a successful exec).
[[noreturn]] void become_command(const inherited_signals &inherited, char **command, int report)
{
    sigaction(SIGINT, &inherited.interrupt, nullptr);
    sigaction(SIGQUIT, &inherited.quit, nullptr);
    sigaction(SIGTERM, &inherited.terminate, nullptr);
    sigaction(SIGHUP, &inherited.hang_up, nullptr);
    sigaction(SIGXFSZ, &inherited.file_size, nullptr);
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(SIGCHLD, &default_action, nullptr);
    sigprocmask(SIG_SETMASK, &inherited.mask, nullptr);
    execvp(command[0], command);
    const int failure = errno;
    // Unreported, the failure still shows in the exit status.
    [[maybe_unused]] const ssize_t reported = write(report, &failure, sizeof failure);
    _exit(failure == ENOENT ? NOT_FOUND_STATUS : NOT_EXECUTABLE_STATUS);
}

// Once the command has ended, the terminal's SIGINT reaches only what is
// left of its tree: it stops the run as SIGTERM does, unless it was ignored.
void stop_on_interrupt(const follow_state &follow)
{
    if (follow.interrupt_ignored) {
        return;
    }
    struct sigaction pass_on {};
    pass_on.sa_handler = on_command_signal;
    sigemptyset(&pass_on.sa_mask);
    sigaction(SIGINT, &pass_on, nullptr);
}

// Starts the command; 0 when it runs, else the status to exit with after the message.
int start_command(follow_state &follow, const inherited_signals &inherited, char **command)
{
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        (void)std::fprintf(stderr, "Error: cannot run %s: %s\n", command[0], std::strerror(errno));
        return 1;
    }
    const file_descriptor reading(report[0]);
    const pid_t child = fork();
    if (child == 0) {
        become_command(inherited, command, report[1]);
    }
    close(report[1]);
    if (child < 0) {
        (void)std::fprintf(stderr, "Error: cannot run %s: %s\n", command[0], std::strerror(errno));
        return 1;
    }
    follow.command_pid = child;
    run_signals.command = child;
    int failure = 0;
    ssize_t got = 0;
    while ((got = read(reading.fd, &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    if (got != static_cast<ssize_t>(sizeof failure)) {
        return 0;
    }
    reap_children(follow, true);
    (void)std::fprintf(stderr, "Error: cannot run %s: %s\n", command[0], std::strerror(failure));
    return failure == ENOENT ? NOT_FOUND_STATUS : NOT_EXECUTABLE_STATUS;
}

} // namespace

run_signal_state run_signals{};

extern "C" void on_command_signal(int signal_number)
{
    // The command at once; the rest of the tree from the loop, which knows it.
    const int saved = errno;
    if (run_signals.command > 0) {
        kill(static_cast<pid_t>(run_signals.command), signal_number);
    }
    run_signals.passed_stop = signal_number;
    run_signals.events = static_cast<std::sig_atomic_t>(run_signals.events + 1);
    errno = saved;
}

extern "C" void on_child_signal(int)
{
    // The children are reaped by the loop, which the wait's end wakes.
    run_signals.events = static_cast<std::sig_atomic_t>(run_signals.events + 1);
}

void reap_children(follow_state &follow, bool wait_for_command)
{
    if (wait_for_command && !follow.command_reaped) {
        siginfo_t ended{};
        while (waitid(P_PID, static_cast<id_t>(follow.command_pid), &ended, WEXITED | WNOWAIT) != 0 &&
               errno == EINTR) {
        }
    }
    // No signal is passed on while the command's pid is given back.
    sigset_t passed;
    sigset_t saved;
    sigemptyset(&passed);
    sigaddset(&passed, SIGTERM);
    sigaddset(&passed, SIGHUP);
    sigprocmask(SIG_BLOCK, &passed, &saved);
    int status = 0;
    rusage usage{};
    pid_t reaped = 0;
    while ((reaped = wait4(-1, &status, WNOHANG, &usage)) > 0 || (reaped < 0 && errno == EINTR)) {
        if (reaped < 0) {
            continue;
        }
        if (follow.summary != nullptr) {
            follow.summary->reaped_user_seconds += seconds_of(usage.ru_utime);
            follow.summary->reaped_system_seconds += seconds_of(usage.ru_stime);
        }
        forget_tree_process(follow.tree, reaped);
        if (reaped == follow.command_pid) {
            follow.command_reaped = true;
            follow.command_wait_status = status;
            run_signals.command = 0;
            stop_on_interrupt(follow);
        }
    }
    follow.children_gone = reaped < 0 && errno == ECHILD;
    sigprocmask(SIG_SETMASK, &saved, nullptr);
}

int run_followed_command(program_state &program, const run_settings &settings)
{
    follow_state &follow = program.follow;
    inherited_signals inherited;
    sigset_t child_signal;
    sigemptyset(&child_signal);
    sigaddset(&child_signal, SIGCHLD);
    // Held back until the command's pid is known to the handler.
    sigprocmask(SIG_BLOCK, &child_signal, &inherited.mask);
    set_up_signals(inherited);
    follow.interrupt_ignored = inherited.interrupt.sa_handler == SIG_IGN;
    // Orphans below the command come to v3dwatch, not to init, and stay in the tree.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    follow.tree.adopting_parent = static_cast<std::int32_t>(getpid());
    follow.command_start_time = clock_seconds(CLOCK_MONOTONIC);
    follow.command_start_wall_time = clock_seconds(CLOCK_REALTIME);
    const int failure = start_command(follow, inherited, settings.command);
    sigprocmask(SIG_SETMASK, &inherited.mask, nullptr);
    if (failure != 0) {
        abandon_output_files(settings.outputs);
        return failure;
    }
    // A file that cannot be emptied would keep an old stream's end: the run
    // writes nothing, follows the command to its end and fails.
    const bool emptied = empty_output_files(settings.outputs);
    if (emptied) {
        run_sample_loop(program, select_report(settings), DEFAULT_PROC_PATH, stats_path, settings, &follow);
    }
    wait_for_followed_tree(follow);
    // An orphan's end no longer interrupts anything, the summary's writes above all.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(SIGCHLD, &default_action, nullptr);
    if (!emptied) {
        return 1;
    }
    if (follow.summary != nullptr) {
        write_run_summary(follow, settings);
    }
    const int status = follow.command_wait_status;
    return WIFSIGNALED(status) ? SIGNAL_STATUS_BASE + WTERMSIG(status) : WEXITSTATUS(status);
}
