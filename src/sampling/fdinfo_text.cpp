#include "sampling/fdinfo_text.hpp"

#include <algorithm>
#include <limits>

#include "sampling/kernel_text.hpp"

namespace {

constexpr std::string_view DRIVER_TEXT = "drm-driver:\tv3d";
// The families of the keys below: the DRM core's and the v3d driver's own.
constexpr std::array<std::string_view, 2> KEY_FAMILIES = {"drm-", "v3d-"};
// The fdinfo keys the census takes (Documentation/gpu/drm-usage-stats.rst, and
// the driver's job counts from v3d_show_fdinfo in drivers/gpu/drm/v3d/v3d_drv.c),
// each with the place its value goes. A key that is not here is passed over.
enum class key_kind { client_id, client_name, engine, jobs, memory };
struct fdinfo_key {
    // Up to and including the colon; for a queue's key, up to the queue's
    // name from the queue table, which the colon follows.
    std::string_view text;
    key_kind kind;
    int index; // the memory kind
};
constexpr std::array<fdinfo_key, 8> FDINFO_KEYS = {{
    {"drm-client-id:", key_kind::client_id, 0},
    {"drm-client-name:", key_kind::client_name, 0},
    {"drm-engine-", key_kind::engine, 0},
    {"v3d-jobs-", key_kind::jobs, 0},
    {"drm-total-memory:", key_kind::memory, MEMORY_TOTAL},
    {"drm-shared-memory:", key_kind::memory, MEMORY_SHARED},
    {"drm-resident-memory:", key_kind::memory, MEMORY_RESIDENT},
    {"drm-active-memory:", key_kind::memory, MEMORY_ACTIVE},
}};

// Memory units as the kernel writes them (drm_print_memory_stats), by multiple of a byte.
struct memory_unit {
    std::string_view text;
    std::int64_t bytes;
};
constexpr std::array<memory_unit, 3> MEMORY_UNITS = {{{"", 1}, {"KiB", 1024}, {"MiB", std::int64_t{1024} * 1024}}};

// The queue whose name and a colon start `text`: its index, with `value`
// the text after the colon; -1 for none.
int queue_of_key(std::string_view text, std::string_view &value)
{
    for (std::size_t engine = 0; engine < QUEUE_TABLE.size(); ++engine) {
        const std::string_view name(QUEUE_TABLE[engine].name);
        if (starts_with_text(text, name) && text_part(text, name.size(), 1) == ":") {
            value = text_part(text, name.size() + 1);
            return static_cast<int>(engine);
        }
    }
    return -1;
}

} // namespace

bool parse_client_id(std::string_view text, std::uint64_t &client_id)
{
    text = skip_spaces(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    const decimal_digits digits = read_decimal_digits(text);
    if (digits.length == 0 || !digits.fits) {
        return false;
    }
    client_id = digits.value;
    return true;
}

std::int64_t parse_memory_bytes(std::string_view text)
{
    text = skip_spaces(text);
    const decimal_digits digits = read_decimal_digits(text);
    if (digits.length == 0 || !digits.fits) {
        return MEMORY_UNKNOWN;
    }
    const std::uint64_t number = digits.value;
    const std::string_view unit = as_c_text(skip_spaces(text_part(text, digits.length)));
    const std::string_view unit_word = text_part(unit, 0, word_length(unit));
    for (const memory_unit &candidate : MEMORY_UNITS) {
        std::int64_t bytes = 0;
        if (unit_word == candidate.text) {
            if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
                __builtin_mul_overflow(static_cast<std::int64_t>(number), candidate.bytes, &bytes)) {
                return MEMORY_UNKNOWN;
            }
            return bytes;
        }
    }
    return MEMORY_UNKNOWN;
}

void apply_fdinfo_line(std::string_view piece, fdinfo_keys &keys)
{
    const std::string_view line = as_c_text(piece);
    if (line.find(DRIVER_TEXT) != std::string_view::npos) {
        keys.is_v3d = true;
        return;
    }
    if (std::none_of(KEY_FAMILIES.begin(), KEY_FAMILIES.end(),
                     [line](std::string_view family) { return starts_with_text(line, family); })) {
        return;
    }
    for (const fdinfo_key &key : FDINFO_KEYS) {
        if (!starts_with_text(line, key.text)) {
            continue;
        }
        std::string_view value = text_part(line, key.text.size());
        auto index = static_cast<std::size_t>(key.index);
        if (key.kind == key_kind::engine || key.kind == key_kind::jobs) {
            const int engine = queue_of_key(value, value);
            if (engine < 0) {
                return;
            }
            index = static_cast<std::size_t>(engine);
        }
        switch (key.kind) {
        case key_kind::client_id:
            keys.has_client_id = parse_client_id(value, keys.client_id);
            break;
        case key_kind::client_name:
            set_safe_text(keys.client_name, skip_spaces(value));
            break;
        case key_kind::engine:
            keys.engine[index] = parse_decimal(value);
            keys.engine_listed[index] = true;
            break;
        case key_kind::jobs:
            keys.jobs[index] = parse_decimal(value);
            break;
        case key_kind::memory:
            keys.memory[index] = parse_memory_bytes(value);
            break;
        }
        return;
    }
}

bool is_listed_client(const fdinfo_keys &keys, client_listing listing)
{
    const auto engines = listing == client_listing::all_queues ? ENGINE_COUNT : DEFAULT_ENGINE_COUNT;
    return keys.is_v3d && keys.has_client_id &&
           std::any_of(keys.engine.begin(), keys.engine.begin() + engines, [](std::int64_t value) { return value != 0; });
}
