#include "sampling/gpu_conditions.hpp"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::size_t CONDITION_PATH_SIZE = 512;
using condition_path = std::array<char, CONDITION_PATH_SIZE>;

// The clock of these boards' GPU (the firmware's); other boards name theirs
// with a suffix "v3d".
constexpr std::string_view GPU_CLOCK_NAME = "fw-clk-v3d";
constexpr std::string_view GPU_CLOCK_SUFFIX = "v3d";
// The SoC's sensor: these boards have no sensor of the GPU's own.
constexpr std::string_view SOC_ZONE_TYPE = "cpu-thermal";

int open_path(const condition_path &path)
{
    return ::open(path.data(), TEXT_FILE_FLAGS);
}

// "<folder>/<entry>/<file>" (or "<folder>/<file>" without an entry); false
// when it does not fit.
bool join_path(condition_path &path, const char *folder, std::string_view entry, const char *file)
{
    const int length =
        entry.empty()
            ? std::snprintf(path.data(), path.size(), "%s/%s", folder, file)
            : std::snprintf(path.data(), path.size(), "%s/%.*s/%s", folder, static_cast<int>(entry.size()),
                            entry.data(), file);
    return length > 0 && static_cast<std::size_t>(length) < path.size();
}

int open_below(const char *folder, std::string_view entry, const char *file)
{
    condition_path path;
    return join_path(path, folder, entry, file) ? open_path(path) : -1;
}

// The text of a held file, read again from offset 0; empty when unreadable.
std::string_view read_again(int fd, std::span<char> buffer)
{
    const ssize_t got = fd >= 0 ? ::pread(fd, buffer.data(), buffer.size() - 1, 0) : -1;
    if (got <= 0) {
        return {};
    }
    buffer[static_cast<std::size_t>(got)] = '\0';
    return {buffer.data(), static_cast<std::size_t>(got)};
}

// A held file's one decimal number (signed); false when it has none.
bool read_number(int fd, std::int64_t &value)
{
    std::array<char, 32> buffer;
    bool has_digits = false;
    value = parse_decimal(read_again(fd, buffer), &has_digits);
    return has_digits;
}

// Calls on_entry with each entry's name of `folder` that starts with `prefix`.
template <typename entry_visitor>
void list_folder(const char *folder, std::string_view prefix, entry_visitor &&on_entry)
{
    const file_descriptor directory(::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    directory_listing listing;
    listing.fd = directory.fd;
    std::string_view name;
    while (directory.is_open() && next_directory_entry(listing, name)) {
        if (starts_with_text(name, prefix)) {
            on_entry(name);
        }
    }
}

void open_gpu_clock(condition_files &files, const char *clock_root)
{
    std::array<char, 64> chosen{};
    list_folder(clock_root, "", [&chosen](std::string_view name) {
        const bool exact = name == GPU_CLOCK_NAME;
        const bool suffixed = name.size() >= GPU_CLOCK_SUFFIX.size() && name.size() < chosen.size() &&
                              text_part(name, name.size() - GPU_CLOCK_SUFFIX.size()) == GPU_CLOCK_SUFFIX;
        if (exact || (suffixed && chosen[0] == '\0')) {
            std::memcpy(chosen.data(), name.data(), name.size());
            chosen[name.size()] = '\0';
        }
    });
    if (chosen[0] == '\0') {
        return;
    }
    files.clock_enable_count.reset(open_below(clock_root, chosen.data(), "clk_enable_count"));
    files.clock_rate.reset(open_below(clock_root, chosen.data(), "clk_rate"));
    const file_descriptor maximum(open_below(clock_root, chosen.data(), "clk_max_rate"));
    if (std::int64_t hz = 0; read_number(maximum.fd, hz) && hz > 0) {
        files.clock_max_hz = hz;
    }
}

// The power/ folder beside the statistics file (the DRM device's).
void open_power_files(condition_files &files, const char *stats_file)
{
    const std::string_view stats(stats_file != nullptr ? stats_file : "");
    const std::size_t slash = stats.rfind('/');
    if (slash == std::string_view::npos) {
        return;
    }
    condition_path folder{};
    if (slash + sizeof "/power" > folder.size()) {
        return;
    }
    std::memcpy(folder.data(), stats.data(), slash);
    std::memcpy(folder.data() + slash, "/power", sizeof "/power");
    files.power_status.reset(open_below(folder.data(), "", "runtime_status"));
    files.active_time.reset(open_below(folder.data(), "", "runtime_active_time"));
    files.suspended_time.reset(open_below(folder.data(), "", "runtime_suspended_time"));
}

// The zone of type cpu-thermal, else the one of the lowest number.
void open_temperature(condition_files &files, const char *thermal_root)
{
    constexpr std::string_view ZONE = "thermal_zone";
    std::int64_t first = -1;
    std::int64_t soc = -1;
    list_folder(thermal_root, ZONE, [&](std::string_view name) {
        bool has_digits = false;
        const std::int64_t number = parse_decimal(text_part(name, ZONE.size()), &has_digits);
        if (!has_digits || number < 0) {
            return;
        }
        std::array<char, 64> type{};
        const file_descriptor type_file(open_below(thermal_root, name, "type"));
        const std::string_view text = read_again(type_file.fd, type);
        if (text_part(text, 0, word_length(text)) == SOC_ZONE_TYPE && (soc < 0 || number < soc)) {
            soc = number;
        }
        if (first < 0 || number < first) {
            first = number;
        }
    });
    const std::int64_t zone = soc >= 0 ? soc : first;
    if (zone >= 0) {
        std::array<char, 32> entry{};
        const int length = std::snprintf(entry.data(), entry.size(), "thermal_zone%lld", static_cast<long long>(zone));
        const std::string_view name(entry.data(), static_cast<std::size_t>(std::max(length, 0)));
        files.temperature.reset(open_below(thermal_root, name, "temp"));
    }
}

// Every held descriptor of `group` that opens, from the start.
template <std::size_t COUNT>
void open_each(std::array<file_descriptor, COUNT> &group, const char *folder, std::string_view prefix,
               const char *file)
{
    std::size_t count = 0;
    list_folder(folder, prefix, [&](std::string_view name) {
        if (count < group.size()) {
            group[count].reset(open_below(folder, name, file));
            count += group[count].is_open() ? 1 : 0;
        }
    });
}

} // namespace

