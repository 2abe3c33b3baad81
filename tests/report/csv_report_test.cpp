// CSV data lines: the format, and quoting that keeps names in their column.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "report/report.hpp"

namespace {

std::string csv_line(const char *name, double render = 12.25, double cpu = 100.04)
{
    utilisation_row row;
    row.client_id = 81;
    row.pid = 1234;
    std::strncpy(row.name.data(), name, row.name.size() - 1);
    row.engine = {render, 0.0, 123456.789};
    row.cpu = cpu;
    std::FILE *stream = std::tmpfile();
    EXPECT_EQ(write_csv_row(stream, row, 3456.78951), 0);
    std::rewind(stream);
    char buffer[512] = {};
    const std::size_t got = std::fread(buffer, 1, sizeof buffer - 1, stream);
    std::fclose(stream);
    return {buffer, got};
}

TEST(csv_lines, carry_the_sample_time_and_the_four_percentages)
{
    EXPECT_EQ(csv_line("game"), "3456.790,81,1234,game,12.2,0.0,123456.8,100.0\n");
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

TEST(csv_lines, report_a_failed_write)
{
    std::FILE *full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    std::setvbuf(full, nullptr, _IONBF, 0);
    utilisation_row row;
    EXPECT_EQ(write_csv_row(full, row, 1.0), ENOSPC);
    std::fclose(full);
}

} // namespace
