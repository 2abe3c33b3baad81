// A fake kernel in a temporary directory: proc/<pid>/{fdinfo/<fd>,comm,stat}
// and sys/class/drm/cardN/device/gpu_stats, in the kernel's own formats.
#pragma once

#include <cstdint>
#include <string>

class kernel_tree {
public:
    kernel_tree();
    ~kernel_tree();
    kernel_tree(const kernel_tree &) = delete;
    kernel_tree &operator=(const kernel_tree &) = delete;

    [[nodiscard]] const std::string &root() const { return root_; }
    [[nodiscard]] std::string proc() const { return root_ + "/proc"; }
    [[nodiscard]] std::string path(const std::string &relative) const { return root_ + "/" + relative; }

    // Writes a file below the root, making its folders; replaces it atomically.
    void write(const std::string &relative, const std::string &content) const;
    // Rewrites an existing file in place, as the kernel's generated files
    // change under a descriptor that stays open on them.
    void rewrite_in_place(const std::string &relative, const std::string &content) const;
    void remove(const std::string &relative) const;

    // A process with comm and stat files (utime and stime in clock ticks), a
    // child of `parent`, started `start_time` ticks after boot.
    void add_process(int pid, const std::string &name, std::int64_t utime = 0, std::int64_t stime = 0,
                     int parent = 1, std::int64_t start_time = 12345) const;
    void add_fdinfo(int pid, int fd, const std::string &content) const;
    void add_v3d_client(int pid, int fd, int client_id, std::int64_t render, std::int64_t tfu, std::int64_t bin) const;
    // Writes cardN's gpu_stats with `timestamp` as every row's first number;
    // returns its path.
    std::string set_gpu_stats(std::int64_t timestamp, int card = 0) const;

    // The fdinfo text of a v3d DRM file, as the kernel writes it.
    static std::string v3d_fdinfo(int client_id, std::int64_t render, std::int64_t tfu, std::int64_t bin);
    static std::string gpu_stats(std::int64_t timestamp);
    static std::string stat_line(int pid, const std::string &name, std::int64_t utime, std::int64_t stime,
                                 int parent = 1, std::int64_t start_time = 12345);

private:
    std::string root_;
};
