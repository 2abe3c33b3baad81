// The comparison of two summaries as a table, and as one JSON object shaped
// as the summaries are.
#include <cstdio>
#include <cstring>

#include "report/comparison.hpp"

namespace {

constexpr int LABEL_WIDTH = 40;

// A figure in the table's unit, "yes" or "no" for a flag, "-" where unknown.
void shown_value(const figure_rule &rule, bool known, double value, std::array<char, 32> &text)
{
    if (!known) {
        (void)std::snprintf(text.data(), text.size(), "-");
    } else if (rule.decimals < 0) {
        (void)std::snprintf(text.data(), text.size(), "%s", value != 0.0 ? "yes" : "no");
    } else {
        (void)std::snprintf(text.data(), text.size(), "%.*f", rule.decimals, value * rule.shown_scale);
    }
}

void write_text_row(output_buffer &output, const comparison_row &row)
{
    const figure_rule &rule = *row.rule;
    std::array<char, LABEL_WIDTH + NAME_SIZE> label{};
    const char *owner = rule.group == figure_group::queue ? QUEUE_TABLE[static_cast<std::size_t>(row.engine)].heading
                        : row.client[0] != '\0' ? row.client.data()
                                                : "";
    (void)std::snprintf(label.data(), label.size(), "%s%s%s", owner, owner[0] != '\0' ? " " : "", rule.label);
    std::array<char, 32> a{};
    std::array<char, 32> b{};
    std::array<char, 32> change{};
    std::array<char, 32> percent{};
    shown_value(rule, row.a_known, row.a, a);
    shown_value(rule, row.b_known, row.b, b);
    const bool changed = row.a_known && row.b_known && rule.decimals >= 0;
    (void)std::snprintf(change.data(), change.size(), changed ? "%+.*f" : "-", rule.decimals,
                        row.change * rule.shown_scale);
    (void)std::snprintf(percent.data(), percent.size(), changed && row.percent_known ? "%+.1f%%" : "-",
                        row.change_percent);
    append_format(output, "%-*s %12s %12s %12s %10s%s\n", LABEL_WIDTH, label.data(), a.data(), b.data(),
                  change.data(), percent.data(), row.marked ? " *" : "");
}

void append_json_number(output_buffer &output, const figure_rule &rule, bool known, double value)
{
    if (!known) {
        append_text(output, "null");
    } else if (rule.decimals < 0) {
        append_text(output, value != 0.0 ? "true" : "false");
    } else {
        // The summary's own unit and decimals: whole bytes and hertz.
        append_format(output, "%.*f", rule.shown_scale == 1.0 ? rule.decimals : 0, value);
    }
}

void write_json_row(output_buffer &output, const comparison_row &row, bool first)
{
    const figure_rule &rule = *row.rule;
    append_format(output, "%s\"%.*s\":{\"a\":", first ? "" : ",", static_cast<int>(rule.member.size()),
                  rule.member.data());
    append_json_number(output, rule, row.a_known, row.a);
    append_text(output, ",\"b\":");
    append_json_number(output, rule, row.b_known, row.b);
    const bool changed = row.a_known && row.b_known && rule.decimals >= 0;
    append_text(output, ",\"change\":");
    append_json_number(output, rule, changed, row.change);
    if (changed && row.percent_known) {
        append_format(output, ",\"change_percent\":%.1f", row.change_percent);
    } else {
        append_text(output, ",\"change_percent\":null");
    }
    append_format(output, ",\"marked\":%s}", row.marked ? "true" : "false");
}

// Where a row goes in the JSON object: its group and, within it, its queue or client.
bool same_object(const comparison_row &row, const comparison_row &before)
{
    return row.rule->group == before.rule->group && row.engine == before.engine &&
           std::strcmp(row.client.data(), before.client.data()) == 0;
}

// Closes the object of `before` and opens that of `row`, as the summary nests them.
void open_object(output_buffer &output, const comparison_row *before, const comparison_row &row)
{
    constexpr std::array<const char *, 5> GROUP_NAMES = {"queues", nullptr, "cpu", "clients", "conditions"};
    const auto group = static_cast<std::size_t>(row.rule->group);
    const bool group_changed = before == nullptr || before->rule->group != row.rule->group;
    if (before != nullptr && before->rule->group != figure_group::run) {
        append_text(output, before->rule->group == figure_group::queue || before->rule->group == figure_group::client
                                ? "}"
                                : "");
        append_text(output, group_changed ? (before->rule->group == figure_group::client ? "]" : "}") : ",");
    }
    // The run's own figures are members of the whole object.
    if (group_changed && GROUP_NAMES[group] != nullptr) {
        append_format(output, ",\"%s\":%s", GROUP_NAMES[group], row.rule->group == figure_group::client ? "[" : "{");
    }
    if (row.rule->group == figure_group::queue) {
        append_format(output, "\"%s\":{", ENGINE_NAMES[static_cast<std::size_t>(row.engine)]);
    } else if (row.rule->group == figure_group::client) {
        append_text(output, "{\"process\":");
        append_json_string(output, row.client.data());
        append_text(output, ",");
    }
}

} // namespace

int write_comparison_text(const comparison &rows, const char *a_name, const char *b_name, int fd)
{
    output_buffer output;
    output.fd = fd;
    append_format(output, "v3dwatch comparison: A %s, B %s (* a change over 5 %% of A and 0.5)\n", a_name, b_name);
    append_format(output, "%-*s %12s %12s %12s %10s\n", LABEL_WIDTH, "figure", "A", "B", "change", "change %");
    for (int index = 0; index < rows.row_count; ++index) {
        write_text_row(output, rows.rows[static_cast<std::size_t>(index)]);
    }
    return flush_output(output);
}

int write_comparison_json(const comparison &rows, const char *a_name, const char *b_name, int fd)
{
    output_buffer output;
    output.fd = fd;
    append_text(output, "{\"a\":");
    append_json_string(output, a_name);
    append_text(output, ",\"b\":");
    append_json_string(output, b_name);
    const comparison_row *before = nullptr;
    for (int index = 0; index < rows.row_count; ++index) {
        const comparison_row &row = rows.rows[static_cast<std::size_t>(index)];
        const bool same = before != nullptr && same_object(row, *before);
        if (!same) {
            open_object(output, before, row);
        }
        write_json_row(output, row, !same && row.rule->group != figure_group::run);
        before = &row;
    }
    if (before != nullptr && before->rule->group != figure_group::run) {
        const bool nested = before->rule->group == figure_group::queue || before->rule->group == figure_group::client;
        append_text(output, nested ? "}" : "");
        append_text(output, before->rule->group == figure_group::client ? "]" : "}");
    }
    append_text(output, "}\n");
    return flush_output(output);
}
