// Feeds any bytes to the fdinfo key parser, both whole and streamed through
// the smallest line buffer the census may use.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.hpp"
#include "sampling/fdinfo_text.hpp"
#include "sampling/kernel_text.hpp"
#include "support/kernel_readers.hpp"

namespace {

// The pieces cover the text exactly, in order, each at most one line buffer long.
void check_pieces(std::string_view text)
{
    std::size_t covered = 0;
    const std::size_t consumed = split_line_pieces(text, true, [&](std::string_view piece) {
        FUZZ_REQUIRE(!piece.empty());
        FUZZ_REQUIRE(piece.size() <= LINE_PIECE_SIZE);
        FUZZ_REQUIRE(piece.data() == text.data() + covered);
        const std::size_t newline = piece.find('\n');
        // Only the last byte may be a newline, and a piece without one is full or the last.
        FUZZ_REQUIRE(newline == std::string_view::npos || newline == piece.size() - 1);
        FUZZ_REQUIRE(newline != std::string_view::npos || piece.size() == LINE_PIECE_SIZE ||
                     covered + piece.size() == text.size());
        covered += piece.size();
    });
    FUZZ_REQUIRE(consumed == text.size());
    FUZZ_REQUIRE(covered == text.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    check_pieces(text);

    const fdinfo_keys whole = parse_fdinfo_text(text);
    if (is_listed_client(whole)) {
        FUZZ_REQUIRE(whole.is_v3d);
        FUZZ_REQUIRE(whole.has_client_id);
        FUZZ_REQUIRE(whole.engine[ENGINE_RENDER] != 0 || whole.engine[ENGINE_TFU] != 0 ||
                     whole.engine[ENGINE_BIN] != 0);
    }
    if (!whole.has_client_id) {
        FUZZ_REQUIRE(!is_listed_client(whole, client_listing::all_queues));
    }
    for (const std::int64_t bytes : whole.memory) {
        FUZZ_REQUIRE(bytes >= MEMORY_UNKNOWN);
    }
    if (text.find("drm-driver:\tv3d") == std::string_view::npos) {
        FUZZ_REQUIRE(!whole.is_v3d);
    }

    // The census reads through a fixed buffer: the result must not depend on it.
    fdinfo_keys streamed;
    const int fd = file_holding(text);
    std::array<char, LINE_PIECE_SIZE + 1> buffer;
    read_line_pieces(fd, buffer, [&streamed](std::string_view piece) { apply_fdinfo_line(piece, streamed); });
    ::close(fd);
    FUZZ_REQUIRE(streamed.is_v3d == whole.is_v3d);
    FUZZ_REQUIRE(streamed.has_client_id == whole.has_client_id);
    FUZZ_REQUIRE(streamed.client_id == whole.client_id);
    FUZZ_REQUIRE(streamed.engine == whole.engine);
    FUZZ_REQUIRE(streamed.memory == whole.memory);
    return 0;
}
