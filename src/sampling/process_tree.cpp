// The processes a run follows, from the parent field of /proc/<pid>/stat.
#include <array>

#include <fcntl.h>

#include "sampling/client_table.hpp"
#include "sampling/kernel_text.hpp"

namespace {

constexpr std::size_t STAT_LINE_SIZE = 2048;

const process_list &previous_members(const process_tree &tree, int &count)
{
    const int previous = 1 - tree.current;
    count = tree.counts[static_cast<std::size_t>(previous)];
    return tree.generations[static_cast<std::size_t>(previous)];
}

const process_list &current_members(const process_tree &tree, int &count)
{
    count = tree.counts[static_cast<std::size_t>(tree.current)];
    return tree.generations[static_cast<std::size_t>(tree.current)];
}

bool holds_process(const process_list &list, int count, const process_status &status)
{
    for (int index = 0; index < count; ++index) {
        const process_status &member = list[static_cast<std::size_t>(index)];
        if (member.pid == status.pid && member.start_time == status.start_time) {
            return true;
        }
    }
    return false;
}

bool holds_pid(const process_list &list, int count, std::int32_t pid)
{
    for (int index = 0; index < count; ++index) {
        if (list[static_cast<std::size_t>(index)].pid == pid) {
            return true;
        }
    }
    return false;
}

bool add_member(process_tree &tree, const process_status &status)
{
    int &count = tree.counts[static_cast<std::size_t>(tree.current)];
    if (count >= MAX_TREE_PROCESSES) {
        return false;
    }
    tree.generations[static_cast<std::size_t>(tree.current)][static_cast<std::size_t>(count)] = status;
    ++count;
    return true;
}

} // namespace

bool read_process_status_at(int proc_fd, std::int32_t pid, process_status &status)
{
    std::array<char, PID_PATH_SIZE> path;
    if (!format_pid_path(path, "", pid, "/stat")) {
        return false;
    }
    const file_descriptor file(::openat(proc_fd, path.data(), TEXT_FILE_FLAGS));
    if (!file.is_open()) {
        return false;
    }
    std::array<char, STAT_LINE_SIZE> line;
    stat_fields fields;
    if (!parse_stat_fields(read_small_file(file.fd, line), fields)) {
        return false;
    }
    status.pid = pid;
    status.parent = static_cast<std::int32_t>(fields[STAT_PARENT]);
    status.start_time = fields[STAT_START_TIME];
    status.user_ticks = fields[STAT_UTIME] + fields[STAT_CHILDREN_UTIME];
    status.system_ticks = fields[STAT_STIME] + fields[STAT_CHILDREN_STIME];
    return true;
}

bool read_process_status(std::int32_t pid, process_status &status, const char *proc_path)
{
    const file_descriptor proc(::open(proc_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return proc.is_open() && read_process_status_at(proc.fd, pid, status);
}

bool start_process_tree(process_tree &tree, const std::int32_t *pids, int count, std::int32_t &missing,
                        const char *proc_path)
{
    tree.counts = {};
    for (int index = 0; index < count; ++index) {
        process_status status;
        if (!read_process_status(pids[index], status, proc_path)) {
            missing = pids[index];
            return false;
        }
        add_member(tree, status);
    }
    return true;
}

namespace {

// Whether the parent of `status` makes it a member, or it was one already.
bool belongs(const process_tree &tree, const process_status &status)
{
    int previous_count = 0;
    const process_list &previous = previous_members(tree, previous_count);
    int current_count = 0;
    const process_list &current = current_members(tree, current_count);
    return (tree.adopting_parent != 0 && status.parent == tree.adopting_parent) ||
           holds_process(previous, previous_count, status) || holds_pid(previous, previous_count, status.parent) ||
           holds_pid(current, current_count, status.parent);
}

// A member that has gone was reaped: by a member, whose children's time now
// holds its own; by the adopting parent, which counts what wait4 gives it; or
// by a process outside the tree, and then its last reading is all there is.
void credit_ended_members(process_tree &tree)
{
    int previous_count = 0;
    const process_list &previous = previous_members(tree, previous_count);
    int current_count = 0;
    const process_list &current = current_members(tree, current_count);
    for (int index = 0; index < previous_count; ++index) {
        const process_status &member = previous[static_cast<std::size_t>(index)];
        if (holds_process(current, current_count, member) ||
            (tree.adopting_parent != 0 && member.parent == tree.adopting_parent) ||
            holds_pid(current, current_count, member.parent)) {
            continue;
        }
        tree.ended_user_ticks += member.user_ticks;
        tree.ended_system_ticks += member.system_ticks;
    }
}

} // namespace

void judge_process_tree(process_tree &tree, int proc_fd)
{
    tree.current = 1 - tree.current;
    tree.counts[static_cast<std::size_t>(tree.current)] = 0;
    tree.candidate_count = 0;
    directory_listing processes;
    processes.fd = proc_fd;
    std::int32_t pid = 0;
    while (tree.candidate_count < MAX_CENSUS_PROCESSES && next_process_entry(processes, pid)) {
        const auto index = static_cast<std::size_t>(tree.candidate_count);
        if (read_process_status_at(proc_fd, pid, tree.candidates[index])) {
            tree.admitted[index] = false;
            ++tree.candidate_count;
        }
    }
    // A child may be listed before its parent: each round admits the children
    // of the members found so far, until a round finds none.
    bool admitted_some = true;
    while (admitted_some) {
        admitted_some = false;
        for (int index = 0; index < tree.candidate_count; ++index) {
            const auto position = static_cast<std::size_t>(index);
            if (!tree.admitted[position] && belongs(tree, tree.candidates[position])) {
                tree.admitted[position] = true;
                admitted_some = true;
                add_member(tree, tree.candidates[position]); // past the limit it is read, not remembered
            }
        }
    }
    credit_ended_members(tree);
}

void forget_tree_process(process_tree &tree, std::int32_t pid)
{
    process_list &members = tree.generations[static_cast<std::size_t>(tree.current)];
    int &count = tree.counts[static_cast<std::size_t>(tree.current)];
    for (int index = 0; index < count; ++index) {
        if (members[static_cast<std::size_t>(index)].pid == pid) {
            members[static_cast<std::size_t>(index)] = members[static_cast<std::size_t>(count - 1)];
            --count;
            return;
        }
    }
}

int tree_member_count(const process_tree &tree)
{
    return tree.counts[static_cast<std::size_t>(tree.current)];
}

void tree_cpu_ticks(const process_tree &tree, std::int64_t &user, std::int64_t &system)
{
    user = tree.ended_user_ticks;
    system = tree.ended_system_ticks;
    int count = 0;
    const process_list &current = current_members(tree, count);
    for (int index = 0; index < count; ++index) {
        user += current[static_cast<std::size_t>(index)].user_ticks;
        system += current[static_cast<std::size_t>(index)].system_ticks;
    }
}
