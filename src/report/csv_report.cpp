#include <cerrno>
#include <string_view>

#include <unistd.h>

#include "report/report.hpp"

namespace {

// Room for a name of 63 bytes that are all '"', doubled, in quotes.
constexpr std::size_t QUOTED_NAME_SIZE = 2 * (NAME_SIZE - 1) + 3;

// The errno of a failed write; some streams fail without setting one.
int write_error()
{
    return errno != 0 ? errno : EIO;
}

// RFC 4180: a field holding ',' or '"' goes in double quotes, each '"' doubled.
void quote_name(const char *name, std::array<char, QUOTED_NAME_SIZE> &quoted)
{
    const std::string_view text(name);
    std::size_t length = 0;
    if (text.find_first_of(",\"") == std::string_view::npos) {
        for (const char c : text) {
            quoted[length++] = c;
        }
    } else {
        quoted[length++] = '"';
        for (const char c : text) {
            if (c == '"') {
                quoted[length++] = '"';
            }
            quoted[length++] = c;
        }
        quoted[length++] = '"';
    }
    quoted[length] = '\0';
}

int csv_open()
{
    errno = 0;
    return std::fputs("timestamp,client_id,pid,process,render%,tfu%,bin%,cpu%\n", stdout) < 0 ? write_error() : 0;
}

void csv_begin_frame() {}

int csv_row(const utilisation_row &row, double sample_time)
{
    return write_csv_row(stdout, row, sample_time);
}

int csv_flush()
{
    errno = 0;
    return std::fflush(stdout) != 0 || std::ferror(stdout) != 0 ? write_error() : 0;
}

void csv_wait()
{
    ::sleep(1); // a stop signal cuts it short
}

} // namespace

int write_csv_row(std::FILE *stream, const utilisation_row &row, double sample_time)
{
    std::array<char, QUOTED_NAME_SIZE> name;
    quote_name(row.name.data(), name);
    errno = 0;
    const int written = std::fprintf(stream, "%.3f,%d,%d,%s,%.1f,%.1f,%.1f,%.1f\n", sample_time, row.client_id,
                                     row.pid, name.data(), row.engine[ENGINE_RENDER], row.engine[ENGINE_TFU],
                                     row.engine[ENGINE_BIN], row.cpu);
    return written < 0 ? write_error() : 0;
}

// Closing flushes too, so that a run stopped before its first frame still
// learns whether its header was written.
const report_operations CSV_REPORT = {
    csv_open, csv_begin_frame, csv_row, csv_flush, csv_wait, csv_flush, "Error: cannot write CSV output: ",
};
