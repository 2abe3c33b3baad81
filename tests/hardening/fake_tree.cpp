#include "fake_tree.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include <dirent.h>
#include <ftw.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void make_parents(const std::string &path)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        if (::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) {
            fail("mkdir " + parent);
        }
    }
}

int remove_entry(const char *path, const struct stat *, int, FTW *)
{
    ::remove(path);
    return 0;
}

} // namespace

fake_tree::fake_tree()
{
    std::string pattern = "/tmp/v3dwatch-hardening-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        fail("mkdtemp");
    }
    root_ = pattern;
}

fake_tree::~fake_tree()
{
    ::nftw(root_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string fake_tree::path(std::string_view relative) const
{
    return relative.empty() ? root_ : root_ + "/" + std::string(relative);
}

void fake_tree::write_file(std::string_view relative, std::string_view content) const
{
    const std::string full = path(relative);
    make_parents(full);
    std::ofstream file(full, std::ios::binary | std::ios::trunc);
    file.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!file) {
        fail("write " + full);
    }
}

void fake_tree::make_directory(std::string_view relative) const
{
    const std::string full = path(relative);
    make_parents(full);
    if (::mkdir(full.c_str(), 0755) != 0 && errno != EEXIST) {
        fail("mkdir " + full);
    }
}

void fake_tree::make_symlink(std::string_view relative, std::string_view target) const
{
    const std::string full = path(relative);
    make_parents(full);
    if (::symlink(std::string(target).c_str(), full.c_str()) != 0) {
        fail("symlink " + full);
    }
}

void fake_tree::make_fifo(std::string_view relative) const
{
    const std::string full = path(relative);
    make_parents(full);
    if (::mkfifo(full.c_str(), 0644) != 0) {
        fail("mkfifo " + full);
    }
}

void fake_tree::make_socket(std::string_view relative) const
{
    const std::string full = path(relative);
    make_parents(full);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (full.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        fail("socket " + full);
    }
    std::memcpy(address.sun_path, full.c_str(), full.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail("socket");
    }
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    ::close(fd); // the socket file stays, with nobody listening on it
    if (bound != 0) {
        fail("bind " + full);
    }
}

void fake_tree::set_mode(std::string_view relative, unsigned mode) const
{
    const std::string full = path(relative);
    if (::chmod(full.c_str(), static_cast<mode_t>(mode)) != 0) {
        fail("chmod " + full);
    }
}

void fake_tree::remove(std::string_view relative) const
{
    ::nftw(path(relative).c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

int open_descriptor_count()
{
    DIR *directory = ::opendir("/proc/self/fd");
    if (directory == nullptr) {
        fail("opendir /proc/self/fd");
    }
    int count = 0;
    while (const dirent *entry = ::readdir(directory)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(directory);
    return count - 1; // the listing's own descriptor
}
