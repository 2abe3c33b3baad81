#include <array>
#include <cerrno>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>

#include "sampling/client_table.hpp"
#include "sampling/client_record.hpp"
#include "sampling/fdinfo_text.hpp"
#include "sampling/kernel_text.hpp"

namespace {

// Holds a whole DRM fdinfo file (about 700 bytes) in one read; larger files
// (an epoll's, say) stream through it.
constexpr std::size_t FDINFO_BUFFER_SIZE = 4096;

constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// The major number of the kernel's DRM character devices (/dev/dri/*).
constexpr unsigned DRM_DEVICE_MAJOR = 226;

// The link count of /proc/<pid>/task is 2 plus the number of threads
// (proc_task_getattr in fs/proc/base.c).
constexpr nlink_t SINGLE_THREAD_TASK_LINKS = 3;

// What the census of one process carries from one descriptor to the next.
struct process_census {
    int proc_fd = -1;
    std::int32_t pid = 0;
    client_table *table = nullptr;
    client_listing listing = client_listing::default_queues;
    // The folder that holds fd/ and fdinfo/: <files_prefix><files_id>, which
    // is "<pid>", or "<pid>/task/<tid>" for one of its threads.
    const char *files_prefix = "";
    std::int32_t files_id = 0;
    // fdinfo/ of that folder, opened at the first file to be read.
    file_descriptor fdinfo{-1};
    bool fdinfo_tried = false;
    int fdinfo_error = 0; // errno of the failed open of fdinfo/

