// Runs the real v3dwatch over a fake kernel and talks to it through pipes.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/kernel_tree.hpp"

// Skips the test, with the reason, where what it needs is missing here; fails
// instead where V3DWATCH_REQUIRE_NAMESPACES=1 says everything must be there (CI
// runs as root).
#define REQUIRE_HERE(available, reason)                                                                               \
    do {                                                                                                              \
        if (!(available)) {                                                                                           \
            if (namespaces_required()) {                                                                              \
                FAIL() << (reason) << ", and this run requires it";                                                   \
            }                                                                                                         \
            GTEST_SKIP() << (reason);                                                                                 \
        }                                                                                                             \
    } while (false)

#define REQUIRE_NAMESPACES()                                                                                          \
    REQUIRE_HERE(namespaces_available(), "no private mount namespace can be made here (needs root or user namespaces)")

bool namespaces_available();
bool namespaces_required();

// What the program inherits from its parent besides its outputs.
struct inherited_state {
    std::vector<int> ignored_signals{};
    rlim_t file_size_limit = RLIM_INFINITY;
    bool output_non_blocking = false; // O_NONBLOCK set on standard output's open file
};

// v3dwatch started with `arguments` over `tree`; its standard output and error
// are pipes unless `standard_output` names a file to write to instead. It
// starts with SIGPIPE at its default action unless `broken_pipe_ignored`.
class program_run {
public:
    program_run(const kernel_tree &tree, const std::vector<std::string> &arguments,
                const std::string &standard_output = "", bool broken_pipe_ignored = false,
                const inherited_state &inherited = {});
    ~program_run();
    program_run(const program_run &) = delete;
    program_run &operator=(const program_run &) = delete;

    // Reads whole lines of standard output until `count` have come (or the
    // stream ends, or the time is up); returns all lines read so far.
    const std::vector<std::string> &read_lines(std::size_t count, std::chrono::seconds limit = std::chrono::seconds(15));
    // Reads standard output to its end.
    const std::vector<std::string> &read_all(std::chrono::seconds limit = std::chrono::seconds(15));
    std::string read_errors(std::chrono::seconds limit = std::chrono::seconds(15));
    void close_output();
    void signal(int number) const;
    // The exit status, or -1 when it did not end in time (it is then killed).
    int wait(std::chrono::seconds limit = std::chrono::seconds(15));
    [[nodiscard]] bool output_ended() const { return output_ended_; }
    // What came after the last newline read.
    [[nodiscard]] const std::string &unfinished_line() const { return pending_; }
    [[nodiscard]] pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int output_ = -1;
    int errors_ = -1;
    bool output_ended_ = false;
    std::string pending_;
    std::vector<std::string> lines_;
};

// Serves a FIFO with one text per open, so that a reader that opens it once
// per sample sees a known text in each sample. Before the text of sample k
// goes out, `prepare(k)` may change the rest of the tree: the program is then
// waiting on this FIFO, before its census. The last text is served again and
// again until the server stops.
class fifo_server {
public:
    fifo_server(std::string path, std::vector<std::string> texts, std::function<void(std::size_t)> prepare = {});
    ~fifo_server();
    fifo_server(const fifo_server &) = delete;
    fifo_server &operator=(const fifo_server &) = delete;
    [[nodiscard]] std::size_t served() const { return served_.load(); }
    // Waits until `count` texts have gone out; false when the time is up.
    bool wait_served(std::size_t count, std::chrono::seconds limit = std::chrono::seconds(15)) const;

private:
    void serve();
    std::string path_;
    std::vector<std::string> texts_;
    std::function<void(std::size_t)> prepare_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> served_{0};
    std::thread thread_;
};

std::vector<std::string> split_csv_fields(const std::string &line);

// The order the census meets processes in: the order the folder lists them.
std::vector<int> listing_order(const std::string &proc);
