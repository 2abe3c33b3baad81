// A throw-away tree in a temporary folder for the odd kinds of file that a
// kernel never shows (folders for files, dangling links, FIFOs, sockets),
// removed with everything in it when the object goes. The kernel's own texts
// come from kernel_tree.
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
    // Sets the permission bits of an entry ("" for the tree's own folder).
    void set_mode(std::string_view relative, unsigned mode) const;

private:
    std::string root_;
};

// The number of descriptors the calling process holds now.
int open_descriptor_count();
