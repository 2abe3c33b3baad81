// A recorded line becomes a frame only when it is one: every refusal names
// its reason, and a frame worked out from a line has the live run's figures.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "report/recording.hpp"

namespace {

// One frame: the GPU's render queue 0.1 s on, the client "stepper" 25 ms busy on render in it.
const std::string LINE =
    R"({"timestamp":110.000,"wall_time":1700000110.000,"gpu":{"render":{"busy":25.0,"jobs_per_second":0.0,)"
    R"("average_job_ms":null,"timestamp_ns":1100000000,"jobs":4,"runtime_ns":25000000}},"conditions":{},)"
    R"("previous":{"timestamp":100.000,"wall_time":1700000100.000,"gpu":{"render":{"timestamp_ns":1000000000,)"
    R"("jobs":0,"runtime_ns":0}},"conditions":{}},"unreadable_processes":0,"clients":[{"client_id":7,"pid":70,)"
    R"("process":"st\u00e9pper","busy":{"render":25.0},"jobs_per_second":{"render":40.0},"busy_ns":{"render":25000000},)"
    R"("busy_ns_gained":{"render":25000000},"jobs_gained":{"render":4},"gained_over_ns":100000000,)"
    R"("process_cpu":null,"memory":{}}],"others":{"busy":{"render":0.0},"overcount":[]}})";

struct parsed {
    bool taken = false;
    std::string reason;
    std::unique_ptr<recorded_frame> frame = std::make_unique<recorded_frame>();
};

parsed parse(std::string line, const recording_filter &filter = {}, double previous_timestamp = -1.0)
{
    parsed result;
    line.append(PARSE_PADDING, '\0');
    std::array<char, 4096> parser_memory{};
    std::array<char, RECORDING_REASON_SIZE> reason{};
    result.taken = parse_recorded_line(line.data(), *result.frame, filter, previous_timestamp, parser_memory, reason);
    result.reason = reason.data();
    return result;
}

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    return text.replace(text.find(from), from.size(), to);
}

TEST(recording_line, gives_the_frame_the_live_run_made)
{
    const parsed line = parse(LINE);
    ASSERT_TRUE(line.taken) << line.reason;
    const frame &whole = line.frame->whole;
    ASSERT_EQ(whole.row_count, 1);
    EXPECT_STREQ(whole.rows[0].name.data(), "st\xC3\xA9pper");
    EXPECT_DOUBLE_EQ(whole.rows[0].engine[ENGINE_RENDER], 25.0);
    // 25 ms in 4 jobs; the whole GPU's render queue 25 ms of 100.
    EXPECT_DOUBLE_EQ(whole.rows[0].job_milliseconds[ENGINE_RENDER], 6.25);
    EXPECT_DOUBLE_EQ(whole.header.queues[0].busy, 25.0);
    EXPECT_FALSE(whole.rows[0].cpu_known);
    EXPECT_EQ(line.frame->timestamp_decimals, 3);
    // -p keeps only its pids' clients, and the GPU's time goes to the others.
    const std::int32_t other_pid = 71;
    const parsed cut = parse(LINE, {&other_pid, 1, true});
    ASSERT_TRUE(cut.taken) << cut.reason;
    EXPECT_EQ(cut.frame->whole.row_count, 0);
    EXPECT_DOUBLE_EQ(cut.frame->whole.others.busy[ENGINE_RENDER], 25.0);
}

TEST(recording_line, refuses_what_is_not_a_frame_with_its_reason)
{
    std::string clients;
    const std::string client = LINE.substr(LINE.find(R"({"client_id")"), LINE.find("}],\"others\"") + 1 - LINE.find(R"({"client_id")"));
    for (int index = 0; index <= MAX_CLIENTS; ++index) {
        clients += (index == 0 ? "" : ",") + client;
    }
    const struct {
        std::string line;
        std::string reason;
    } cases[] = {
        {replaced(LINE, R"("wall_time":1700000110.000,)", ""), R"(no member "wall_time")"},
        {replaced(LINE, R"("pid":70)", R"("pid":"70")"), R"("pid" is not a number)"},
        {replaced(LINE, R"("pid":70)", R"("pid":2147483648)"), R"(the value of "pid" is out of range)"},
        {replaced(LINE, R"("jobs":4,)", R"("jobs":-4,)"), R"(the value of "jobs" is out of range)"},
        {replaced(LINE, R"("process_cpu":null)", R"("process_cpu":NaN)"), "Invalid value."},
        {replaced(LINE, "st\\u00e9pper", "st\xE9pper"), "Invalid encoding in string."},
        {replaced(LINE, R"("conditions":{},)", R"("conditions":{"a":{"b":{"c":{}}}},)"), "nest deeper than a frame's"},
        {replaced(LINE, client, clients), "more clients than a frame holds"},
        {LINE + " x", "The document root must not be followed by other values."},
    };
    for (const auto &refused : cases) {
        const parsed line = parse(refused.line);
        EXPECT_FALSE(line.taken) << refused.reason;
        EXPECT_NE(line.reason.find(refused.reason), std::string::npos) << line.reason;
    }
    const parsed back = parse(LINE, {}, 110.5);
    EXPECT_FALSE(back.taken);
    EXPECT_EQ(back.reason, "the timestamp goes back, from 110.500 to 110.000");
}

} // namespace
