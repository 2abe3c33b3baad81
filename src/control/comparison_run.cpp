// --compare A B: reads the two summaries, writes their comparison. Comparing
// is not judging: any difference exits 0.
#include <cerrno>
#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "control/control.hpp"

namespace {

// The whole file into `text`, NUL-terminated; false with the reason.
bool read_summary_file(const char *name, std::array<char, SUMMARY_FILE_SIZE + PARSE_PADDING> &text,
                       std::array<char, SUMMARY_REASON_SIZE> &reason)
{
    const file_descriptor file(::open(name, O_RDONLY | O_CLOEXEC));
    std::size_t length = 0;
    ssize_t count = 1;
    // One byte more than a summary may have, to know a larger file.
    while (file.is_open() && count > 0 && length <= SUMMARY_FILE_SIZE) {
        count = ::read(file.fd, text.data() + length, SUMMARY_FILE_SIZE + 1 - length);
        if (count < 0 && errno == EINTR) {
            count = 1;
            continue;
        }
        length += count > 0 ? static_cast<std::size_t>(count) : 0;
    }
    if (!file.is_open() || count < 0) {
        (void)std::snprintf(reason.data(), reason.size(), "%s", std::strerror(errno));
        return false;
    }
    if (length > SUMMARY_FILE_SIZE) {
        (void)std::snprintf(reason.data(), reason.size(), "larger than a summary, %zu bytes at most", SUMMARY_FILE_SIZE);
        return false;
    }
    std::fill(text.begin() + static_cast<std::ptrdiff_t>(length), text.end(), '\0');
    return true;
}

} // namespace

int run_comparison(comparison_state &comparing, const run_settings &settings)
{
    std::array<char, SUMMARY_REASON_SIZE> reason{};
    for (std::size_t index = 0; index < comparing.summaries.size(); ++index) {
        const char *name = settings.compare_files[index];
        if (!read_summary_file(name, comparing.text, reason) ||
            !parse_summary(comparing.text.data(), comparing.summaries[index], comparing.parser_memory, reason)) {
            (void)std::fprintf(stderr, "Error: %s: %s\n", name, reason.data());
            return 1;
        }
    }
    compare_summaries(comparing.summaries[0], comparing.summaries[1], comparing.rows);
    const int failure = (settings.mode == output_mode::json ? write_comparison_json : write_comparison_text)(
        comparing.rows, settings.compare_files[0], settings.compare_files[1], STDOUT_FILENO);
    if (failure != 0) {
        (void)std::fprintf(stderr, "Error: cannot write the comparison: %s\n",
                           std::strerror(failure > 0 ? failure : EINTR));
        return 1;
    }
    return 0;
}
