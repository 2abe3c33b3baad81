// The report of a followed command's run without a stream: the command owns
// the terminal, and the summary at the end is the whole output.
#include "report/report.hpp"

namespace {

int write_nothing()
{
    return 0;
}

int take_frame(const frame_summary &)
{
    return 0;
}

int take_row(const utilisation_row &, double)
{
    return 0;
}

} // namespace

const report_operations SILENT_REPORT = {
    write_nothing, take_frame, take_row, write_nothing, wait_one_interval, write_nothing, "", false,
};
