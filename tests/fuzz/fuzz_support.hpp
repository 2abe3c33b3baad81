// Shared by the fuzz targets: a failed invariant aborts, which libFuzzer
// reports as a crash with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <sys/mman.h>
#include <unistd.h>

#define FUZZ_REQUIRE(condition)                                                                                   \
    do {                                                                                                          \
        if (!(condition)) {                                                                                       \
            std::fprintf(stderr, "invariant failed at %s:%d: %s\n", __FILE__, __LINE__, #condition);              \
            std::abort();                                                                                         \
        }                                                                                                         \
    } while (false)

// An in-memory file holding `text`, positioned at its start, so that the
// streaming readers meet the same bytes as the whole-text parsers.
inline int file_holding(std::string_view text)
{
    const int fd = ::memfd_create("fuzz_input", MFD_CLOEXEC);
    FUZZ_REQUIRE(fd >= 0);
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t got = ::write(fd, text.data() + written, text.size() - written);
        FUZZ_REQUIRE(got > 0);
        written += static_cast<std::size_t>(got);
    }
    FUZZ_REQUIRE(::lseek(fd, 0, SEEK_SET) == 0);
    return fd;
}
