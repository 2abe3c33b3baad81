// The view's colours, where the terminal has at least 8: busy figures by level,
// each charted queue in a colour of its own (its band and its heading), the
// headings set off, and warnings. Everything reads the same without them.
#pragma once

struct terminal_state;

enum class cell_style { plain, heading, calm, busy, full, warning, render, tfu, bin, csd };

// When the view uses colour (--color): auto, the -a view, and in the default
// view the chart that g turns on; always; never. The key c switches it.
enum class colour_choice { automatic, always, never };

// The curses attributes of `style` as the view stands: 0 without colour. The
// terminal's colours are started at the first that is needed.
int style_attribute(terminal_state &terminal, cell_style style);

// A busy per cent's level: under 50, under 80, above.
cell_style busy_style(double percent);

// A queue's own colour (its chart band and its heading); a queue without one
// is a heading.
cell_style queue_style(int engine);
