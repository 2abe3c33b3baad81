// The parsers of the kernel's text: line pieces, numbers, fdinfo keys,
// gpu_stats rows, stat lines and process names.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <limits>
#include <string>
#include <vector>

#include "sampling/fdinfo_text.hpp"
#include "sampling/kernel_text.hpp"
#include "support/kernel_tree.hpp"
#include "support/kernel_readers.hpp"

namespace {

using namespace std::string_literals;

constexpr std::int64_t INT64_TOP = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t INT64_BOTTOM = std::numeric_limits<std::int64_t>::min();

std::vector<std::string> pieces_of(const std::string &text)
{
    std::vector<std::string> pieces;
    split_line_pieces(text, true, [&pieces](std::string_view piece) { pieces.emplace_back(piece); });
    return pieces;
}

TEST(line_pieces, cut_long_lines_as_a_256_byte_line_buffer_would)
{
    const std::string long_line(600, 'a');
    const std::vector<std::string> pieces = pieces_of("short\n" + long_line + "\n" + std::string(255, 'b') + "\nend");
    ASSERT_EQ(pieces.size(), 7U);
    EXPECT_EQ(pieces[0], "short\n");
    EXPECT_EQ(pieces[1], std::string(255, 'a'));
    EXPECT_EQ(pieces[2], std::string(255, 'a'));
    EXPECT_EQ(pieces[3], std::string(90, 'a') + "\n");
    EXPECT_EQ(pieces[4], std::string(255, 'b'));
    EXPECT_EQ(pieces[5], "\n");
    EXPECT_EQ(pieces[6], "end");
}

TEST(line_pieces, leave_an_unfinished_piece_for_the_next_read)
{
    std::vector<std::string> pieces;
    const std::size_t used =
        split_line_pieces("one\ntw"s, false, [&pieces](std::string_view piece) { pieces.emplace_back(piece); });
    EXPECT_EQ(used, 4U);
    EXPECT_EQ(pieces, std::vector<std::string>{"one\n"});
}

TEST(line_pieces, read_from_a_file_larger_than_the_buffer_come_out_as_from_the_whole_text)
{
    kernel_tree tree;
    std::string text;
    for (int line = 0; line < 400; ++line) {
        text += std::string(static_cast<std::size_t>(line % 300), static_cast<char>('a' + line % 26)) + "\n";
    }
    text += "no newline at the end";
    tree.write("big", text);
    const int fd = ::open(tree.path("big").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::array<char, 300> buffer;
    std::vector<std::string> streamed;
    read_line_pieces(fd, buffer, [&streamed](std::string_view piece) { streamed.emplace_back(piece); });
    ::close(fd);
    EXPECT_EQ(streamed, pieces_of(text));
}

TEST(decimal_numbers, read_as_strtoll_reads_them_and_saturate)
{
    bool digits = false;
    EXPECT_EQ(parse_decimal(" \t+42 ns", &digits), 42);
    EXPECT_TRUE(digits);
    EXPECT_EQ(parse_decimal("-17", &digits), -17);
    EXPECT_EQ(parse_decimal("ns", &digits), 0);
    EXPECT_FALSE(digits);
    EXPECT_EQ(parse_decimal("-", &digits), 0);
    EXPECT_FALSE(digits);
    EXPECT_EQ(parse_decimal("9223372036854775807"), INT64_TOP);
    EXPECT_EQ(parse_decimal("-9223372036854775808"), INT64_BOTTOM);
    EXPECT_EQ(parse_decimal(std::string(40, '9')), INT64_TOP);
    EXPECT_EQ(parse_decimal("-" + std::string(40, '9')), INT64_BOTTOM);
}

fdinfo_keys keys_of(const std::string &text)
{
    return parse_fdinfo_text(text);
}

TEST(fdinfo_keys_test, read_the_kernel_format)
{
    const fdinfo_keys keys = keys_of(kernel_tree::v3d_fdinfo(81, 154563573, 10574, 4916187));
    EXPECT_TRUE(keys.is_v3d);
    EXPECT_EQ(keys.client_id, 81U);
    EXPECT_EQ(keys.engine[ENGINE_RENDER], 154563573);
    EXPECT_EQ(keys.engine[ENGINE_TFU], 10574);
    EXPECT_EQ(keys.engine[ENGINE_BIN], 4916187);
    EXPECT_EQ(keys.memory, (memory_values{15'532'032, 9'560'064, 15'532'032, MEMORY_UNKNOWN}));
    EXPECT_TRUE(is_listed_client(keys));
}

TEST(fdinfo_keys_test, read_every_queue_and_memory_in_each_unit)
{
    const fdinfo_keys keys = keys_of("drm-driver:\tv3d\ndrm-client-id:\t5\n"
                                     "drm-engine-csd: \t700 ns\nv3d-jobs-csd: \t3 jobs\n"
                                     "drm-engine-cache_clean: \t8 ns\ndrm-engine-cpu: \t9 ns\n"
                                     "drm-total-memory:\t15168 KiB\ndrm-shared-memory:\t8 MiB\n"
                                     "drm-resident-memory:\t512\ndrm-active-memory:\t0\n");
    EXPECT_EQ(keys.engine[ENGINE_CSD], 700);
    EXPECT_EQ(keys.engine[ENGINE_CACHE_CLEAN], 8);
    EXPECT_EQ(keys.engine[ENGINE_CPU], 9);
    EXPECT_EQ(keys.memory, (memory_values{15'532'032, 8'388'608, 512, 0}));
    EXPECT_FALSE(is_listed_client(keys)) << "no render, TFU or bin time";
    EXPECT_TRUE(is_listed_client(keys, client_listing::all_queues));

    EXPECT_EQ(parse_memory_bytes("\t3 GiB"), MEMORY_UNKNOWN);
    EXPECT_EQ(parse_memory_bytes("\t-3 KiB"), MEMORY_UNKNOWN);
    EXPECT_EQ(parse_memory_bytes("\t KiB"), MEMORY_UNKNOWN);
    EXPECT_EQ(parse_memory_bytes("\t9007199254740992 KiB"), MEMORY_UNKNOWN) << "beyond 64 bits in bytes";
    EXPECT_EQ(parse_memory_bytes("\t8796093022207 MiB\n"), 8796093022207LL * 1024 * 1024);
}

TEST(fdinfo_keys_test, read_each_queues_jobs_and_which_queues_are_listed)
{
    // A kernel from before the later queues: no csd, cache_clean or cpu lines.
    const fdinfo_keys keys = keys_of("drm-driver:\tv3d\ndrm-client-id:\t5\n"
                                     "drm-engine-bin: \t4916187 ns\nv3d-jobs-bin: \t98 jobs\n"
                                     "drm-engine-render: \t0 ns\nv3d-jobs-render: \t97 jobs\n"
                                     "drm-engine-tfu: \t10574 ns\nv3d-jobs-tfu: \t1 jobs\n"
                                     "v3d-jobs-cpu: \t6 jobs\nv3d-jobs-csdx: \t9 jobs\n");
    EXPECT_EQ(keys.jobs, (std::array<std::int64_t, ENGINE_COUNT>{97, 1, 98, 0, 0, 6}));
    EXPECT_EQ(keys.engine_listed, (engine_flags{true, true, true, false, false, false}))
        << "a queue is listed by its engine line, even at 0 ns, and not by its jobs line";
}

TEST(fdinfo_keys_test, need_the_v3d_driver_line_with_a_tab)
{
    EXPECT_TRUE(keys_of("x drm-driver:\tv3d-extra\n").is_v3d);
    EXPECT_FALSE(keys_of("drm-driver: v3d\n").is_v3d);
    EXPECT_FALSE(keys_of("drm-driver:\ti915\n").is_v3d);
    // The driver text wins over the other keys of its line.
    const fdinfo_keys keys = keys_of("drm-client-id: 5 drm-driver:\tv3d\n");
    EXPECT_TRUE(keys.is_v3d);
    EXPECT_FALSE(keys.has_client_id);
}

TEST(fdinfo_keys_test, accept_every_client_id_of_64_bits)
{
    const auto id_of = [](const std::string &text) {
        const fdinfo_keys keys = keys_of(text);
        return keys.has_client_id ? std::to_string(keys.client_id) : std::string("none");
    };
    EXPECT_EQ(id_of("drm-client-id:\t0\n"), "0");
    EXPECT_EQ(id_of("drm-client-id:\t2147483648\n"), "2147483648");
    EXPECT_EQ(id_of("drm-client-id:\t1099511627776\n"), "1099511627776");
    EXPECT_EQ(id_of("drm-client-id:\t18446744073709551615\n"), "18446744073709551615");
    EXPECT_EQ(id_of("drm-client-id:\t18446744073709551616\n"), "none");
    EXPECT_EQ(id_of("drm-client-id:\t" + std::string(40, '1') + "\n"), "none");
    EXPECT_EQ(id_of("drm-client-id:\t-3\n"), "none");
    EXPECT_EQ(id_of("drm-client-id:\tabc\n"), "none");
    EXPECT_EQ(id_of("drm-client-id:\n"), "none");
    // The last value of a repeated key counts, an invalid one too.
    EXPECT_EQ(id_of("drm-client-id:\t4\ndrm-client-id:\t9\n"), "9");
    EXPECT_EQ(id_of("drm-client-id:\t4\ndrm-client-id:\tx\n"), "none");
}

TEST(fdinfo_keys_test, read_engines_only_after_a_colon)
{
    const fdinfo_keys keys = keys_of("drm-engine-render: \t12 ns\n"
                                     "drm-engine-tfu \t99 ns\n"
                                     "drm-engine-bin: \tns\n"
                                     "drm-engine-renderer: \t66 ns\n");
    EXPECT_EQ(keys.engine[ENGINE_RENDER], 12);
    EXPECT_EQ(keys.engine[ENGINE_TFU], 0);
    EXPECT_EQ(keys.engine[ENGINE_BIN], 0);
    EXPECT_EQ(keys_of("drm-engine-bin: \t5\ndrm-engine-bin: \t6\n").engine[ENGINE_BIN], 6);
}

TEST(fdinfo_keys_test, list_only_v3d_clients_with_an_id_and_engine_time)
{
    EXPECT_FALSE(is_listed_client(keys_of(kernel_tree::v3d_fdinfo(3, 0, 0, 0) + "drm-engine-csd: \t500 ns\n")));
    EXPECT_TRUE(is_listed_client(keys_of(kernel_tree::v3d_fdinfo(3, 0, 0, 1))));
    EXPECT_FALSE(is_listed_client(keys_of("drm-client-id:\t3\ndrm-engine-render: \t5 ns\n")));
    EXPECT_FALSE(is_listed_client(keys_of("drm-driver:\tv3d\ndrm-engine-render: \t5 ns\n")));
    EXPECT_FALSE(is_listed_client(keys_of("drm-driver:\tv3d\ndrm-client-id:\t-1\ndrm-engine-render: \t5\n")));
}

TEST(fdinfo_keys_test, test_every_piece_of_a_long_line_as_a_line)
{
    const std::string text = "drm-driver:\tv3d\n" + std::string(LINE_PIECE_SIZE, 'x') + "drm-client-id:\t12\n" +
                              "drm-engine-render: \t5 ns\n";
    const fdinfo_keys keys = keys_of(text);
    EXPECT_EQ(keys.client_id, 12U);
    EXPECT_TRUE(is_listed_client(keys));
}

TEST(fdinfo_keys_test, see_a_line_only_up_to_a_nul_byte)
{
    const fdinfo_keys keys = keys_of("drm-driver:\tv3d\ndrm-client-id:\0 7\ndrm-engine-render: \t1\0 9\n"s);
    EXPECT_FALSE(keys.has_client_id);
    EXPECT_EQ(keys.engine[ENGINE_RENDER], 1);
}

TEST(stats_rows, count_only_a_row_named_bin_with_a_number)
{
    std::int64_t value = 0;
    EXPECT_TRUE(parse_stats_row("bin\t5000\t98\t4916187\n", value));
    EXPECT_EQ(value, 5000);
    EXPECT_TRUE(parse_stats_row("  bin   -7\n", value));
    EXPECT_EQ(value, -7);
    EXPECT_FALSE(parse_stats_row("render\t6000\t1\t1\n", value));
    EXPECT_FALSE(parse_stats_row("binary\t6000\n", value));
    EXPECT_FALSE(parse_stats_row("bin\tlots\n", value));
    EXPECT_FALSE(parse_stats_row("bin\n", value));
    EXPECT_FALSE(parse_stats_row("", value));
    EXPECT_EQ(value, -7);
}

TEST(stats_rows, skip_the_header_and_take_the_first_usable_bin_row)
{
    EXPECT_EQ(parse_stats_text(kernel_tree::gpu_stats(123456789)), 123456789);
    EXPECT_EQ(parse_stats_text("bin\t5\t1\t1\n"), 0) << "the first line is a header";
    EXPECT_EQ(parse_stats_text("queue\ttimestamp\n"), 0);
    EXPECT_EQ(parse_stats_text(""), 0);
    EXPECT_EQ(parse_stats_text("queue\nrender\t9\nbin\tx\nbin\t11\nbin\t12\n"), 11);
    EXPECT_EQ(parse_stats_text("queue\nbin\t31"), 31) << "no newline at the end";
}

TEST(stats_rows, give_every_queue_row_in_file_order)
{
    gpu_counters counters;
    stats_row_search search;
    search.counters = &counters;
    split_line_pieces("queue\ttimestamp\tjobs\truntime\nbin\t900\t98\t4916187\nrender\t900\t97\t-5\n"
                      "tfu\t900\t1\n"          // too few numbers
                      "ca$h\t900\t1\t2\n"     // not a plain word
                      "cache_clean\t900\t0\t0 extra\n",
                      true, search);
    ASSERT_EQ(counters.queue_count, 3);
    EXPECT_STREQ(counters.queues[0].name.data(), "bin");
    EXPECT_EQ(counters.queues[0].timestamp, 900);
    EXPECT_EQ(counters.queues[0].jobs, 98);
    EXPECT_EQ(counters.queues[0].runtime, 4916187);
    EXPECT_STREQ(counters.queues[1].name.data(), "render");
    EXPECT_EQ(counters.queues[1].runtime, -5);
    EXPECT_STREQ(counters.queues[2].name.data(), "cache_clean");
    EXPECT_TRUE(search.found);
    EXPECT_EQ(search.reading, 900);
}

TEST(stat_lines, add_user_and_system_time_after_the_last_parenthesis)
{
    EXPECT_EQ(parse_stat_cpu_ticks(kernel_tree::stat_line(12, "game", 250, 50)), 300);
    EXPECT_EQ(parse_stat_cpu_ticks(kernel_tree::stat_line(12, "a) b (c) d", 250, 50)), 300);
    EXPECT_EQ(parse_stat_cpu_ticks("12 (short) S 1 2 3 4 5 6 7 8 9 10 250"), 250) << "fields 2 to 13 only";
    EXPECT_EQ(parse_stat_cpu_ticks("12 (short) S 1 2 3 4 5 6 7 8 9 10"), 0);
    EXPECT_EQ(parse_stat_cpu_ticks("12 no parenthesis 1 2 3 4 5 6 7 8 9 10 11 12 13"), 0);
    EXPECT_EQ(parse_stat_cpu_ticks("12 (x)   S  1 2 3 4 5 6 7 8 9 10 3   4\n"), 7) << "runs of spaces";
}

TEST(stat_lines, saturate_the_sum_of_huge_times)
{
    EXPECT_EQ(parse_stat_cpu_ticks(kernel_tree::stat_line(1, "x", INT64_TOP, 5)), INT64_TOP);
    EXPECT_EQ(parse_stat_cpu_ticks("1 (x) S 1 2 3 4 5 6 7 8 9 10 " + std::string(40, '9') + " 1\n"), INT64_TOP);
    EXPECT_EQ(parse_stat_cpu_ticks("1 (x) S 1 2 3 4 5 6 7 8 9 10 -9223372036854775808 -1\n"), INT64_BOTTOM);
}

TEST(stat_lines, survive_a_name_that_holds_a_newline)
{
    EXPECT_EQ(parse_stat_cpu_ticks(kernel_tree::stat_line(12, "two\nlines", 30, 12)), 42);
}

std::string name_of(const std::string &raw, std::int32_t pid = 321)
{
    std::array<char, NAME_SIZE> name;
    name.fill('#');
    set_process_name(name, raw, pid);
    return name.data();
}

TEST(process_names, are_cut_at_the_first_newline_and_made_printable)
{
    EXPECT_EQ(name_of("game\n"), "game");
    EXPECT_EQ(name_of("a\nb\n"), "a");
    EXPECT_EQ(name_of("\x1b[2Jevil\x07\x7f\n"), "?[2Jevil??");
    EXPECT_EQ(name_of("tab\there\r\n"), "tab?here?");
    EXPECT_EQ(name_of("caf\xc3\xa9 ok,\"x\")\n"), "caf\xc3\xa9 ok,\"x\")") << "other bytes are kept";
    EXPECT_EQ(name_of(std::string(63, '\xff')), std::string(63, '\xff'));
    EXPECT_EQ(name_of(std::string(80, 'n')), std::string(63, 'n'));
    // C1 controls in UTF-8 (CSI is C2 9B) are one '?' each, as ps shows them;
    // C2 A0 (no-break space) and a C2 cut off at the end stay.
    EXPECT_EQ(name_of("a\xc2\x9b" "2J\xc2\x80\xc2\x9f\xc2\xa0\xc2"), "a?2J??\xc2\xa0\xc2");
}

TEST(process_names, fall_back_to_the_pid_when_nothing_is_left)
{
    EXPECT_EQ(name_of("", 4242), "4242");
    EXPECT_EQ(name_of("\n", 7), "7");
    EXPECT_EQ(name_of("\0hidden\n"s, 99), "99");
}

TEST(pid_paths, are_built_or_refused_whole)
{
    std::array<char, 16> buffer;
    ASSERT_TRUE(format_pid_path(buffer, "", 1234, "/fdinfo"));
    EXPECT_STREQ(buffer.data(), "1234/fdinfo");
    ASSERT_TRUE(format_pid_path(buffer, "/p/", -5, "/x"));
    EXPECT_STREQ(buffer.data(), "/p/-5/x");
    EXPECT_FALSE(format_pid_path(buffer, "/proc/", 2147483647, "/comm"));
    std::array<char, 12> exact;
    EXPECT_TRUE(format_pid_path(exact, "", 1234, "/fdinfo"));
    std::array<char, 11> short_by_one;
    EXPECT_FALSE(format_pid_path(short_by_one, "", 1234, "/fdinfo"));
}

} // namespace
