#include "simulated_conditions.hpp"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t PATH_SIZE = 4096;
constexpr double PI = 3.14159265358979323846;
constexpr const char *CLOCK = "sys/kernel/debug/clk/fw-clk-v3d";
constexpr const char *POWER = "sys/class/drm/card0/device/power";
constexpr const char *ZONE = "sys/class/thermal/thermal_zone0";
constexpr const char *HWMON = "sys/class/hwmon/hwmon0";
constexpr const char *POLICY = "sys/devices/system/cpu/cpufreq/policy0";
constexpr double THROTTLE_CELSIUS = 80.0;
constexpr double AUTOSUSPEND_MS = 50.0; // the driver's autosuspend delay

bool path_of(std::array<char, PATH_SIZE> &path, const char *tree, const char *folder, const char *file)
{
    const char *const slash = file[0] != '\0' ? "/" : "";
    const int length = std::snprintf(path.data(), path.size(), "%s/%s%s%s", tree, folder, slash, file);
    return length > 0 && static_cast<std::size_t>(length) < path.size();
}

// Every folder of `folder` below the tree, one after the other.
bool make_folders(const char *tree, const char *folder)
{
    std::array<char, PATH_SIZE> path{};
    if (!path_of(path, tree, folder, "")) {
        return false;
    }
    for (char *slash = std::strchr(path.data() + std::strlen(tree) + 1, '/');; slash = std::strchr(slash + 1, '/')) {
        if (slash != nullptr) {
            *slash = '\0';
        }
        if (::mkdir(path.data(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
        if (slash == nullptr) {
            return true;
        }
        *slash = '/';
    }
}

// One write at offset 0, then the length cut to the text's: a reader holding
// the file open reads the new text, as sysfs and debugfs give it.
bool write_text(const char *tree, const char *folder, const char *file, const char *text)
{
    std::array<char, PATH_SIZE> path{};
    const auto length = static_cast<ssize_t>(std::strlen(text));
    if (!path_of(path, tree, folder, file)) {
        return false;
    }
    const int fd = ::open(path.data(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const bool written = ::pwrite(fd, text, static_cast<std::size_t>(length), 0) == length &&
                         ::ftruncate(fd, length) == 0;
    return ::close(fd) == 0 && written;
}

bool write_value(const char *tree, const char *folder, const char *file, long long value)
{
    std::array<char, 32> text{};
    return std::snprintf(text.data(), text.size(), "%lld\n", value) > 0 && write_text(tree, folder, file, text.data());
}

// Cool at the start, above 80 °C for about 12 s of every 64 s.
double temperature_celsius(double seconds)
{
    return 66.0 - 17.0 * std::cos(2.0 * PI * seconds / 64.0);
}

} // namespace

bool lay_out_conditions(const char *tree)
{
    return make_folders(tree, CLOCK) && make_folders(tree, "sys/kernel/debug/clk/fw-clk-arm") &&
           make_folders(tree, POWER) && make_folders(tree, ZONE) && make_folders(tree, HWMON) &&
           make_folders(tree, POLICY) && write_value(tree, CLOCK, "clk_max_rate", 960'000'000) &&
           write_value(tree, CLOCK, "clk_min_rate", 500'000'000) &&
           write_value(tree, "sys/kernel/debug/clk/fw-clk-arm", "clk_rate", 2'400'000'000) &&
           write_value(tree, "sys/kernel/debug/clk/fw-clk-arm", "clk_enable_count", 1) &&
           write_text(tree, ZONE, "type", "cpu-thermal\n") && write_text(tree, ZONE, "policy", "step_wise\n") &&
           write_text(tree, HWMON, "name", "rpi_volt\n");
}

bool advance_conditions(const char *tree, simulated_conditions &state, double seconds, double step_ms, bool gpu_busy)
{
    state.idle_ms = gpu_busy ? 0.0 : state.idle_ms + step_ms;
    state.suspended = state.idle_ms > AUTOSUSPEND_MS;
    (state.suspended ? state.suspended_ms : state.active_ms) += step_ms;
    const double celsius = temperature_celsius(seconds);
    const bool hot = celsius > THROTTLE_CELSIUS;
    // The supply sags for 2 s of every 37.
    const bool sagging = std::fmod(seconds, 37.0) >= 30.0 && std::fmod(seconds, 37.0) < 32.0;
    return write_value(tree, CLOCK, "clk_enable_count", state.suspended ? 0 : 1) &&
           write_value(tree, CLOCK, "clk_rate", hot ? 500'000'000 : 960'000'000) &&
           write_text(tree, POWER, "runtime_status", state.suspended ? "suspended\n" : "active\n") &&
           write_value(tree, POWER, "runtime_active_time", std::llround(state.active_ms)) &&
           write_value(tree, POWER, "runtime_suspended_time", std::llround(state.suspended_ms)) &&
           write_value(tree, ZONE, "temp", std::llround(celsius * 1000.0)) &&
           write_value(tree, HWMON, "in0_lcrit_alarm", sagging ? 1 : 0) &&
           write_value(tree, POLICY, "scaling_cur_freq", hot ? 1'800'000 : 2'400'000);
}
