#include "control/output_files.hpp"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "report/metrics_file.hpp"

namespace {

// Opens an existing file as it is, or makes a new one, and says which.
int open_kept(const char *name, bool &made)
{
    made = false;
    const int opened = ::open(name, O_WRONLY | O_CLOEXEC);
    if (opened >= 0 || errno != ENOENT) {
        return opened;
    }
    made = true;
    return ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

// Two writers of one regular file or FIFO would lose one output; a device
// such as /dev/null takes both.
bool same_file(const struct stat &first, const struct stat &second)
{
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino && !S_ISCHR(first.st_mode);
}

// The name of an earlier output that `index` repeats, or null.
const char *repeated_output(const output_files &files, int index, const char *metrics_file)
{
    struct stat opened {};
    if (::fstat(files.fds[static_cast<std::size_t>(index)], &opened) != 0) {
        return nullptr;
    }
    const char *const name = files.names[static_cast<std::size_t>(index)];
    for (int earlier = 0; earlier < index; ++earlier) {
        struct stat other {};
        const int fd = files.fds[static_cast<std::size_t>(earlier)];
        if (fd >= 0 && (std::strcmp(files.names[static_cast<std::size_t>(earlier)], name) == 0 ||
                        (::fstat(fd, &other) == 0 && same_file(opened, other)))) {
            return name;
        }
    }
    metrics_target target;
    struct stat metrics {};
    if (metrics_file != nullptr &&
        (std::strcmp(metrics_file, name) == 0 ||
         (resolve_metrics_target(metrics_file, target) == 0 && ::stat(target.path.data(), &metrics) == 0 &&
          same_file(opened, metrics)))) {
        return name;
    }
    return nullptr;
}

} // namespace

bool open_output_files(output_files &files, const char *metrics_file, std::FILE *messages)
{
    for (int index = 0; index < OUTPUT_FILE_COUNT; ++index) {
        const auto position = static_cast<std::size_t>(index);
        const char *const name = files.names[position];
        if (name == nullptr) {
            continue;
        }
        files.fds[position] = open_kept(name, files.made[position]);
        if (files.fds[position] < 0) {
            (void)std::fprintf(messages, "Error: cannot write %s: %s\n", name, std::strerror(errno));
            files.made[position] = false;
            files.fds[position] = -1;
            abandon_output_files(files);
            return false;
        }
        if (const char *const repeated = repeated_output(files, index, metrics_file); repeated != nullptr) {
            (void)std::fprintf(messages, "Error: two outputs name the same file: %s\n", repeated);
            abandon_output_files(files);
            return false;
        }
    }
    return true;
}

bool empty_output_files(const output_files &files, std::FILE *messages)
{
    for (std::size_t index = 0; index < files.fds.size(); ++index) {
        const int fd = files.fds[index];
        struct stat opened {};
        if (fd >= 0 && ::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && ::ftruncate(fd, 0) != 0) {
            (void)std::fprintf(messages, "Error: cannot write %s: %s\n", files.names[index], std::strerror(errno));
            return false;
        }
    }
    return true;
}

void abandon_output_files(const output_files &files)
{
    for (std::size_t index = 0; index < files.fds.size(); ++index) {
        if (files.fds[index] >= 0) {
            ::close(files.fds[index]);
        }
        if (files.made[index]) {
            ::unlink(files.names[index]);
        }
    }
}
