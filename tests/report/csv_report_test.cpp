// The text outputs' lines: CSV with quoting that keeps names in their column,
// the added CSV columns, and JSON strings that stay valid whatever a name holds.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "report/report.hpp"

namespace {

// What `write` puts through an output buffer into a file.
std::string written(const std::function<int(output_buffer &)> &write)
{
    std::FILE *file = std::tmpfile();
    output_buffer output;
    output.fd = fileno(file);
    EXPECT_EQ(write(output), 0);
    EXPECT_EQ(flush_output(output), 0);
    std::rewind(file);
    char buffer[512] = {};
    const std::size_t got = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    return {buffer, got};
}

utilisation_row sample_row(const char *name)
{
    utilisation_row row;
    row.client_id = 81;
    row.pid = 1234;
    std::strncpy(row.name.data(), name, row.name.size() - 1);
    row.engine = {12.25, 0.0, 123456.789, 3.05, 0.0, 99.95};
    row.engine_listed = {true, true, true, true, true, true};
    row.cpu = 100.04;
    row.cpu_known = true;
    return row;
}

std::string csv_line(const char *name, int decimals = 3)
{
    return written(
        [name, decimals](output_buffer &output) { return write_csv_row(output, sample_row(name), 3456.78951, decimals); });
}

TEST(csv_lines, carry_the_sample_time_and_the_four_percentages)
{
    EXPECT_EQ(csv_line("game"), "3456.790,81,1234,game,12.2,0.0,123456.8,100.0\n");
}

// A millisecond is a tenth of an interval under 0.1 s: rows 10 ms apart need microseconds.
TEST(csv_lines, give_microseconds_at_intervals_under_a_tenth_of_a_second)
{
    EXPECT_EQ(csv_line("game", timestamp_decimals(99'999'999)), "3456.789510,81,1234,game,12.2,0.0,123456.8,100.0\n");
    EXPECT_EQ(csv_line("game", timestamp_decimals(100'000'000)), "3456.790,81,1234,game,12.2,0.0,123456.8,100.0\n");
}

TEST(csv_lines, quote_names_that_would_shift_the_columns)
{
    EXPECT_EQ(csv_line("a,b"), "3456.790,81,1234,\"a,b\",12.2,0.0,123456.8,100.0\n");
    EXPECT_EQ(csv_line("say \"hi\""), "3456.790,81,1234,\"say \"\"hi\"\"\",12.2,0.0,123456.8,100.0\n");
    EXPECT_EQ(csv_line("semi;colon 'q'"), "3456.790,81,1234,semi;colon 'q',12.2,0.0,123456.8,100.0\n");
    const std::string quotes(63, '"');
    const std::string line = csv_line(quotes.c_str());
    EXPECT_EQ(line, "3456.790,81,1234,\"" + std::string(126, '"') + "\",12.2,0.0,123456.8,100.0\n");
}

// A CSV reader decodes UTF-8: a byte that is not part of a valid character
// would stop it, so it becomes U+FFFD; valid characters and quoting stay.
TEST(csv_lines, write_names_as_valid_utf8)
{
    EXPECT_EQ(csv_line("bad\xff\xfename"), "3456.790,81,1234,bad\xEF\xBF\xBD\xEF\xBF\xBDname,12.2,0.0,123456.8,100.0\n");
    EXPECT_EQ(csv_line("na\xc3\xafve,\xe2\x82"), "3456.790,81,1234,\"na\xc3\xafve,\xEF\xBF\xBD\xEF\xBF\xBD\",12.2,0.0,123456.8,100.0\n");
}

TEST(csv_lines, with_every_queue_add_three_queues_and_memory_in_whole_kib)
{
    utilisation_row row = sample_row("game");
    row.client_id = 1ULL << 40;
    row.memory = {15'532'032, 9'560'064, 1'535, MEMORY_UNKNOWN};
    EXPECT_EQ(written([&row](output_buffer &output) { return write_csv_all_queues_row(output, row, 1.0); }),
              "1.000,1099511627776,1234,game,12.2,0.0,123456.8,100.0,3.0,0.0,100.0,15168,1\n");
    row.memory = NO_MEMORY_VALUES;
    EXPECT_EQ(written([&row](output_buffer &output) { return write_csv_all_queues_row(output, row, 1.0); }),
              "1.000,1099511627776,1234,game,12.2,0.0,123456.8,100.0,3.0,0.0,100.0,,\n");

    // An older kernel's client without the later queues, whose process ended.
    row.engine_listed = {true, true, true, false, false, false};
    row.engine = {12.25, 0.0, 0.0, 0.0, 0.0, 0.0};
    row.cpu = 0.0;
    row.cpu_known = false;
    EXPECT_EQ(written([&row](output_buffer &output) { return write_csv_all_queues_row(output, row, 1.0); }),
              "1.000,1099511627776,1234,game,12.2,0.0,0.0,,,,,,\n");
    EXPECT_EQ(written([&row](output_buffer &output) { return write_csv_row(output, row, 1.0); }),
              "1.000,1099511627776,1234,game,12.2,0.0,0.0,0.0\n")
        << "the default stream keeps a number in every column";
}

TEST(csv_lines, report_a_failed_write)
{
    output_buffer full;
    full.fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full.fd, 0);
    write_csv_row(full, sample_row("game"), 1.0);
    EXPECT_EQ(flush_output(full), ENOSPC);
    EXPECT_EQ(append_text(full, "more"), ENOSPC) << "a failed buffer takes nothing more";
    ::close(full.fd);
}

TEST(json_strings, are_escaped_and_made_valid_utf8)
{
    const auto json = [](std::string_view bytes) {
        return written([bytes](output_buffer &output) { return append_json_string(output, bytes); });
    };
    EXPECT_EQ(json("glmark2"), "\"glmark2\"");
    EXPECT_EQ(json("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(json(std::string_view("\x01\n\x1f", 3)), "\"\\u0001\\u000a\\u001f\"");
    EXPECT_EQ(json("caf\xC3\xA9 \xD0\x92\xE2\x82\xAC\xF0\x9F\x8E\xAE"), "\"caf\xC3\xA9 \xD0\x92\xE2\x82\xAC\xF0\x9F\x8E\xAE\"");
    // Line splitters cut at U+2028 and U+2029; their neighbours U+2027 and
    // U+202A pass as they are.
    EXPECT_EQ(json("a\xE2\x80\xA8" "b\xE2\x80\xA9" "c\xE2\x80\xA7\xE2\x80\xAA"),
              "\"a\\u2028b\\u2029c\xE2\x80\xA7\xE2\x80\xAA\"");
    // A name cut in the middle of a character, overlong forms, surrogates, and
    // values past U+10FFFF: each byte that is not part of a character is U+FFFD.
    EXPECT_EQ(json("ab\xD0"), "\"ab\xEF\xBF\xBD\"");
    EXPECT_EQ(json("\xC0\xAF"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_EQ(json("\xED\xA0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_EQ(json("\xF4\x90\x80\x80x"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx\"");
}

} // namespace
