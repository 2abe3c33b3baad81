// A tmux server of its own for a test of the terminal view: the screen as
// text, keys sent, and the server gone with the test.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

// A tmux server of its own, with one pane of the given size.
class tmux_session {
public:
    explicit tmux_session(const std::string &command, int width = 100, int height = 30)
        : socket_("v3dwatch-test-" + std::to_string(::getpid()) + "-" + std::to_string(++sessions_made))
    {
        run("new-session -d -x " + std::to_string(width) + " -y " + std::to_string(height) + " -s view " +
            quote(command));
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
    // The screen with its colours and attributes as escape sequences.
    std::string escaped_screen() const { return output("capture-pane -e -p -t view"); }
    std::string display(const std::string &format) const { return output("display-message -p -t view " + quote(format)); }
    void send_keys(const std::string &keys) const { run("send-keys -t view " + keys); }
    void resize(int width, int height) const
    {
        run("resize-window -t view -x " + std::to_string(width) + " -y " + std::to_string(height));
    }

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
