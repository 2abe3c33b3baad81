#include <array>
#include <string_view>

#include "report/output_state.hpp"

namespace {

// Room for a name of 63 bytes that are all invalid, each written as U+FFFD,
// in quotes; or all '"', doubled.
constexpr std::string_view REPLACEMENT_CHARACTER = "\xEF\xBF\xBD";
constexpr std::size_t QUOTED_NAME_SIZE = REPLACEMENT_CHARACTER.size() * (NAME_SIZE - 1) + 3;

// RFC 4180: a field holding ',' or '"' goes in double quotes, each '"'
// doubled. A CSV reader decodes the stream as UTF-8, so a byte that is not
// part of a valid character becomes U+FFFD, as in JSON and the metrics file.
void quote_name(const char *name, std::array<char, QUOTED_NAME_SIZE> &quoted)
{
    std::string_view text(name);
    const bool quote = text.find_first_of(",\"") != std::string_view::npos;
    std::size_t length = 0;
    const auto put = [&quoted, &length](std::string_view piece) {
        for (const char c : piece) {
            quoted[length++] = c;
        }
    };
    if (quote) {
        put("\"");
    }
    while (!text.empty()) {
        const std::size_t character = utf8_character_length(text);
        if (character == 0) {
            put(REPLACEMENT_CHARACTER);
            text.remove_prefix(1);
            continue;
        }
        if (text.front() == '"') {
            put("\"");
        }
        put(std::string_view(text.data(), character));
        text.remove_prefix(character);
    }
    if (quote) {
        put("\"");
    }
    quoted[length] = '\0';
}

// The four columns that name the client, without the line's end.
int write_csv_client_columns(output_buffer &output, const utilisation_row &row, double sample_time, int decimals)
{
    std::array<char, QUOTED_NAME_SIZE> name;
    quote_name(row.name.data(), name);
    return append_format(output, "%.*f,%llu,%d,%s", decimals, sample_time,
                         static_cast<unsigned long long>(row.client_id),
                         row.pid, name.data());
}

// A percentage, or an empty field where there is none.
int write_percentage_column(output_buffer &output, bool known, double value)
{
    return known ? append_format(output, ",%.1f", value) : append_text(output, ",");
}

// Memory in KiB, rounded down; an empty field where the kernel gave none.
int write_memory_column(output_buffer &output, std::int64_t bytes)
{
    return bytes == MEMORY_UNKNOWN ? append_text(output, ",") : append_format(output, ",%lld", static_cast<long long>(bytes / 1024));
}

// The client's columns, the default queues and the process's CPU; with -a,
// the other queues and the memory after them. The queues are headed as the
// queue table heads them.
int open_with_header(output_state &state, bool all_queues)
{
    output_buffer &output = state.stream;
    append_text(output, "timestamp,client_id,pid,process");
    for (int engine = 0; engine < DEFAULT_ENGINE_COUNT; ++engine) {
        append_format(output, ",%s%%", QUEUE_TABLE[static_cast<std::size_t>(engine)].heading);
    }
    append_text(output, ",cpu%");
    for (int engine = DEFAULT_ENGINE_COUNT; all_queues && engine < ENGINE_COUNT; ++engine) {
        append_format(output, ",%s%%", QUEUE_TABLE[static_cast<std::size_t>(engine)].heading);
    }
    append_text(output, all_queues ? ",mem_total_kib,mem_resident_kib\n" : "\n");
    return flush_output(output);
}

int csv_open(output_state &state)
{
    return open_with_header(state, false);
}

int csv_all_queues_open(output_state &state)
{
    return open_with_header(state, true);
}

// A frame is its rows alone: a sample with no client writes nothing.
int csv_begin_frame(output_state &, const frame &)
{
    return 0;
}

int csv_row(output_state &state, const utilisation_row &row, double sample_time)
{
    return write_csv_row(state.stream, row, sample_time, state.timestamp_decimals);
}

int csv_all_queues_row(output_state &state, const utilisation_row &row, double sample_time)
{
    return write_csv_all_queues_row(state.stream, row, sample_time, state.timestamp_decimals);
}

int csv_end_frame(output_state &state, const frame &)
{
    return flush_output(state.stream);
}

int csv_close(output_state &state)
{
    return flush_output(state.stream);
}

} // namespace

int write_csv_row(output_buffer &output, const utilisation_row &row, double sample_time, int decimals)
{
    write_csv_client_columns(output, row, sample_time, decimals);
    for (int engine = 0; engine < DEFAULT_ENGINE_COUNT; ++engine) {
        append_format(output, ",%.1f", row.engine[static_cast<std::size_t>(engine)]);
    }
    return append_format(output, ",%.1f\n", row.cpu);
}

// The same columns, with an empty field for a queue the client's fdinfo does
// not list and for a CPU percentage without two readings.
int write_csv_all_queues_row(output_buffer &output, const utilisation_row &row, double sample_time, int decimals)
{
    write_csv_client_columns(output, row, sample_time, decimals);
    for (int engine = 0; engine < ENGINE_COUNT; ++engine) {
        const auto index = static_cast<std::size_t>(engine);
        write_percentage_column(output, row.engine_listed[index], row.engine[index]);
        if (engine == DEFAULT_ENGINE_COUNT - 1) {
            write_percentage_column(output, row.cpu_known, row.cpu);
        }
    }
    write_memory_column(output, row.memory[MEMORY_TOTAL]);
    write_memory_column(output, row.memory[MEMORY_RESIDENT]);
    return append_text(output, "\n");
}

// Closing flushes too, so that a run stopped before its first frame still
// learns whether its header was written.
const report_operations CSV_REPORT = {
    csv_open, csv_begin_frame, csv_row, csv_end_frame, nullptr, csv_close, "Error: cannot write CSV output: ",
    false,
};

const report_operations CSV_ALL_REPORT = {
    csv_all_queues_open, csv_begin_frame, csv_all_queues_row, csv_end_frame, nullptr, csv_close,
    "Error: cannot write CSV output: ", false,
};
