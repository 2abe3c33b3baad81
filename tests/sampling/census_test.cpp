// The census: which fdinfo files become records, and how records are owned and named.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include "sampling/client_table.hpp"
#include "sampling/held_clients.hpp"
#include "support/kernel_tree.hpp"

namespace {

class census_test : public ::testing::Test {
protected:
    kernel_tree tree;
    client_table table;

    void SetUp() override { clock_ticks = 100; }

    int scan() { return scan_clients(table, tree.proc().c_str()); }

    const client_sample *find(std::uint64_t client_id) const
    {
        for (int index = 0; index < table.count; ++index) {
            if (table.records[static_cast<std::size_t>(index)].client_id == client_id) {
                return &table.records[static_cast<std::size_t>(index)];
            }
        }
        return nullptr;
    }
};

TEST_F(census_test, gives_the_records_worked_out_by_hand)
{
    tree.add_process(100, "game", 250, 50);
    tree.add_fdinfo(100, 0, "pos:\t0\nflags:\t02\n");
    tree.add_v3d_client(100, 5, 81, 154563573, 10574, 4916187);
    tree.add_process(200, "compositor", 40, 10);
    tree.add_v3d_client(200, 7, 82, 0, 900, 0);
    tree.add_fdinfo(200, 8, "drm-driver:\ti915\ndrm-client-id:\t90\ndrm-engine-render: \t5 ns\n");
    tree.add_process(300, "idle");
    tree.add_v3d_client(300, 3, 83, 0, 0, 0);
    tree.write("proc/self/fdinfo/1", kernel_tree::v3d_fdinfo(99, 1, 1, 1));

    ASSERT_EQ(scan(), 2);
    ASSERT_EQ(table.count, 2);
    const client_sample *game = find(81);
    ASSERT_NE(game, nullptr);
    EXPECT_EQ(game->pid, 100);
    EXPECT_STREQ(game->name.data(), "game");
    EXPECT_EQ(game->engine[ENGINE_RENDER], 154563573);
    EXPECT_EQ(game->engine[ENGINE_TFU], 10574);
    EXPECT_EQ(game->engine[ENGINE_BIN], 4916187);
    EXPECT_EQ(game->jobs, (std::array<std::int64_t, ENGINE_COUNT>{1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(game->engine_listed, (engine_flags{true, true, true, true, true, true}));
    EXPECT_DOUBLE_EQ(game->cpu_seconds, 3.0);
    const client_sample *compositor = find(82);
    ASSERT_NE(compositor, nullptr);
    EXPECT_EQ(compositor->pid, 200);
    EXPECT_STREQ(compositor->name.data(), "compositor");
    EXPECT_EQ(compositor->engine[ENGINE_TFU], 900);
    EXPECT_DOUBLE_EQ(compositor->cpu_seconds, 0.5);
}

TEST_F(census_test, keeps_one_record_for_a_client_held_twice_by_one_process)
{
    tree.add_process(100, "game");
    tree.add_v3d_client(100, 4, 81, 10, 0, 0);
    tree.add_v3d_client(100, 9, 81, 10, 0, 0);
    tree.add_v3d_client(100, 6, 82, 5, 0, 0);
    ASSERT_EQ(scan(), 2);
    EXPECT_NE(find(81), nullptr);
    EXPECT_NE(find(82), nullptr);
    EXPECT_STREQ(find(82)->name.data(), "game");
}

TEST_F(census_test, gives_a_shared_client_to_its_lowest_pid_with_that_process_cpu_time)
{
    tree.add_process(1200, "child", 900, 100);
    tree.add_v3d_client(1200, 3, 81, 30, 0, 0);
    tree.add_process(900, "parent", 150, 50);
    tree.add_v3d_client(900, 5, 81, 20, 0, 0);
    tree.add_process(1500, "grandchild", 7, 7);
    tree.add_v3d_client(1500, 5, 81, 40, 0, 0);
    ASSERT_EQ(scan(), 1);
    const client_sample &record = table.records[0];
    EXPECT_EQ(record.client_id, 81);
    EXPECT_EQ(record.pid, 900);
    EXPECT_STREQ(record.name.data(), "parent");
    EXPECT_EQ(record.engine[ENGINE_RENDER], 20);
    EXPECT_DOUBLE_EQ(record.cpu_seconds, 2.0) << "never another process's CPU time";
}

TEST_F(census_test, drops_the_257th_client_and_keeps_the_first_256_in_discovery_order)
{
    tree.add_process(100, "many");
    for (int client = 0; client <= MAX_CLIENTS; ++client) {
        tree.add_v3d_client(100, client, 1000 + client, 1, 0, 0);
    }
    std::vector<int> listing_order;
    for (const auto &entry : std::filesystem::directory_iterator(tree.proc() + "/100/fdinfo")) {
        listing_order.push_back(1000 + std::stoi(entry.path().filename().string()));
    }
    ASSERT_EQ(scan(), MAX_CLIENTS);
    for (int index = 0; index < MAX_CLIENTS; ++index) {
        EXPECT_EQ(table.records[static_cast<std::size_t>(index)].client_id,
                  listing_order[static_cast<std::size_t>(index)]);
    }
}

TEST_F(census_test, names_a_process_by_its_pid_when_comm_is_empty_or_unreadable)
{
    tree.add_process(100, "");
    tree.add_v3d_client(100, 3, 81, 1, 0, 0);
    tree.add_process(200, "gone");
    tree.remove("proc/200/comm");
    tree.add_v3d_client(200, 3, 82, 1, 0, 0);
    tree.add_process(300, "folder");
    tree.remove("proc/300/comm");
    std::filesystem::create_directories(tree.path("proc/300/comm"));
    tree.add_v3d_client(300, 3, 83, 1, 0, 0);
    ASSERT_EQ(scan(), 3);
    EXPECT_STREQ(find(81)->name.data(), "100");
    EXPECT_STREQ(find(82)->name.data(), "200");
    EXPECT_STREQ(find(83)->name.data(), "300");
}

TEST_F(census_test, replaces_control_characters_in_names)
{
    tree.add_process(100, "x");
    tree.write("proc/100/comm", "\x1b]0;owned\x07\n");
    tree.add_v3d_client(100, 3, 81, 1, 0, 0);
    ASSERT_EQ(scan(), 1);
    EXPECT_STREQ(table.records[0].name.data(), "?]0;owned?");
}

TEST_F(census_test, passes_over_what_is_not_a_process_or_a_descriptor)
{
    tree.add_process(100, "game");
    tree.add_fdinfo(100, 3, kernel_tree::v3d_fdinfo(81, 1, 0, 0));
    tree.write("proc/100/fdinfo/.hidden", kernel_tree::v3d_fdinfo(85, 1, 0, 0));
    tree.write("proc/net/fdinfo/3", kernel_tree::v3d_fdinfo(86, 1, 0, 0));
    tree.write("proc/99999999999/fdinfo/3", kernel_tree::v3d_fdinfo(87, 1, 0, 0));
    std::filesystem::create_directories(tree.path("proc/100/fdinfo/4"));
    tree.write("proc/400/fdinfo", "not a folder\n");
    ASSERT_EQ(scan(), 1);
    EXPECT_EQ(table.records[0].client_id, 81);
}

TEST_F(census_test, reads_a_client_at_the_end_of_a_file_larger_than_its_buffer)
{
    tree.add_process(100, "epoll");
    std::string text = "pos:\t0\n";
    while (text.size() < 1024 * 1024) {
        text += "tfd:       12 events:       19 data:                c  pos:0 ino:2891 sdev:f\n";
    }
    tree.add_fdinfo(100, 3, text + "drm-driver:\tv3d\ndrm-client-id:\t5\ndrm-engine-bin: \t77 ns\n");
    ASSERT_EQ(scan(), 1);
    EXPECT_EQ(table.records[0].engine[ENGINE_BIN], 77);
}

// Every field of every record, in client id order.
using census_row = std::tuple<std::int32_t, std::int32_t, std::string, std::int64_t, std::int64_t, std::int64_t, double>;

std::vector<census_row> rows_of(const client_table &table)
{
    std::vector<census_row> rows;
    for (int index = 0; index < table.count; ++index) {
        const client_sample &record = table.records[static_cast<std::size_t>(index)];
        rows.emplace_back(record.client_id, record.pid, record.name.data(), record.engine[ENGINE_RENDER],
                          record.engine[ENGINE_TFU], record.engine[ENGINE_BIN], record.cpu_seconds);
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

// proc/<pid>/fd/<fd> as a link to `target`, as the kernel shows an open file.
void link_descriptor(const kernel_tree &tree, int pid, int fd, const std::string &target)
{
    const std::string folder = tree.path("proc/" + std::to_string(pid) + "/fd");
    std::filesystem::create_directories(folder);
    std::filesystem::create_symlink(target, folder + "/" + std::to_string(fd));
}

// The census over the same tree without its fd/ folders reads every fdinfo file.
std::vector<census_row> rows_reading_every_fdinfo(const kernel_tree &tree)
{
    for (const auto &process : std::filesystem::directory_iterator(tree.proc())) {
        std::filesystem::remove_all(process.path() / "fd");
    }
    client_table table;
    scan_clients(table, tree.proc().c_str());
    return rows_of(table);
}

TEST_F(census_test, reads_every_fdinfo_file_where_fd_cannot_be_listed_or_its_entries_stat_ed)
{
    tree.add_process(100, "no-fd-folder", 100, 0);
    tree.add_fdinfo(100, 0, "pos:\t0\nflags:\t02\n");
    tree.add_v3d_client(100, 3, 81, 10, 0, 1);
    tree.add_process(200, "fd-is-a-file", 0, 50);
    tree.write("proc/200/fd", "not a folder\n");
    tree.add_v3d_client(200, 3, 82, 20, 0, 2);
    tree.add_process(300, "unstatable", 300, 100);
    link_descriptor(tree, 300, 3, "3"); // a loop: ELOOP
    tree.add_v3d_client(300, 3, 83, 30, 0, 3);
    link_descriptor(tree, 300, 4, tree.path("proc/300/comm/x")); // ENOTDIR
    tree.add_v3d_client(300, 4, 84, 40, 4, 0);
    link_descriptor(tree, 300, 5, "pipe:[4711]"); // names nothing: a closed descriptor
    tree.add_fdinfo(300, 5, "pos:\t0\nflags:\t02000000\nmnt_id:\t15\nino:\t4711\n");

    ASSERT_EQ(scan(), 4);
    const std::vector<census_row> expected = {
        {81, 100, "no-fd-folder", 10, 0, 1, 1.0},
        {82, 200, "fd-is-a-file", 20, 0, 2, 0.5},
        {83, 300, "unstatable", 30, 0, 3, 4.0},
        {84, 300, "unstatable", 40, 4, 0, 4.0},
    };
    EXPECT_EQ(rows_of(table), expected);
    EXPECT_EQ(rows_reading_every_fdinfo(tree), expected);
}

TEST_F(census_test, reads_the_files_of_a_live_thread_when_the_main_thread_has_exited)
{
    // As the kernel shows such a process: fd/ and fdinfo/ list nothing, and
    // task/ holds the exited main thread and a live one, whose fd/ and
    // fdinfo/ list the files. The link loops, so its fdinfo text decides.
    tree.add_process(100, "worker", 250, 50);
    std::filesystem::create_directories(tree.path("proc/100/fd"));
    std::filesystem::create_directories(tree.path("proc/100/task/100/fd"));
    std::filesystem::create_directories(tree.path("proc/100/task/100/fdinfo"));
    std::filesystem::create_directories(tree.path("proc/100/task/104/fd"));
    std::filesystem::create_symlink("5", tree.path("proc/100/task/104/fd/5"));
    tree.write("proc/100/task/104/fdinfo/5", kernel_tree::v3d_fdinfo(81, 500, 0, 20));
    struct stat task {};
    ASSERT_EQ(::stat(tree.path("proc/100/task").c_str(), &task), 0);
    if (task.st_nlink != 4) {
        GTEST_SKIP() << "the file system under the tree does not count a folder's subfolders in its links";
    }

    ASSERT_EQ(scan(), 1);
    EXPECT_EQ(rows_of(table), (std::vector<census_row>{{81, 100, "worker", 500, 0, 20, 3.0}}))
        << "under the process's pid, name and CPU time";

    // The samples between censuses read that thread's file again.
    held_clients held;
    hold_clients(held, table, tree.proc().c_str(), tree.set_gpu_stats(1).c_str());
    tree.rewrite_in_place("proc/100/task/104/fdinfo/5", kernel_tree::v3d_fdinfo(81, 900, 0, 20));
    static client_table sampled;
    gpu_counters counters;
    ASSERT_EQ(sample_held_clients(held, sampled, counters), 1);
    EXPECT_EQ(sampled.records[0].engine[ENGINE_RENDER], 900);
}

bool device_nodes_required()
{
    const char *required = std::getenv("V3DWATCH_REQUIRE_NAMESPACES");
    return required != nullptr && std::strcmp(required, "1") == 0;
}

// Links fd/<fd> to a new character device node major:minor; false without
// the privilege to make one (CAP_MKNOD).
bool link_character_device(const kernel_tree &tree, int pid, int fd, unsigned major, unsigned minor)
{
    std::filesystem::create_directories(tree.path("dev"));
    const std::string node = tree.path("dev/char-" + std::to_string(major) + ":" + std::to_string(minor));
    if (::mknod(node.c_str(), S_IFCHR | 0600, makedev(major, minor)) != 0 && errno != EEXIST) {
        return false;
    }
    link_descriptor(tree, pid, fd, node);
    return true;
}

void make_socket_file(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    ::close(fd);
    ASSERT_EQ(bound, 0) << std::strerror(errno);
}

TEST_F(census_test, reads_only_the_drm_character_devices_among_fd_and_finds_what_reading_every_file_finds)
{
    tree.add_process(100, "game", 200, 0);
    if (!link_character_device(tree, 100, 0, 1, 3)) {
        if (device_nodes_required()) {
            FAIL() << "device nodes are required here but cannot be made: " << std::strerror(errno);
        }
        GTEST_SKIP() << "making device nodes needs root (CAP_MKNOD)";
    }
    const std::string other = "pos:\t0\nflags:\t02\nmnt_id:\t25\nino:\t7\n";
    tree.add_fdinfo(100, 0, other);
    tree.write("files/regular", "text\n");
    link_descriptor(tree, 100, 1, tree.path("files/regular"));
    tree.add_fdinfo(100, 1, other);
    ASSERT_EQ(::mkfifo(tree.path("files/fifo").c_str(), 0600), 0);
    link_descriptor(tree, 100, 2, tree.path("files/fifo"));
    tree.add_fdinfo(100, 2, other);
    make_socket_file(tree.path("files/socket"));
    link_descriptor(tree, 100, 3, tree.path("files/socket"));
    tree.add_fdinfo(100, 3, other);
    ASSERT_TRUE(link_character_device(tree, 100, 4, 226, 128));
    tree.add_v3d_client(100, 4, 81, 500, 0, 20);
    ASSERT_TRUE(link_character_device(tree, 100, 5, 226, 0));
    tree.add_fdinfo(100, 5, "drm-driver:\ti915\ndrm-client-id:\t90\ndrm-engine-render: \t5 ns\n");
    ASSERT_TRUE(link_character_device(tree, 100, 6, 226, 129));
    tree.add_v3d_client(100, 6, 82, 0, 7, 0);
    tree.add_process(200, "compositor", 0, 100);
    ASSERT_TRUE(link_character_device(tree, 200, 3, 226, 128));
    tree.add_v3d_client(200, 3, 83, 9, 0, 0);
    ASSERT_TRUE(link_character_device(tree, 200, 4, 10, 226));
    tree.add_fdinfo(200, 4, other);

    const std::vector<census_row> expected = {
        {81, 100, "game", 500, 0, 20, 2.0},
        {82, 100, "game", 0, 7, 0, 2.0},
        {83, 200, "compositor", 9, 0, 0, 1.0},
    };
    ASSERT_EQ(scan(), 3);
    EXPECT_EQ(rows_of(table), expected);

    // The fdinfo file of anything else, or of a descriptor that has closed, is
    // not read, whatever it says.
    tree.add_process(300, "unread");
    link_descriptor(tree, 300, 3, tree.path("files/regular"));
    tree.add_v3d_client(300, 3, 84, 1, 1, 1);
    ASSERT_TRUE(link_character_device(tree, 300, 4, 1, 3));
    tree.add_v3d_client(300, 4, 85, 1, 1, 1);
    link_descriptor(tree, 300, 5, tree.path("dev/closed"));
    tree.add_v3d_client(300, 5, 86, 1, 1, 1);
    scan();
    EXPECT_EQ(rows_of(table), expected);
    tree.remove("proc/300");

    EXPECT_EQ(rows_reading_every_fdinfo(tree), expected);
}

TEST_F(census_test, finds_nothing_without_a_proc_directory)
{
    table.count = 5;
    EXPECT_EQ(scan_clients(table, (tree.root() + "/missing").c_str()), 0);
    EXPECT_EQ(table.count, 0);
}

} // namespace
