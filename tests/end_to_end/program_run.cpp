#include "end_to_end/program_run.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace {

using clock_type = std::chrono::steady_clock;

int milliseconds_left(clock_type::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// In the sanitizer build AddressSanitizer warns at start that it cannot read
// /proc/self/exe, which the fake kernel hides, and, without /proc/self/maps,
// that it cannot tell the stack's bounds when a forked child exits; the
// program never writes these.
std::string without_sanitizer_warnings(const std::string &text)
{
    const std::array<const char *, 4> warnings = {
        "WARNING: reading executable name failed", "ASan is ignoring requested __asan_handle_no_return",
        "False positive error reports may follow", "For details see https://github.com/google/sanitizers/issues/189"};
    std::string kept;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size() - 1) + 1;
        const std::string line = text.substr(start, end - start);
        if (std::none_of(warnings.begin(), warnings.end(),
                         [&line](const char *warning) { return line.find(warning) != std::string::npos; })) {
            kept += line;
        }
        start = end;
    }
    return kept;
}

// Reads what is there within the time left; false at the end of the stream or when time is up.
bool read_some(int fd, std::string &into, clock_type::time_point deadline)
{
    pollfd waiting{fd, POLLIN, 0};
    if (::poll(&waiting, 1, milliseconds_left(deadline)) <= 0) {
        return false;
    }
    char buffer[4096];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) {
        return false;
    }
    into.append(buffer, static_cast<std::size_t>(got));
    return true;
}

} // namespace

bool namespaces_available()
{
    static const bool available = [] {
        kernel_tree tree;
        const pid_t child = ::fork();
        if (child == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDERR_FILENO);
            ::execl(FAKE_KERNEL_RUN, FAKE_KERNEL_RUN, tree.root().c_str(), "/bin/true", static_cast<char *>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }();
    return available;
}

bool namespaces_required()
{
    const char *required = std::getenv("V3DWATCH_REQUIRE_NAMESPACES");
    return required != nullptr && std::strcmp(required, "1") == 0;
}

program_run::program_run(const kernel_tree &tree, const std::vector<std::string> &arguments,
                         const std::string &standard_output, bool broken_pipe_ignored,
                         const inherited_state &inherited)
{
    int output[2];
    int errors[2];
    if (::pipe2(output, O_CLOEXEC) != 0 || ::pipe2(errors, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot make pipes");
    }
    std::vector<std::string> words = {FAKE_KERNEL_RUN, tree.root(), V3DWATCH_BINARY};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        const int target = standard_output.empty() ? output[1] : ::open(standard_output.c_str(), O_WRONLY);
        ::dup2(target, STDOUT_FILENO);
        ::dup2(errors[1], STDERR_FILENO);
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, STDIN_FILENO);
        ::signal(SIGPIPE, broken_pipe_ignored ? SIG_IGN : SIG_DFL);
        for (const int number : inherited.ignored_signals) {
            ::signal(number, SIG_IGN);
        }
        if (inherited.file_size_limit != RLIM_INFINITY) {
            const rlimit size_limit{inherited.file_size_limit, inherited.file_size_limit};
            ::setrlimit(RLIMIT_FSIZE, &size_limit);
        }
        if (inherited.output_non_blocking) {
            ::fcntl(STDOUT_FILENO, F_SETFL, ::fcntl(STDOUT_FILENO, F_GETFL) | O_NONBLOCK);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(output[1]);
    ::close(errors[1]);
    output_ = output[0];
    errors_ = errors[0];
}

program_run::~program_run()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    close_output();
    if (errors_ >= 0) {
        ::close(errors_);
    }
}

const std::vector<std::string> &program_run::read_lines(std::size_t count, std::chrono::seconds limit)
{
    const auto deadline = clock_type::now() + limit;
    while (lines_.size() < count && !output_ended_ && output_ >= 0) {
        if (!read_some(output_, pending_, deadline)) {
            output_ended_ = milliseconds_left(deadline) > 0;
            if (!output_ended_) {
                break;
            }
        }
        std::size_t newline = 0;
        while ((newline = pending_.find('\n')) != std::string::npos) {
            lines_.push_back(pending_.substr(0, newline));
            pending_.erase(0, newline + 1);
        }
    }
    return lines_;
}

const std::vector<std::string> &program_run::read_all(std::chrono::seconds limit)
{
    return read_lines(static_cast<std::size_t>(-1), limit);
}

std::string program_run::read_errors(std::chrono::seconds limit)
{
    const auto deadline = clock_type::now() + limit;
    std::string text;
    while (read_some(errors_, text, deadline)) {
    }
    return without_sanitizer_warnings(text);
}

void program_run::close_output()
{
    if (output_ >= 0) {
        ::close(output_);
        output_ = -1;
    }
}

void program_run::signal(int number) const
{
    // The launcher has exec'd v3dwatch, so this pid is the program itself.
    ::kill(pid_, number);
}

int program_run::wait(std::chrono::seconds limit)
{
    const auto deadline = clock_type::now() + limit;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (clock_type::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

fifo_server::fifo_server(std::string path, std::vector<std::string> texts, std::function<void(std::size_t)> prepare)
    : path_(std::move(path)), texts_(std::move(texts)), prepare_(std::move(prepare))
{
    // A reader that gives up early must not end the test process.
    ::signal(SIGPIPE, SIG_IGN);
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
    ::unlink(path_.c_str());
    if (::mkfifo(path_.c_str(), 0644) != 0) {
        throw std::runtime_error("cannot make a FIFO at " + path_);
    }
    thread_ = std::thread([this] { serve(); });
}

fifo_server::~fifo_server()
{
    stopping_ = true;
    thread_.join();
}

bool fifo_server::wait_served(std::size_t count, std::chrono::seconds limit) const
{
    const auto deadline = clock_type::now() + limit;
    while (served_.load() < count) {
        if (clock_type::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void fifo_server::serve()
{
    while (!stopping_) {
        // Opening without blocking succeeds only once a reader waits on the FIFO.
        const int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        const std::size_t sample = served_.load();
        if (prepare_ && sample < texts_.size()) {
            prepare_(sample);
        }
        const std::string &text = texts_[std::min(sample, texts_.size() - 1)];
        // One write of less than PIPE_BUF bytes reaches the reader whole.
        const ssize_t written = ::write(fd, text.data(), text.size());
        ::close(fd);
        if (written == static_cast<ssize_t>(text.size())) {
            served_.fetch_add(1);
        }
        // The reader is done with this open well before it samples again, a second later.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

std::vector<std::string> split_csv_fields(const std::string &line)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t index = 0; index < line.size(); ++index) {
        const char c = line[index];
        if (quoted) {
            if (c == '"' && index + 1 < line.size() && line[index + 1] == '"') {
                fields.back() += '"';
                ++index;
            } else if (c == '"') {
                quoted = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

std::vector<int> listing_order(const std::string &proc)
{
    std::vector<int> pids;
    DIR *folder = ::opendir(proc.c_str());
    while (const dirent *entry = ::readdir(folder)) {
        if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9') {
            pids.push_back(std::atoi(entry->d_name));
        }
    }
    ::closedir(folder);
    return pids;
}
