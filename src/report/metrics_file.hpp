// Where the metrics file goes: the name given, followed through symbolic
// links to the file that is replaced, which must be a regular file or none.
#pragma once

#include <array>
#include <cstddef>

// PATH_MAX: no longer name can be opened.
inline constexpr std::size_t METRICS_PATH_SIZE = 4096;

// A failure of the metrics file that no errno names: what the name leads to
// is a device, a FIFO, a socket or a folder, which a rename would replace.
inline constexpr int NOT_A_REGULAR_FILE = -2;

// The file that each frame replaces, and the pattern of the new file made
// beside it ("<folder>/.<name>.XXXXXX": a leading '.' keeps the collector
// from reading it while it is written).
struct metrics_target {
    std::array<char, METRICS_PATH_SIZE> path{};
    std::array<char, METRICS_PATH_SIZE + 16> temporary_pattern{};
};

// Follows `name` through symbolic links (lstat and readlink, as the kernel
// would, so that a link to a file not yet made leads to it); 0 when it leads
// to a regular file or to nothing, NOT_A_REGULAR_FILE, or the errno.
int resolve_metrics_target(const char *name, metrics_target &target);

// At start-up: the target is resolved and a new file can be made in its
// folder (made and removed again); 0, NOT_A_REGULAR_FILE or the errno.
int check_metrics_target(const char *name);

// The reason a metrics file cannot be written, for its message.
const char *metrics_failure_reason(int failure);
