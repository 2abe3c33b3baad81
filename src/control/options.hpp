// The command line, read into settings: everything that can refuse the run
// before start-up looks at the system.
#pragma once

#include <cstdio>

#include "control/control.hpp"
#include "control/option_values.hpp"

// Reads every option in order, then refuses the combinations that cannot
// run. --help and --version stop with their output written.
start_up_result read_options(int argc, char **argv, std::FILE *messages, std::FILE *output, option_files &files);

// The usage text; false when it could not be written whole.
bool print_usage(std::FILE *messages, const char *program);
