// The DRM usage statistics of one fdinfo file (Documentation/gpu/drm-usage-stats.rst),
// parsed from bytes so that they can be fed anything.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "sampling/client_table.hpp"

// The keys of one fdinfo file that the census uses.
struct fdinfo_keys {
    bool is_v3d = false;
    bool has_client_id = false;
    std::uint64_t client_id = 0;
    std::array<std::int64_t, ENGINE_COUNT> engine{};
    std::array<std::int64_t, ENGINE_COUNT> jobs{};
    engine_flags engine_listed{}; // the queues that have a drm-engine-<queue> line
    memory_values memory = NO_MEMORY_VALUES;
    client_name_text client_name{};
};

// Applies one line piece of an fdinfo file (the kernel's DRM usage statistics,
// Documentation/gpu/drm-usage-stats.rst) to `keys`.
void apply_fdinfo_line(std::string_view piece, fdinfo_keys &keys);

// A V3D client with a valid id and some time on the queues that `listing` names.
bool is_listed_client(const fdinfo_keys &keys, client_listing listing = client_listing::default_queues);

// A client id as drm-usage-stats.rst defines it: an unsigned 64-bit decimal.
// False for text that is not such a number, or is negative.
bool parse_client_id(std::string_view text, std::uint64_t &client_id);

// A memory value: a decimal number, then no unit (bytes), "KiB" or "MiB".
// MEMORY_UNKNOWN for anything else, or a size beyond 64 bits.
std::int64_t parse_memory_bytes(std::string_view text);
