#include "view/colours.hpp"

#include <array>
#include <cstddef>

#include "view/terminal_library.hpp"
#include "view/view_state.hpp"

namespace {

constexpr int LEAST_COLOURS = 8;
constexpr double CALM_BELOW = 50.0;
constexpr double BUSY_BELOW = 80.0;

// A colour pair as attributes: <curses.h> gives COLOR_PAIR as a macro only.
constexpr int colour_pair(cell_style style)
{
    return static_cast<int>(NCURSES_BITS(static_cast<unsigned>(style), 0) & A_COLOR);
}

// Each style's colour and further attributes, in the order of cell_style,
// whose value is also its colour pair's number.
struct style_colour {
    short foreground;
    int extra;
};
constexpr std::array<style_colour, 10> STYLE_COLOURS = {{
    {-1, 0}, // plain: the terminal's own
    {COLOR_CYAN, static_cast<int>(A_BOLD)},
    {COLOR_GREEN, 0},
    {COLOR_YELLOW, 0},
    {COLOR_RED, 0},
    {COLOR_RED, static_cast<int>(A_BOLD | A_REVERSE)},
    {COLOR_MAGENTA, 0},
    {COLOR_BLUE, 0},
    {COLOR_CYAN, 0},
    {COLOR_GREEN, 0},
}};

bool is_band(cell_style style)
{
    return style == cell_style::render || style == cell_style::tfu || style == cell_style::bin ||
           style == cell_style::csd;
}

// Whether the terminal can show them, starting them the first time.
bool colours_ready(terminal_state &terminal)
{
    if (curses.has_colors == nullptr || !curses.has_colors()) {
        return false;
    }
    // COLORS is known once the colours are started.
    if (!terminal.view.colours_started) {
        terminal.view.colours_started = true;
        (void)curses.start_color();
        (void)curses.use_default_colors(); // the terminal's own background
        for (std::size_t pair = 1; pair < STYLE_COLOURS.size(); ++pair) {
            (void)curses.init_pair(static_cast<short>(pair), STYLE_COLOURS[pair].foreground, -1);
        }
    }
    return *curses.colour_count >= LEAST_COLOURS;
}

} // namespace

int style_attribute(terminal_state &terminal, cell_style style)
{
    const terminal_view &view = terminal.view;
    // Automatic colour in the default view is for what g turns on: the chart's
    // bands and the headings of their queues.
    const bool wanted =
        view.colour_on || (view.colour == colour_choice::automatic && view.chart_shown && is_band(style));
    if (style == cell_style::plain || !wanted || !colours_ready(terminal)) {
        return 0;
    }
    return colour_pair(style) | STYLE_COLOURS[static_cast<std::size_t>(style)].extra;
}

cell_style busy_style(double percent)
{
    return percent < CALM_BELOW ? cell_style::calm : percent < BUSY_BELOW ? cell_style::busy : cell_style::full;
}

cell_style queue_style(int engine)
{
    switch (engine) {
    case ENGINE_RENDER:
        return cell_style::render;
    case ENGINE_TFU:
        return cell_style::tfu;
    case ENGINE_BIN:
        return cell_style::bin;
    case ENGINE_CSD:
        return cell_style::csd;
    default:
        return cell_style::heading;
    }
}
