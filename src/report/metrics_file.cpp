#include "report/metrics_file.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sampling/kernel_text.hpp"

namespace {

// The kernel's own limit on links followed in one lookup (path_resolution(7)).
constexpr int MOST_LINKS_FOLLOWED = 40;
constexpr std::string_view TEMPORARY_PREFIX = "/.";
constexpr std::string_view TEMPORARY_SUFFIX = ".XXXXXX";

// Joins `parts` into `into`; false when they do not fit with the NUL.
template <std::size_t size>
bool join_text(std::array<char, size> &into, std::initializer_list<std::string_view> parts)
{
    std::size_t length = 0;
    for (const std::string_view part : parts) {
        if (length + part.size() >= size) {
            return false;
        }
        std::memcpy(into.data() + length, part.data(), part.size());
        length += part.size();
    }
    into[length] = '\0';
    return true;
}

// The folder that holds `path`, "" for a bare name ("/" holds "/x").
std::string_view folder_of(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : text_part(path, 0, slash == 0 ? 1 : slash);
}

// Replaces the link at `target.path` by what it points to: an absolute
// target as it is, a relative one against the link's folder.
int follow_link(metrics_target &target)
{
    std::array<char, METRICS_PATH_SIZE> contents{};
    const ssize_t length = ::readlink(target.path.data(), contents.data(), contents.size());
    if (length < 0) {
        return errno;
    }
    if (static_cast<std::size_t>(length) >= contents.size()) {
        return ENAMETOOLONG;
    }
    const std::string_view pointed(contents.data(), static_cast<std::size_t>(length));
    std::array<char, METRICS_PATH_SIZE> folder{};
    (void)join_text(folder, {folder_of(target.path.data())}); // shorter than the path it comes from
    const bool relative = !pointed.empty() && pointed.front() != '/' && folder[0] != '\0';
    const bool fits =
        relative ? join_text(target.path, {folder.data(), "/", pointed}) : join_text(target.path, {pointed});
    return fits ? 0 : ENAMETOOLONG;
}

} // namespace

int resolve_metrics_target(const char *name, metrics_target &target)
{
    if (!join_text(target.path, {name})) {
        return ENAMETOOLONG;
    }
    for (int followed = 0;; ++followed) {
        struct stat status {};
        if (::lstat(target.path.data(), &status) != 0) {
            if (errno != ENOENT) {
                return errno;
            }
            break; // the first frame makes it
        }
        if (S_ISREG(status.st_mode)) {
            break;
        }
        if (!S_ISLNK(status.st_mode)) {
            return NOT_A_REGULAR_FILE;
        }
        if (followed == MOST_LINKS_FOLLOWED) {
            return ELOOP;
        }
        if (const int failure = follow_link(target); failure != 0) {
            return failure;
        }
    }
    const std::string_view path(target.path.data());
    const std::string_view folder = folder_of(path);
    const std::string_view file_name = folder.empty() ? path : text_part(path, path.rfind('/') + 1);
    // "/" holds "/x": its new file is "/.x.XXXXXX".
    const std::string_view lead = folder == "/" ? "." : TEMPORARY_PREFIX;
    const std::string_view holder = folder.empty() ? "." : folder;
    const bool fits = join_text(target.temporary_pattern, {holder, lead, file_name, TEMPORARY_SUFFIX});
    return fits ? 0 : ENAMETOOLONG;
}

int check_metrics_target(const char *name)
{
    metrics_target target;
    if (const int failure = resolve_metrics_target(name, target); failure != 0) {
        return failure;
    }
    const file_descriptor file(::mkostemp(target.temporary_pattern.data(), O_CLOEXEC));
    if (!file.is_open()) {
        return errno;
    }
    ::unlink(target.temporary_pattern.data());
    return 0;
}

const char *metrics_failure_reason(int failure)
{
    return failure == NOT_A_REGULAR_FILE ? "not a regular file" : std::strerror(failure);
}
