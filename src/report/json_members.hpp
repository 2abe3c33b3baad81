// The parts of a JSON Lines frame that more than one object holds: the
// conditions, a client's per-queue values, the whole GPU's readings, the
// sample the frame was measured against, and the others.
#pragma once

#include <array>
#include <cstdint>

#include "report/frame.hpp"

// A member of an object being written: a comma before every member but the first.
void append_member(output_buffer &output, bool &first, const char *name);

// ,"conditions":{...} with only the conditions known, so that a reader never
// takes an unknown for a zero.
void append_conditions(output_buffer &output, const frame_header &frame);

// An object of one value per queue that the row's fdinfo lists, in the kernel's order.
void append_listed_queues(output_buffer &output, const utilisation_row &row,
                          const std::array<double, ENGINE_COUNT> &values);
void append_listed_counts(output_buffer &output, const utilisation_row &row,
                          const std::array<std::int64_t, ENGINE_COUNT> &values);

// The whole GPU's cumulative readings of one queue row, as members of its object.
void append_queue_readings(output_buffer &output, const queue_counters &queue);

// ,"followed_cpu":{...} where processes are followed: their CPU seconds so far.
void append_followed_cpu(output_buffer &output, const followed_cpu &cpu);

// ,"previous":{...}: the sample the frame was measured against, so that a
// recording, or any stretch of one, holds where each of its frames began.
void append_previous(output_buffer &output, const frame_base &previous, int decimals);

// "others":{...}
void append_others(output_buffer &output, const others_load &others);
