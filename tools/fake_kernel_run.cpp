// Runs a program with a fake kernel: the tree's proc/ bound over /proc, its
// sys/class/ over /sys/class, and its sys/kernel/debug/ and
// sys/devices/system/cpu/cpufreq/ over those folders (an empty folder stands
// over them where the tree has none, so that the machine's own clock, power and
// CPU files never show through), in a private mount namespace, so that machines
// without a V3D GPU can run the real v3dwatch. As an ordinary user it enters an
// unprivileged user namespace first, where the system allows that.
//
//   fake_kernel_run TREE PROGRAM [ARGUMENT...]
//
// Exits with the program's status, or 125 when the namespace cannot be made.
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

constexpr int CANNOT_ISOLATE = 125;
constexpr std::size_t PATH_SIZE = 4096;

int fail(const char *what, const char *detail)
{
    // The exit status tells the failure even if the message cannot be written.
    (void)std::fprintf(stderr, "fake_kernel_run: %s%s: %s\n", what, detail, std::strerror(errno));
    return CANNOT_ISOLATE;
}

bool write_text(const char *path, const char *text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const auto length = static_cast<ssize_t>(std::strlen(text));
    const bool written = ::write(fd, text, static_cast<std::size_t>(length)) == length;
    ::close(fd);
    return written;
}

// "0 ID 1": ID outside the namespace is root inside it.
bool format_id_map(std::array<char, 64> &map, unsigned id)
{
    const int length = std::snprintf(map.data(), map.size(), "0 %u 1\n", id);
    return length > 0 && static_cast<std::size_t>(length) < map.size();
}

// Maps the caller's user and group to root inside a new user namespace.
bool enter_user_namespace()
{
    const uid_t user = ::getuid();
    const gid_t group = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        return false;
    }
    std::array<char, 64> map{};
    if (!format_id_map(map, static_cast<unsigned>(user)) || !write_text("/proc/self/uid_map", map.data())) {
        return false;
    }
    write_text("/proc/self/setgroups", "deny\n");
    return format_id_map(map, static_cast<unsigned>(group)) && write_text("/proc/self/gid_map", map.data());
}

int bind_below(const char *tree, const char *part, const char *target)
{
    std::array<char, PATH_SIZE> source{};
    const int length = std::snprintf(source.data(), source.size(), "%s/%s", tree, part);
    if (length < 0 || static_cast<std::size_t>(length) >= source.size()) {
        errno = ENAMETOOLONG;
        return fail("cannot bind ", part);
    }
    if (::mount(source.data(), target, nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        return fail("cannot bind over ", target);
    }
    return 0;
}

// The tree's `part` over `target` where the tree has it; else an empty,
// read-only tmpfs over `target` where the machine has one.
int bind_or_hide(const char *tree, const char *part, const char *target)
{
    std::array<char, PATH_SIZE> source{};
    const int length = std::snprintf(source.data(), source.size(), "%s/%s", tree, part);
    if (length > 0 && static_cast<std::size_t>(length) < source.size() && ::access(source.data(), F_OK) == 0) {
        return bind_below(tree, part, target);
    }
    if (::access(target, F_OK) == 0 && ::mount("none", target, "tmpfs", MS_RDONLY, "size=4k") != 0) {
        return fail("cannot hide ", target);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        (void)std::fputs("usage: fake_kernel_run TREE PROGRAM [ARGUMENT...]\n", stderr);
        return 2;
    }
    const char *tree = argv[1];
    if (::geteuid() == 0 ? ::unshare(CLONE_NEWNS) != 0 : !enter_user_namespace()) {
        return fail("cannot make a private mount namespace", "");
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return fail("cannot make mounts private", "");
    }
    if (const int failed = bind_below(tree, "proc", "/proc"); failed != 0) {
        return failed;
    }
    if (const int failed = bind_below(tree, "sys/class", "/sys/class"); failed != 0) {
        return failed;
    }
    if (const int failed = bind_or_hide(tree, "sys/kernel/debug", "/sys/kernel/debug"); failed != 0) {
        return failed;
    }
    if (const int failed = bind_or_hide(tree, "sys/devices/system/cpu/cpufreq", "/sys/devices/system/cpu/cpufreq");
        failed != 0) {
        return failed;
    }
    // Ignored signals stay ignored across execve, but under qemu user
    // emulation only those the program itself set: for one it inherited, qemu
    // holds a handler of its own on the host, which execve resets.
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        struct sigaction action {};
        if (::sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
            (void)::sigaction(signal_number, &action, nullptr);
        }
    }
    ::execvp(argv[2], argv + 2);
    return fail("cannot run ", argv[2]);
}
