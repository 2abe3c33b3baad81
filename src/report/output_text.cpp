// Text output through a fixed buffer, and the UTF-8 rule the outputs share.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include "report/report.hpp"
#include "sampling/sampler.hpp"

namespace {

// Room for one formatted piece: a line of numbers, never a name.
constexpr std::size_t FORMAT_ROOM = 1024;

// A stop that comes in the middle of a line gives the reader this long to
// take the rest of it; past that, a write still blocked is cut short every
// GIVE_UP_REPEAT_US until the output gives up.
constexpr std::int64_t LINE_FINISH_NS = 1'000'000'000;
constexpr suseconds_t GIVE_UP_REPEAT_US = 100'000;

// Only there to interrupt a blocked write: SIGALRM's default would end the program.
extern "C" void on_give_up_alarm(int) {}

// True while the line begun at a stop may still be finished. The first call
// starts the time, with a timer that interrupts a write blocked past it; the
// timer repeats, so a write that blocks just after a check is cut short too.
bool line_finish_time_left(std::int64_t &line_finish_deadline)
{
    if (line_finish_deadline == 0) {
        line_finish_deadline = monotonic_nanoseconds() + LINE_FINISH_NS;
        struct sigaction action {};
        action.sa_handler = on_give_up_alarm;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART
        sigaction(SIGALRM, &action, nullptr);
        const itimerval timer{{0, GIVE_UP_REPEAT_US}, {LINE_FINISH_NS / 1'000'000'000, 0}};
        setitimer(ITIMER_REAL, &timer, nullptr);
    }
    return monotonic_nanoseconds() < line_finish_deadline;
}

void end_line_finish(std::int64_t &line_finish_deadline)
{
    if (line_finish_deadline != 0) {
        const itimerval stopped{};
        setitimer(ITIMER_REAL, &stopped, nullptr);
        line_finish_deadline = 0;
    }
}

// Another process that shares standard output may have made it non-blocking:
// wait for room rather than fail. A signal cuts the wait short.
void wait_until_writable(int fd)
{
    pollfd output{fd, POLLOUT, 0};
    (void)::poll(&output, 1, -1);
}

// Writes out what the buffer holds. After a stop signal, only the rest of a
// line already begun goes out, so that the stream ends at a line's end; lines
// not begun are dropped rather than written into a pipe that nobody reads.
// A reader that takes nothing for LINE_FINISH_NS after the stop is left with
// a cut line.
int write_buffered(output_buffer &output)
{
    const auto stopping = [&output] { return stop_requested != 0 && !output.after_the_run; };
    std::size_t written = 0;
    while (output.failure == 0 && written < output.length) {
        std::size_t end = output.length;
        if (stopping()) {
            if (!output.line_begun || !line_finish_time_left(output.line_finish_deadline)) {
                output.failure = OUTPUT_STOPPED;
                break;
            }
            const void *newline = std::memchr(output.bytes.data() + written, '\n', output.length - written);
            if (newline != nullptr) {
                end = static_cast<std::size_t>(static_cast<const char *>(newline) - output.bytes.data()) + 1;
            }
        }
        const ssize_t got = ::write(output.fd, output.bytes.data() + written, end - written);
        if (got > 0) {
            written += static_cast<std::size_t>(got);
            output.line_begun = output.bytes[written - 1] != '\n';
        } else if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            wait_until_writable(output.fd);
        } else if (got < 0 && errno == EINTR) {
            if (output.after_the_run && stop_requested != 0) {
                output.failure = OUTPUT_STOPPED;
            }
        } else {
            output.failure = got < 0 ? errno : EIO;
        }
    }
    // The line begun at the stop is finished: nothing more goes out.
    if (output.failure == 0 && stopping() && !output.line_begun) {
        output.failure = OUTPUT_STOPPED;
    }
    if (output.failure != 0) {
        end_line_finish(output.line_finish_deadline);
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

int timestamp_decimals(std::int64_t sample_interval_ns)
{
    return sample_interval_ns < TIMESTAMP_MILLISECONDS_FROM_NS ? 6 : 3;
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

void format_unreadable_line(std::array<char, UNREADABLE_LINE_SIZE> &text, int processes)
{
    (void)std::snprintf(text.data(), text.size(), "%d process%s not readable: run as root to see their clients",
                        processes, processes == 1 ? "" : "es");
}
