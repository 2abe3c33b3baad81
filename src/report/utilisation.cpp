#include "report/report.hpp"

namespace {

// The first valid record of `table` that `wanted` accepts, or none.
template <typename record_test>
const client_sample *find_first(const client_table &table, record_test wanted)
{
    for (int index = 0; index < table.count; ++index) {
        const client_sample &record = table.records[static_cast<std::size_t>(index)];
        if (wanted(record)) {
            return &record;
        }
    }
    return nullptr;
}

} // namespace

utilisation_row compute_utilisation(const client_sample &current, const client_table &previous,
                                    std::int64_t reference_delta, double elapsed)
{
    utilisation_row row;
    row.client_id = current.client_id;
    row.pid = current.pid;
    row.name = current.name;

    // A new client is measured from zero: all its busy time is new.
    const client_sample *match =
        find_first(previous, [&current](const client_sample &record) { return record.client_id == current.client_id; });
    for (std::size_t engine = 0; engine < row.engine.size(); ++engine) {
        const std::int64_t before = match != nullptr ? match->engine[engine] : 0;
        std::int64_t delta = 0;
        // A difference that overflows is no measurable gain.
        if (!__builtin_sub_overflow(current.engine[engine], before, &delta) && delta > 0 && reference_delta > 0) {
            row.engine[engine] = static_cast<double>(delta) / static_cast<double>(reference_delta) * 100.0;
        }
    }

    // CPU time is only comparable with the same process's earlier reading; a
    // process seen for the first time is measured from the next pass on.
    const client_sample *base =
        match != nullptr && match->pid == current.pid
            ? match
            : find_first(previous, [&current](const client_sample &record) { return record.pid == current.pid; });
    if (base != nullptr && elapsed > 0.0) {
        const double gained = current.cpu_seconds - base->cpu_seconds;
        if (gained > 0.0) {
            row.cpu = gained / elapsed * 100.0;
        }
    }
    return row;
}
