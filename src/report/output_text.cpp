// Text output through a fixed buffer, and the UTF-8 rule the outputs share.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <unistd.h>

#include "report/report.hpp"

namespace {

// Room for one formatted piece: a line of numbers, never a name.
constexpr std::size_t FORMAT_ROOM = 1024;

// Writes out what the buffer holds. A stop signal that interrupts a blocked
// write ends the output at once: what is left is dropped rather than written
// into a pipe that nobody reads.
int write_buffered(output_buffer &output)
{
    std::size_t written = 0;
    while (written < output.length) {
        const ssize_t got = ::write(output.fd, output.bytes.data() + written, output.length - written);
        if (got > 0) {
            written += static_cast<std::size_t>(got);
            if (written < output.length && stop_requested != 0) {
                output.failure = OUTPUT_STOPPED; // a partial write is what a signal leaves
            }
        } else if (got < 0 && errno == EINTR) {
            if (stop_requested != 0) {
                output.failure = OUTPUT_STOPPED;
            }
        } else {
            output.failure = got < 0 ? errno : EIO;
        }
        if (output.failure != 0) {
            break;
        }
    }
    output.length = 0;
    return output.failure;
}

} // namespace

int append_text(output_buffer &output, std::string_view text)
{
    while (output.failure == 0 && !text.empty()) {
        const std::size_t room = output.bytes.size() - output.length;
        const std::size_t taken = text.size() < room ? text.size() : room;
        std::memcpy(output.bytes.data() + output.length, text.data(), taken);
        output.length += taken;
        text.remove_prefix(taken);
        if (output.length == output.bytes.size()) {
            write_buffered(output);
        }
    }
    return output.failure;
}

// The printf format attribute in report.hpp has the compiler check every
// argument against the format, which is the type safety a pack would give.
int append_format(output_buffer &output, const char *format, ...) // NOLINT(cert-dcl50-cpp)
{
    std::array<char, FORMAT_ROOM> piece;
    std::va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(piece.data(), piece.size(), format, arguments);
    va_end(arguments);
    if (length < 0) {
        return output.failure != 0 ? output.failure : (output.failure = EINVAL);
    }
    const auto size = static_cast<std::size_t>(length) < piece.size() ? static_cast<std::size_t>(length)
                                                                      : piece.size() - 1;
    return append_text(output, std::string_view(piece.data(), size));
}

int flush_output(output_buffer &output)
{
    if (output.failure == 0 && output.length > 0) {
        write_buffered(output);
    }
    return output.failure;
}

void wait_one_interval()
{
    timespec wait{static_cast<time_t>(sample_interval_ns / 1'000'000'000),
                  static_cast<long>(sample_interval_ns % 1'000'000'000)};
    // Without SA_RESTART a stop signal ends the sleep with EINTR; any other
    // interruption sleeps on for the time that is left.
    while (::nanosleep(&wait, &wait) != 0 && errno == EINTR && stop_requested == 0) {
    }
}

int append_quoted_utf8(output_buffer &output, std::string_view bytes, character_escape escape)
{
    constexpr std::string_view REPLACEMENT_CHARACTER = "\xEF\xBF\xBD";
    append_text(output, "\"");
    while (!bytes.empty()) {
        const std::size_t length = utf8_character_length(bytes);
        if (length == 0) {
            append_text(output, REPLACEMENT_CHARACTER);
            bytes.remove_prefix(1);
            continue;
        }
        const std::string_view character(bytes.data(), length);
        if (!escape(output, character)) {
            append_text(output, character);
        }
        bytes.remove_prefix(length);
    }
    return append_text(output, "\"");
}

std::size_t utf8_character_length(std::string_view text)
{
    if (text.empty()) {
        return 0;
    }
    const auto first = static_cast<unsigned char>(text[0]);
    if (first < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80; // the bounds of the second byte exclude overlong
    unsigned char high = 0xBF; // forms, surrogates and values past U+10FFFF
    if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        low = first == 0xE0 ? 0xA0 : 0x80;
        high = first == 0xED ? 0x9F : 0xBF;
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        low = first == 0xF0 ? 0x90 : 0x80;
        high = first == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t index = 1; index < length; ++index) {
        const auto byte = static_cast<unsigned char>(text[index]);
        const unsigned char lowest = index == 1 ? low : 0x80;
        const unsigned char highest = index == 1 ? high : 0xBF;
        if (byte < lowest || byte > highest) {
            return 0;
        }
    }
    return length;
}
