// Metrics for Prometheus in its text exposition format (0.0.4), for
// node_exporter's textfile collector. Each frame goes whole into a new file
// beside the metrics file, which is then renamed over it, so a reader finds
// either the last file or the new one, never a part. The values are the
// kernel's raw counters, so the baseline sample is a frame too.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <sys/stat.h>
#include <unistd.h>

#include "control/process_state.hpp"
#include "report/metrics_text.hpp"
#include "report/output_state.hpp"
#include "sampling/kernel_text.hpp"

namespace {

constexpr mode_t METRICS_FILE_MODE = 0644;

std::string_view parent_directory(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : text_part(path, 0, slash);
}

std::string_view last_component(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : text_part(path, slash + 1);
}

// The card is the directory above the statistics file's "device" (cardN).
int metrics_open(output_state &state)
{
    state.metrics.card_name = last_component(parent_directory(parent_directory(stats_path)));
    return 0;
}

int metrics_begin_frame(output_state &, const frame &)
{
    return 0;
}

// The rows are written at the frame's end, with their families: each
// family's samples must come together.
int metrics_row(output_state &, const utilisation_row &, double)
{
    return 0;
}

// The new file lives only in here: it is renamed over the metrics file once
// written whole, and removed on every other way out.
int metrics_end_frame(output_state &state, const frame &whole)
{
    metrics_state &metrics = state.metrics;
    metrics_target &target = metrics.target;
    if (const int failure = resolve_metrics_target(metrics.path.data(), target); failure != 0) {
        return failure;
    }
    auto temporary = target.temporary_pattern; // mkostemp fills in the X's of its own copy
    // mkostemp opens with O_CREAT | O_EXCL, and mode 0600 whatever the umask.
    const file_descriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!file.is_open()) {
        return errno;
    }
    // The collector may run as another user.
    int failure = ::fchmod(file.fd, METRICS_FILE_MODE) == 0 ? 0 : errno;
    if (failure == 0) {
        metrics.output = {};
        metrics.output.fd = file.fd;
        failure = write_metrics(metrics.output, metrics.card_name, whole);
    }
    // Looked at again just before the rename, which replaces whatever is there.
    if (failure == 0) {
        failure = resolve_metrics_target(metrics.path.data(), target);
    }
    if (failure == 0 && ::rename(temporary.data(), target.path.data()) != 0) {
        failure = errno;
    }
    if (failure != 0) {
        ::unlink(temporary.data());
    }
    return failure;
}

int metrics_close(output_state &)
{
    return 0;
}

} // namespace

bool set_metrics_file(output_state &state, const char *path)
{
    const std::string_view name(path);
    if (name.size() >= state.metrics.path.size()) {
        return false;
    }
    std::memcpy(state.metrics.path.data(), name.data(), name.size());
    state.metrics.path[name.size()] = '\0';

    std::size_t length = 0;
    for (const std::string_view part : {METRICS_FAILURE_LEAD, name, std::string_view(": ")}) {
        std::memcpy(state.failure_text.data() + length, part.data(), part.size());
        length += part.size();
    }
    state.failure_text[length] = '\0';
    return true;
}

const report_operations PROMETHEUS_REPORT = {
    metrics_open, metrics_begin_frame, metrics_row, metrics_end_frame, nullptr, metrics_close,
    nullptr, true,
};
