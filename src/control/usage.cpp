// The usage text of -h and of an unknown option.
#include "control/options.hpp"

namespace {

constexpr const char *USAGE_TEXT =
    "Usage: %s [options]\n\n"
    "Monitor VideoCore VII GPU block utilisation on Quenzil.\n\n"
    "  -a, --all             Show every queue, client memory and the whole GPU's load\n"
    "  --csv                 Output in CSV format (pipe to file)\n"
    "  --json                Output JSON Lines, one object per sample, with everything\n"
    "  --text                Output the table as plain text, one frame per sample\n"
    "  --prometheus FILE     Write metrics for Prometheus to FILE every interval\n"
    "  -d, --interval S      Seconds between samples, 0.01 to 3600 (default 1)\n"
    "  --census S            Seconds between searches for clients, 0.1 to 3600,\n"
    "                        no less than the interval (default 1 or the interval)\n"
    "  -n, --count N         Stop after N samples\n"
    "  -p, --pid PID[,PID]   Follow only these processes and their descendants\n"
    "  -o, --output FILE     Write the CSV or JSON stream to FILE\n"
    "  --summary             Write a summary of the run to standard error at the end\n"
    "  --summary-json FILE   Write the summary as JSON to FILE as well\n"
    "  --wall-clock          CSV and JSON timestamps in Unix time\n"
    "  --sort COLUMN         Start the view sorted by render, tfu, bin or cpu;\n"
    "                        with -a also csd, cache_clean, cpu_job, total, resident\n"
    "  --color WHEN          Colour the view: auto (the -a view), always or never\n"
    "  -- COMMAND [ARG...]   Run COMMAND, follow it and its descendants, then summarise\n"
    "  --replay FILE         Replay a recording that --json wrote (- reads standard input)\n"
    "  --compare A B         Compare two summaries that --summary-json wrote\n"
    "  --version             Show the version\n"
    "  -h, --help            Show this help message\n";

} // namespace

bool print_usage(std::FILE *messages, const char *program)
{
    return std::fprintf(messages, USAGE_TEXT, program) >= 0 && std::fflush(messages) == 0;
}
