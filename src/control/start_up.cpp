#include <cstring>
#include <string_view>

#include <glob.h>
#include <unistd.h>

#include "control/control.hpp"

namespace {

constexpr const char *USAGE_TEXT = "Usage: %s [options]\n\n"
                                   "Monitor VideoCore VII GPU block utilisation on Quenzil.\n\n"
                                   "  --csv   Output in CSV format (pipe to file)\n"
                                   "  --help  Show this help message\n";

// Used when sysconf cannot say; the common value on Linux.
constexpr std::int64_t DEFAULT_CLOCK_TICKS = 100;

// Releases the glob result on every path.
struct glob_result {
    glob_t paths{};
    glob_result() = default;
    glob_result(const glob_result &) = delete;
    glob_result &operator=(const glob_result &) = delete;
    ~glob_result() { globfree(&paths); }
};

void print_usage(std::FILE *messages, const char *program)
{
    // A message that cannot be written has nowhere better to go; the exit status still tells.
    (void)std::fprintf(messages, USAGE_TEXT, program);
}

// Only this one device is watched, the first in byte order.
bool find_stats_file(const char *pattern)
{
    glob_result found;
    if (glob(pattern, 0, nullptr, &found.paths) != 0 || found.paths.gl_pathc == 0) {
        return false;
    }
    std::strncpy(stats_path, found.paths.gl_pathv[0], STATS_PATH_SIZE - 1);
    stats_path[STATS_PATH_SIZE - 1] = '\0';
    return true;
}

} // namespace

extern "C" void on_stop_signal(int)
{
    stop_requested = 1;
}

start_up_result start_up(int argc, char **argv, std::FILE *messages, const char *stats_pattern)
{
    // A program may be started with no argument at all, not even its name.
    const char *program = argc > 0 && argv[0] != nullptr ? argv[0] : "v3dwatch";
    start_up_result result;
    for (int index = 1; index < argc; ++index) {
        const std::string_view argument(argv[index]);
        if (argument == "--csv") {
            result.mode = output_mode::csv;
        } else if (argument == "--help" || argument == "-h") {
            print_usage(messages, program);
            return {true, 0, result.mode};
        } else {
            (void)std::fprintf(messages, "Unknown option: %s\n", argv[index]);
            print_usage(messages, program);
            return {true, 1, result.mode};
        }
    }

    const long ticks = sysconf(_SC_CLK_TCK);
    clock_ticks = ticks > 0 ? ticks : DEFAULT_CLOCK_TICKS;

    if (!find_stats_file(stats_pattern)) {
        (void)std::fputs("Error: no V3D gpu_stats found\n", messages);
        return {true, 1, result.mode};
    }

    // No SA_RESTART: a stop signal cuts the one-second sleep short.
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return result;
}
