// A recording line by line: each line read whole into a fixed buffer, then
// made a frame as a live run would have made it.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "report/recording_members.hpp"

namespace {

// The whole GPU's rows mapped to the queue table, and the GPU's time base:
// the first "bin" row's timestamp, as the statistics file gives it.
void map_counters(gpu_counters &counters)
{
    for (int index = 0; index < counters.queue_count; ++index) {
        map_queue_row(counters, index);
    }
    const auto bin = static_cast<std::size_t>(ENGINE_BIN);
    counters.reference =
        counters.queue_listed[bin] ? counters.queues[static_cast<std::size_t>(counters.queue_rows[bin])].timestamp : 0;
}

// Fills the buffer from the file until it holds a line's end, is full, or
// the file ends; false on a failed read.
bool fill_buffer(recording_reader &reader, std::size_t searched_from)
{
    while (!reader.end_of_file && reader.length < RECORDING_LINE_SIZE &&
           std::memchr(reader.buffer.data() + searched_from, '\n', reader.length - searched_from) == nullptr) {
        searched_from = reader.length;
        const ssize_t count =
            ::read(reader.fd, reader.buffer.data() + reader.length, RECORDING_LINE_SIZE - reader.length);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return false;
        }
        reader.end_of_file = count == 0;
        reader.length += static_cast<std::size_t>(count);
    }
    return true;
}

} // namespace

void finish_recorded_frame(recorded_frame &into, const recording_filter &filter)
{
    frame &whole = into.whole;
    map_counters(into.counters);
    map_counters(into.previous_counters);
    whole.header.counters = &into.counters;
    whole.previous.counters = &into.previous_counters;
    compute_queue_loads(into.counters, into.previous_counters, whole.header.queues);
    client_busy_sum listed_busy{};
    for (int index = 0; index < whole.row_count; ++index) {
        const auto position = static_cast<std::size_t>(index);
        utilisation_row &row = whole.rows[position];
        row.elapsed = whole.header.sample_time - whole.previous.sample_time;
        // The figures from the counters, as the live run worked them out, to the last bit.
        const auto reference = static_cast<double>(row.reference_nanoseconds);
        for (std::size_t engine = 0; engine < row.job_milliseconds.size(); ++engine) {
            const std::int64_t gained = row.engine_gained_nanoseconds[engine];
            row.job_milliseconds[engine] = average_job_milliseconds(gained, row.jobs_gained[engine]);
            row.engine[engine] = gained > 0 && reference > 0.0 ? static_cast<double>(gained) / reference * 100.0 : 0.0;
            row.jobs_per_second[engine] =
                reference > 0.0 ? static_cast<double>(row.jobs_gained[engine]) / (reference / 1e9) : 0.0;
        }
        whole.listed[position] = filter.lists_all || busy_on_default_queues(row.engine_nanoseconds);
        if (whole.listed[position]) {
            ++whole.header.client_count;
            add_client_busy(listed_busy, row);
        }
    }
    // The others as recorded, worked out from the exact figures; where the
    // rows listed are not those the recording listed, worked out again.
    if (filter.pid_count > 0 || !filter.lists_all) {
        whole.others = compute_others(whole.header, listed_busy);
        return;
    }
    for (std::size_t engine = 0; engine < whole.others.busy.size(); ++engine) {
        whole.others.shown = whole.others.shown || whole.others.overcount[engine] ||
                             (whole.others.listed[engine] && whole.others.busy[engine] >= OTHERS_SHOWN_POINTS);
    }
}

recording_result read_recorded_frame(recording_reader &reader, recorded_frame &into,
                                     std::array<char, RECORDING_REASON_SIZE> &reason)
{
    // What is left of the buffer goes to its start, to make room for a whole line.
    std::memmove(reader.buffer.data(), reader.buffer.data() + reader.start, reader.length - reader.start);
    reader.length -= reader.start;
    reader.start = 0;
    ++reader.line_number;
    if (!fill_buffer(reader, 0)) {
        (void)std::snprintf(reason.data(), reason.size(), "cannot read: %s", std::strerror(errno));
        return recording_result::failed;
    }
    if (reader.length == 0) {
        return recording_result::end;
    }
    char *const line = reader.buffer.data();
    const auto *newline = static_cast<char *>(std::memchr(line, '\n', reader.length));
    if (newline == nullptr && reader.length == RECORDING_LINE_SIZE) {
        (void)std::snprintf(reason.data(), reason.size(), "the line is longer than %zu bytes", RECORDING_LINE_SIZE);
        return recording_result::failed;
    }
    const std::size_t line_length = newline != nullptr ? static_cast<std::size_t>(newline - line) : reader.length;
    line[line_length] = '\0';
    reader.start = newline != nullptr ? line_length + 1 : reader.length;
    const double previous = reader.any_frame ? reader.last_timestamp : -1.0;
    if (!parse_recorded_line(line, into, reader.filter, previous, reader.parser_memory, reason)) {
        return newline == nullptr ? recording_result::cut_short : recording_result::failed;
    }
    reader.any_frame = true;
    reader.last_timestamp = into.whole.header.sample_time;
    return recording_result::frame;
}
