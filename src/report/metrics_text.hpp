// The text of a metrics file for node_exporter's textfile collector.
#pragma once

#include <string_view>

#include "report/report.hpp"

// Writes the frame's metrics, each family's samples together, and flushes
// them; the whole GPU's samples are labelled with `card_name`. Returns 0 or
// the errno of a failed write.
int write_metrics(output_buffer &output, std::string_view card_name, const frame &whole);
