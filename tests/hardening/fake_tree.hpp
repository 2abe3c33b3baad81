// A throw-away kernel tree in a temporary folder, removed with everything in
// it when the object goes.
#pragma once

#include <string>
#include <string_view>

class fake_tree {
public:
    fake_tree();
    ~fake_tree();
    fake_tree(const fake_tree &) = delete;
    fake_tree &operator=(const fake_tree &) = delete;

    // The absolute path of `relative` inside the tree.
    [[nodiscard]] std::string path(std::string_view relative = "") const;

    // Each makes its missing parent folders first.
    void write_file(std::string_view relative, std::string_view content) const;
    void make_directory(std::string_view relative) const;
    void make_symlink(std::string_view relative, std::string_view target) const;
    void make_fifo(std::string_view relative) const;
    void make_socket(std::string_view relative) const;
    void remove(std::string_view relative) const;

private:
    std::string root_;
};

// The text of one v3d DRM fdinfo file, as the kernel writes it.
std::string v3d_fdinfo(int client_id, long long render, long long tfu, long long bin);

// A stat line with the given utime and stime.
std::string stat_line(int pid, std::string_view name, long long user_ticks, long long system_ticks);

// The number of descriptors the calling process holds now.
int open_descriptor_count();
