// Feeds any bytes to the stat line parser and compares it with a plain
// reading of the same fields through strtoll; the same bytes, as a comm file,
// go to the process name reader.
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "sampling/kernel_text.hpp"

namespace {

// utime plus stime of proc(5), counted from the last ')' to the end of its
// line, each read by strtoll, summed with saturation.
std::int64_t expected_ticks(std::string_view bytes)
{
    const std::string text(bytes.substr(0, std::min(bytes.find('\0'), bytes.size())));
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    const std::size_t newline = text.find('\n', close);
    const std::string line = text.substr(0, newline == std::string::npos ? text.size() : newline + 1);
    std::int64_t fields[2] = {0, 0};
    std::size_t position = close + 1;
    for (int field = 2; field <= 14 && position < line.size(); ++field) {
        position = line.find_first_not_of(' ', position);
        if (position == std::string::npos) {
            break;
        }
        if (field >= 13) {
            // Only the field's own line is in view, as for the parser.
            fields[field - 13] = std::strtoll(line.c_str() + position, nullptr, 10);
        }
        position = line.find(' ', position);
        if (position == std::string::npos) {
            break;
        }
    }
    std::int64_t sum = 0;
    if (__builtin_add_overflow(fields[0], fields[1], &sum)) {
        return fields[1] > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
    }
    return sum;
}

// A name is never empty, always ends within its buffer, and holds no control
// byte or newline that could reach a terminal or a CSV line.
void check_process_name(std::string_view raw)
{
    std::array<char, NAME_SIZE> name;
    name.fill('\x01');
    constexpr std::int32_t PID = 4242;
    set_process_name(name, raw, PID);
    const std::string_view text(name.data(), std::min(std::string_view(name.data(), name.size()).find('\0'),
                                                      name.size()));
    FUZZ_REQUIRE(text.size() < name.size());
    FUZZ_REQUIRE(!text.empty());
    for (std::size_t index = 0; index < text.size(); ++index) {
        const auto byte = static_cast<unsigned char>(text[index]);
        FUZZ_REQUIRE(byte >= 0x20 && byte != 0x7F);
        // No C1 control in UTF-8 (C2 80 to C2 9F) is left either.
        const auto next = index + 1 < text.size() ? static_cast<unsigned char>(text[index + 1]) : 0U;
        FUZZ_REQUIRE(!(byte == 0xC2 && next >= 0x80 && next <= 0x9F));
    }
    // Whatever of the raw name survives is its first bytes, in order, each
    // C1 control's two bytes taken as one '?'.
    const std::string_view kept = raw.substr(0, std::min(raw.find_first_of(std::string_view("\n\0", 2)), raw.size()));
    if (!kept.empty()) {
        const std::string_view prefix = kept.substr(0, std::min(kept.size(), name.size() - 1));
        std::size_t controls = 0;
        for (std::size_t index = 0; index + 1 < prefix.size(); ++index) {
            const auto next = static_cast<unsigned char>(prefix[index + 1]);
            if (static_cast<unsigned char>(prefix[index]) == 0xC2 && next >= 0x80 && next <= 0x9F) {
                ++controls;
                ++index;
            }
        }
        FUZZ_REQUIRE(text.size() == prefix.size() - controls);
    } else {
        FUZZ_REQUIRE(text == std::to_string(PID));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const std::int64_t ticks = parse_stat_cpu_ticks(text);
    FUZZ_REQUIRE(ticks == expected_ticks(text));
    if (text.find(')') == std::string_view::npos) {
        FUZZ_REQUIRE(ticks == 0);
    }
    check_process_name(text);
    return 0;
}