void close_condition_files(condition_files &files)
{
    files.clock_enable_count.reset();
    files.clock_rate.reset();
    files.clock_max_hz = 0;
    files.power_status.reset();
    files.active_time.reset();
    files.suspended_time.reset();
    files.temperature.reset();
    for (file_descriptor &alarm : files.voltage_alarms) {
        alarm.reset();
    }
    for (file_descriptor &frequency : files.cpu_frequencies) {
        frequency.reset();
    }
}

void open_condition_files(condition_files &files, const condition_paths &paths, const char *stats_file)
{
    close_condition_files(files);
    open_gpu_clock(files, paths.clock_root);
    open_power_files(files, stats_file);
    open_temperature(files, paths.thermal_root);
    open_each(files.voltage_alarms, paths.hwmon_root, "hwmon", "in0_lcrit_alarm");
    open_each(files.cpu_frequencies, paths.cpufreq_root, "policy", "scaling_cur_freq");
}

void read_conditions(const condition_files &files, gpu_conditions &into)
{
    into = gpu_conditions{};
    std::int64_t value = 0;
    into.clock_max_hz = files.clock_max_hz;
    into.clock_known = read_number(files.clock_enable_count.fd, value);
    into.clock_on = into.clock_known && value > 0;
    // A blocking call into the firmware: never while the clock is off.
    if (into.clock_on && read_number(files.clock_rate.fd, value) && value > 0) {
        into.clock_hz = value;
    }
    std::array<char, POWER_WORD_SIZE> word;
    const std::string_view status = read_again(files.power_status.fd, word);
    // An unread file's text has no bytes, not even an address to copy from.
    const std::string_view power_word = text_part(status, 0, std::min(word_length(status), word.size() - 1));
    if (!power_word.empty()) {
        std::memcpy(into.power_status.data(), power_word.data(), power_word.size());
    }
    into.power_times_known = read_number(files.active_time.fd, into.active_ms) &&
                             read_number(files.suspended_time.fd, into.suspended_ms);
    into.temperature_known = read_number(files.temperature.fd, into.temperature_millicelsius);
    for (const file_descriptor &alarm : files.voltage_alarms) {
        if (read_number(alarm.fd, value)) {
            into.under_voltage_known = true;
            into.under_voltage = into.under_voltage || value != 0;
        }
    }
    for (const file_descriptor &frequency : files.cpu_frequencies) {
        if (read_number(frequency.fd, value) && value > into.cpu_frequency_khz) {
            into.cpu_frequency_khz = value;
        }
    }
}
