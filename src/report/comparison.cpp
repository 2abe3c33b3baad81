// Two summaries' figures side by side, each change worked out once.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "report/comparison.hpp"

const std::array<figure_rule, FIGURE_COUNT> FIGURE_RULES = {{
    {figure_group::queue, "busy_mean_percent", "mean %", 1.0, 1},
    {figure_group::queue, "busy_p95_percent", "p95 %", 1.0, 1},
    {figure_group::queue, "busy_max_percent", "max %", 1.0, 1},
    {figure_group::queue, "busy_seconds", "busy s", 1.0, 3},
    {figure_group::queue, "jobs", "jobs", 1.0, 0},
    {figure_group::queue, "average_job_ms", "job ms", 1.0, 3},
    {figure_group::queue, "gpu_busy_mean_percent", "GPU mean %", 1.0, 1},
    {figure_group::run, "wall_seconds", "wall s", 1.0, 3},
    {figure_group::cpu, "user_seconds", "CPU user s", 1.0, 2},
    {figure_group::cpu, "system_seconds", "CPU system s", 1.0, 2},
    {figure_group::cpu, "mean_percent", "CPU mean %", 1.0, 1},
    {figure_group::client, "peak_total_bytes", "peak total KiB", 1.0 / 1024.0, 0},
    {figure_group::client, "peak_resident_bytes", "peak resident KiB", 1.0 / 1024.0, 0},
    {figure_group::conditions, "clock_mean_hz", "clock mean MHz", 1e-6, 0},
    {figure_group::conditions, "clock_min_hz", "clock min MHz", 1e-6, 0},
    {figure_group::conditions, "powered_percent", "powered %", 1.0, 1},
    {figure_group::conditions, "temperature_max_celsius", "SoC max C", 1.0, 1},
    {figure_group::conditions, "cpu_frequency_max_hz", "CPU max GHz", 1e-9, 1},
    {figure_group::conditions, "under_voltage_seen", "under-voltage", 1.0, -1},
    {figure_group::run, "unreadable_processes", "processes not readable", 1.0, 0},
}};

namespace {

// The rows of one object's figures of `group`, where either run gives them.
void add_rows(comparison &into, figure_group group, const summary_figures *a, const summary_figures *b, int engine,
              const char *client)
{
    for (std::size_t index = 0; index < FIGURE_RULES.size(); ++index) {
        const figure_rule &rule = FIGURE_RULES[index];
        const bool a_known = a != nullptr && a->known[index];
        const bool b_known = b != nullptr && b->known[index];
        if (rule.group != group || (!a_known && !b_known) || into.row_count == COMPARISON_ROWS) {
            continue;
        }
        comparison_row &row = into.rows[static_cast<std::size_t>(into.row_count++)];
        row = {};
        row.rule = &rule;
        row.engine = engine;
        if (client != nullptr) {
            std::strncpy(row.client.data(), client, row.client.size() - 1);
        }
        row.a_known = a_known;
        row.b_known = b_known;
        row.a = a_known ? a->values[index] : 0.0;
        row.b = b_known ? b->values[index] : 0.0;
        if (!a_known || !b_known || rule.decimals < 0) {
            continue; // a flag's change is no number
        }
        row.change = row.b - row.a;
        row.percent_known = row.a != 0.0;
        row.change_percent = row.percent_known ? row.change / std::fabs(row.a) * 100.0 : 0.0;
        row.marked = std::fabs(row.change) > MARKED_SHARE * std::fabs(row.a) &&
                     std::fabs(row.change * rule.shown_scale) > MARKED_POINTS;
    }
}

bool any_known(const summary_figures &figures)
{
    return std::ranges::any_of(figures.known, [](bool known) { return known; });
}

// The client of `names` that is the `nth` (from 0) named `name`; -1 for none.
int nth_named(const recorded_summary &summary, const char *name, int nth)
{
    for (int index = 0; index < summary.client_count; ++index) {
        if (std::strcmp(summary.client_names[static_cast<std::size_t>(index)].data(), name) == 0 && nth-- == 0) {
            return index;
        }
    }
    return -1;
}

// How many clients before `index` have its name.
int rank_of_name(const recorded_summary &summary, int index)
{
    int rank = 0;
    for (int earlier = 0; earlier < index; ++earlier) {
        rank += std::strcmp(summary.client_names[static_cast<std::size_t>(earlier)].data(),
                            summary.client_names[static_cast<std::size_t>(index)].data()) == 0
                    ? 1
                    : 0;
    }
    return rank;
}

void compare_clients(const recorded_summary &a, const recorded_summary &b, comparison &into)
{
    for (int index = 0; index < a.client_count; ++index) {
        const char *name = a.client_names[static_cast<std::size_t>(index)].data();
        const int match = nth_named(b, name, rank_of_name(a, index));
        add_rows(into, figure_group::client, &a.clients[static_cast<std::size_t>(index)],
                 match >= 0 ? &b.clients[static_cast<std::size_t>(match)] : nullptr, -1, name);
    }
    // B's clients that A has no match for.
    for (int index = 0; index < b.client_count; ++index) {
        const char *name = b.client_names[static_cast<std::size_t>(index)].data();
        if (nth_named(a, name, rank_of_name(b, index)) < 0) {
            add_rows(into, figure_group::client, nullptr, &b.clients[static_cast<std::size_t>(index)], -1, name);
        }
    }
}

} // namespace

void compare_summaries(const recorded_summary &a, const recorded_summary &b, comparison &into)
{
    into.row_count = 0;
    // The queues in the queue table's order, the view's.
    for (int engine = 0; engine < ENGINE_COUNT; ++engine) {
        const auto position = static_cast<std::size_t>(engine);
        if (any_known(a.queues[position]) || any_known(b.queues[position])) {
            add_rows(into, figure_group::queue, &a.queues[position], &b.queues[position], engine, nullptr);
        }
    }
    add_rows(into, figure_group::run, &a.run, &b.run, -1, nullptr);
    add_rows(into, figure_group::cpu, &a.cpu, &b.cpu, -1, nullptr);
    compare_clients(a, b, into);
    add_rows(into, figure_group::conditions, &a.conditions, &b.conditions, -1, nullptr);
}