    std::array<char, NAME_SIZE> name{};
    bool name_settled = false;
    std::array<char, FDINFO_BUFFER_SIZE> text;
};

bool open_fdinfo_directory(process_census &process)
{
    if (!process.fdinfo_tried) {
        process.fdinfo_tried = true;
        std::array<char, PID_PATH_SIZE> path;
        if (format_pid_path(path, process.files_prefix, process.files_id, "/fdinfo")) {
            process.fdinfo.fd = ::openat(process.proc_fd, path.data(), DIRECTORY_FLAGS);
            process.fdinfo_error = process.fdinfo.is_open() ? 0 : errno;
        }
    }
    return process.fdinfo.is_open(); // not when gone, or another user's
}

// Reads fdinfo/<entry> and records it when it is a listed V3D client.
void read_fdinfo(process_census &process, const char *entry)
{
    if (!open_fdinfo_directory(process)) {
        return;
    }
    fdinfo_keys keys;
    {
        const file_descriptor file(::openat(process.fdinfo.fd, entry, TEXT_FILE_FLAGS));
        if (!file.is_open()) {
            return;
        }
        read_line_pieces(file.fd, process.text, [&keys](std::string_view piece) { apply_fdinfo_line(piece, keys); });
    }
    if (!is_listed_client(keys, process.listing)) {
        return;
    }
    if (!process.name_settled) {
        read_process_name(process.proc_fd, process.pid, process.name);
        process.name_settled = true;
    }
    // The entry is the descriptor's number (proc(5), /proc/pid/fdinfo).
    const std::int64_t descriptor = parse_decimal(entry);
    const bool numbered = descriptor >= 0 && descriptor <= std::numeric_limits<std::int32_t>::max();
    const client_origin origin{process.pid, numbered ? static_cast<std::int32_t>(descriptor) : -1,
                               process.files_id != process.pid ? process.files_id : 0};
    record_client(*process.table, keys, origin, process.name, process.proc_fd);
}

// Whether the open file behind fd/<entry> may be a DRM file: a character
// device of the DRM major (DRM_MAJOR in include/uapi/linux/major.h), or one
// whose stat failed for another reason than the descriptor having closed, in
// which case its fdinfo text decides. The stat follows the link to the open
// file; AT_STATX_DONT_SYNC takes the type from what the kernel holds, so a file
// on a network or FUSE file system that does not answer cannot stall a pass.
bool may_be_drm_file(int fd_directory, const char *entry)
{
    struct statx status {};
    if (::statx(fd_directory, entry, AT_STATX_DONT_SYNC, STATX_TYPE, &status) != 0) {
        return errno != ENOENT;
    }
    return S_ISCHR(status.stx_mode) && status.stx_rdev_major == DRM_DEVICE_MAJOR;
}

// How a listing of fd/ went.
enum class descriptor_listing { unopened, cut_short, empty, listed };

// Reads the fdinfo files of the DRM files among the entries of fd/.
descriptor_listing scan_drm_descriptors(process_census &process)
{
    std::array<char, PID_PATH_SIZE> path;
    if (!format_pid_path(path, process.files_prefix, process.files_id, "/fd")) {
        return descriptor_listing::unopened;
    }
    const file_descriptor descriptors(::openat(process.proc_fd, path.data(), DIRECTORY_FLAGS));
    if (!descriptors.is_open()) {
        return descriptor_listing::unopened;
    }
    directory_listing listing;
    listing.fd = descriptors.fd;
    std::string_view entry;
    bool any = false;
    while (next_directory_entry(listing, entry)) {
        any = true;
        if (entry.front() != '.' && may_be_drm_file(descriptors.fd, entry.data())) {
            read_fdinfo(process, entry.data());
        }
    }
    if (listing.failed) {
        return descriptor_listing::cut_short;
    }
    return any ? descriptor_listing::listed : descriptor_listing::empty;
}

// When the main thread has exited (pthread_exit) while others run on, the
// process's fd/ and fdinfo/ list nothing, but task/<tid>/fd of each live
// thread lists the files, which its threads share. One stat of task/ tells
// whether there is another thread, so a kernel thread or a process without
// files costs one call more and no other.
void scan_live_thread(process_census &process)
{
    std::array<char, PID_PATH_SIZE> path;
    std::array<char, PID_PATH_SIZE> prefix;
    if (!format_pid_path(path, "", process.pid, "/task") || !format_pid_path(prefix, "", process.pid, "/task/")) {
        return;
    }
    struct stat status {};
    if (::fstatat(process.proc_fd, path.data(), &status, 0) != 0 || status.st_nlink <= SINGLE_THREAD_TASK_LINKS) {
        return;
    }
    const file_descriptor tasks(::openat(process.proc_fd, path.data(), DIRECTORY_FLAGS));
    if (!tasks.is_open()) {
        return;
    }
    directory_listing listing;
    listing.fd = tasks.fd;
    std::string_view entry;
    process.files_prefix = prefix.data();
    // The first thread whose fd/ opens: one that ended meanwhile is passed over.
    while (next_directory_entry(listing, entry)) {
        const std::int64_t tid = parse_decimal(entry);
        if (tid == process.pid || tid <= 0 || tid > std::numeric_limits<std::int32_t>::max()) {
            continue;
        }
        process.files_id = static_cast<std::int32_t>(tid);
        if (scan_drm_descriptors(process) != descriptor_listing::unopened) {
            break;
        }
    }
    process.files_prefix = "";
}

// Reads every fdinfo file of the process: each says for itself whether it is
// a V3D client.
void scan_every_fdinfo(process_census &process)
{
    if (!open_fdinfo_directory(process)) {
        return;
    }
    directory_listing listing;
    listing.fd = process.fdinfo.fd;
    std::string_view entry;
    while (next_directory_entry(listing, entry)) {
        if (entry.front() != '.') {
            read_fdinfo(process, entry.data());
        }
    }
}

// Where fd/ cannot be listed (a tree without it, or a process that closes it
// to us but not its fdinfo), every fdinfo file is read. A file read twice after
// a listing that failed part way is recorded once: the same pid owns it. An
// empty fd/ may be that of a process whose main thread has exited. Returns
// whether the process's files were closed to us (another user's process):
// one that ended meanwhile is not.
bool scan_process(int proc_fd, std::int32_t pid, client_table &table, client_listing listing)
{
    process_census process;
    process.proc_fd = proc_fd;
    process.pid = pid;
    process.files_id = pid;
    process.table = &table;
    process.listing = listing;
    switch (scan_drm_descriptors(process)) {
    case descriptor_listing::unopened:
    case descriptor_listing::cut_short:
        scan_every_fdinfo(process);
        break;
    case descriptor_listing::empty:
        scan_live_thread(process);
        break;
    case descriptor_listing::listed:
        break;
    }
    return process.fdinfo_error == EACCES;
}

} // namespace

int scan_clients(client_table &table, const char *proc_path, client_listing listing, process_tree *tree)
{
    table.count = 0;
    table.unreadable_processes = 0;
    const file_descriptor proc(::open(proc_path, DIRECTORY_FLAGS));
    if (!proc.is_open()) {
        return 0;
    }
    if (tree != nullptr) {
        // Outside the tree, a process costs one read of its stat line.
        judge_process_tree(*tree, proc.fd);
        for (int index = 0; index < tree->candidate_count; ++index) {
            if (tree->admitted[static_cast<std::size_t>(index)] &&
                scan_process(proc.fd, tree->candidates[static_cast<std::size_t>(index)].pid, table, listing)) {
                ++table.unreadable_processes;
            }
        }
        return table.count;
    }
    directory_listing processes;
    processes.fd = proc.fd;
    std::int32_t pid = 0;
    while (next_process_entry(processes, pid)) {
        if (scan_process(proc.fd, pid, table, listing)) {
            ++table.unreadable_processes;
        }
    }
    return table.count;
}
