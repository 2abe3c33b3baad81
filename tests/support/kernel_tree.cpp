#include "support/kernel_tree.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

kernel_tree::kernel_tree()
{
    std::string pattern = (fs::temp_directory_path() / "v3dwatch-tree-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary directory");
    }
    root_ = pattern;
    fs::create_directories(root_ + "/proc");
    fs::create_directories(root_ + "/sys/class/drm");
}

kernel_tree::~kernel_tree()
{
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

void kernel_tree::write(const std::string &relative, const std::string &content) const
{
    const fs::path target = path(relative);
    fs::create_directories(target.parent_path());
    // A dot name, which the census passes over, until it takes the real name.
    // Appended piece by piece: GCC 12 at -O3 sees an overlapping copy in
    // `"." + std::string&&`, which inserts at the front, and warns (-Wrestrict).
    std::string temporary_name = ".";
    temporary_name += target.filename().string();
    temporary_name += ".new";
    const fs::path temporary = target.parent_path() / temporary_name;
    {
        std::ofstream out(temporary, std::ios::binary);
        out << content;
    }
    fs::rename(temporary, target);
}

void kernel_tree::rewrite_in_place(const std::string &relative, const std::string &content) const
{
    std::ofstream out(path(relative), std::ios::binary | std::ios::in | std::ios::trunc);
    if (!(out << content)) {
        throw std::runtime_error("cannot rewrite " + relative);
    }
}

void kernel_tree::remove(const std::string &relative) const
{
    fs::remove_all(path(relative));
}

void kernel_tree::add_process(int pid, const std::string &name, std::int64_t utime, std::int64_t stime, int parent,
                              std::int64_t start_time) const
{
    const std::string base = "proc/" + std::to_string(pid);
    fs::create_directories(path(base + "/fdinfo"));
    write(base + "/comm", name + "\n");
    write(base + "/stat", stat_line(pid, name, utime, stime, parent, start_time));
}

void kernel_tree::add_fdinfo(int pid, int fd, const std::string &content) const
{
    write("proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd), content);
}

void kernel_tree::add_v3d_client(int pid, int fd, int client_id, std::int64_t render, std::int64_t tfu,
                                 std::int64_t bin) const
{
    add_fdinfo(pid, fd, v3d_fdinfo(client_id, render, tfu, bin));
}

std::string kernel_tree::set_gpu_stats(std::int64_t timestamp, int card) const
{
    const std::string relative = "sys/class/drm/card" + std::to_string(card) + "/device/gpu_stats";
    write(relative, gpu_stats(timestamp));
    return path(relative);
}

std::string kernel_tree::v3d_fdinfo(int client_id, std::int64_t render, std::int64_t tfu, std::int64_t bin)
{
    const auto engine = [](const char *queue, std::int64_t value) {
        return std::string("drm-engine-") + queue + ": \t" + std::to_string(value) + " ns\nv3d-jobs-" + queue +
               ": \t1 jobs\n";
    };
    return "pos:\t0\nflags:\t02400002\nmnt_id:\t25\nino:\t521\ndrm-driver:\tv3d\ndrm-client-id:\t" +
           std::to_string(client_id) + "\n" + engine("bin", bin) + engine("render", render) + engine("tfu", tfu) +
           engine("csd", 0) + engine("cache_clean", 0) + engine("cpu", 0) +
           "drm-total-memory:\t15168 KiB\ndrm-shared-memory:\t9336 KiB\ndrm-resident-memory:\t15168 KiB\n";
}

std::string kernel_tree::gpu_stats(std::int64_t timestamp)
{
    std::string text = "queue\ttimestamp\tjobs\truntime\n";
    for (const char *queue : {"bin", "render", "tfu", "csd", "cache_clean", "cpu"}) {
        text += std::string(queue) + "\t" + std::to_string(timestamp) + "\t3\t1000\n";
    }
    return text;
}

std::string kernel_tree::stat_line(int pid, const std::string &name, std::int64_t utime, std::int64_t stime,
                                   int parent, std::int64_t start_time)
{
    // proc(5): pid (comm) state ppid pgrp session tty_nr tpgid flags minflt
    // cminflt majflt cmajflt utime stime cutime cstime ...
    return std::to_string(pid) + " (" + name + ") S " + std::to_string(parent) + " " + std::to_string(pid) + " " +
           std::to_string(pid) + " 0 -1 4194560 120 0 0 0 " + std::to_string(utime) + " " + std::to_string(stime) +
           " 0 0 20 0 1 0 " + std::to_string(start_time) +
           " 1000000 200 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n";
}
