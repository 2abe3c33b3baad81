// The terminal view of the real binary, inside tmux: the screen, the keys, and
// the terminal handed back.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "end_to_end/program_run.hpp"

namespace {

// A tmux server of its own, with one 100x30 pane.
class tmux_session {
public:
    explicit tmux_session(const std::string &command)
        : socket_("v3dwatch-test-" + std::to_string(::getpid()) + "-" + std::to_string(++sessions_made))
    {
        run("new-session -d -x 100 -y 30 -s view " + quote(command));
    }
    ~tmux_session() { run("kill-server"); }
    tmux_session(const tmux_session &) = delete;
    tmux_session &operator=(const tmux_session &) = delete;

    std::vector<std::string> screen() const
    {
        std::vector<std::string> lines;
        std::istringstream text(output("capture-pane -p -t view"));
        for (std::string line; std::getline(text, line);) {
            line.erase(line.find_last_not_of(' ') + 1);
            lines.push_back(line);
        }
        return lines;
    }
    std::string display(const std::string &format) const { return output("display-message -p -t view " + quote(format)); }
    void send_keys(const std::string &keys) const { run("send-keys -t view " + keys); }

    // Waits until line `row` of the screen reads `text`.
    bool wait_for_line(std::size_t row, const std::string &text) const
    {
        for (int attempt = 0; attempt < 150; ++attempt) {
            const std::vector<std::string> lines = screen();
            if (lines.size() > row && lines[row] == text) {
                return true;
            }
            ::usleep(100'000);
        }
        return false;
    }

private:
    static std::string quote(const std::string &text) { return "'" + text + "'"; }
    int run(const std::string &arguments) const
    {
        return std::system(("tmux -L " + socket_ + " " + arguments + " >/dev/null 2>&1").c_str());
    }
    std::string output(const std::string &arguments) const
    {
        std::string text;
        if (std::FILE *pipe = ::popen(("tmux -L " + socket_ + " " + arguments).c_str(), "r")) {
            char buffer[4096];
            std::size_t got = 0;
            while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
                text.append(buffer, got);
            }
            ::pclose(pipe);
        }
        while (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        return text;
    }
    static inline int sessions_made = 0;
    std::string socket_;
};

const std::string HEADINGS = "Client  PID      Process            render      tfu      bin      CPU";
const std::string RULE(70, '-');

class terminal_end_to_end : public ::testing::Test {
protected:
    kernel_tree tree;

    void SetUp() override
    {
        tree.set_gpu_stats(1000);
        tree.add_process(100, "game", 1, 1);
        tree.add_v3d_client(100, 5, 81, 10, 0, 0);
        tree.add_process(200, "a-very-long-process-name", 1, 1);
        tree.add_v3d_client(200, 5, 82, 0, 10, 0);
    }

    std::string command() const
    {
        return std::string(FAKE_KERNEL_RUN) + " " + tree.root() + " " + V3DWATCH_BINARY + "; echo $? > " +
               status_path() + "; sleep 600";
    }
    std::string status_path() const { return tree.root() + "/status"; }

    // The exit status once the program has ended, or "" while it runs.
    std::string status(int tenths = 50) const
    {
        for (int attempt = 0; attempt < tenths; ++attempt) {
            std::ifstream in(status_path());
            std::string text;
            if (std::getline(in, text) && !text.empty()) {
                return text;
            }
            ::usleep(100'000);
        }
        return "";
    }
};

TEST_F(terminal_end_to_end, draws_the_table)
{
    REQUIRE_NAMESPACES();
    const tmux_session session(command());
    ASSERT_TRUE(session.wait_for_line(0, "GPU Utilisation")) << ::testing::PrintToString(session.screen());
    ASSERT_TRUE(session.wait_for_line(5, "    82  200      a-very-long-process-name     0.0%     0.0%     0.0%     0.0%") ||
                session.wait_for_line(5, "    81  100      game                 0.0%     0.0%     0.0%     0.0%"));
    // capture-pane leaves out the empty lines at the bottom.
    std::vector<std::string> lines = session.screen();
    ASSERT_GE(lines.size(), 6U);
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], HEADINGS);
    EXPECT_EQ(lines[3], RULE);
    std::vector<std::string> clients = {lines[4], lines[5]};
    std::sort(clients.begin(), clients.end());
    EXPECT_EQ(clients[0], "    81  100      game                 0.0%     0.0%     0.0%     0.0%");
    EXPECT_EQ(clients[1], "    82  200      a-very-long-process-name     0.0%     0.0%     0.0%     0.0%");
    for (std::size_t row = 6; row < lines.size(); ++row) {
        EXPECT_EQ(lines[row], "") << "row " << row;
    }
    EXPECT_EQ(session.display("#{cursor_flag}"), "0") << "the cursor is hidden";
    session.send_keys("q");
    EXPECT_EQ(status(), "0");
}

TEST_F(terminal_end_to_end, ignores_other_keys_and_quits_on_q_Q_or_ctrl_c)
{
    REQUIRE_NAMESPACES();
    for (const std::string quit : {"q", "Q", "C-c"}) {
        SCOPED_TRACE(quit);
        std::filesystem::remove(status_path());
        const tmux_session session(command());
        ASSERT_TRUE(session.wait_for_line(3, RULE));
        session.send_keys("Space");
        EXPECT_EQ(status(20), "") << "the space bar is ignored";
        EXPECT_EQ(session.screen().at(0), "GPU Utilisation");
        session.send_keys(quit);
        EXPECT_EQ(status(), "0");
        // The terminal is handed back: normal screen, cursor shown, the table gone.
        EXPECT_EQ(session.display("#{alternate_on} #{cursor_flag}"), "0 1");
        const std::vector<std::string> lines = session.screen();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), RULE), 0);
    }
}

} // namespace
