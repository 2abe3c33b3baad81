// The keys of the terminal view, the help that lists them, and the wait for
// them between samples.
#pragma once

#include <cstdint>

struct terminal_state;

// How often the keys are polled while the view waits, and so how long a lone
// Esc waits for the rest of a key's sequence.
inline constexpr int KEY_POLL_PAUSE_MS = 100;

void draw_help(const terminal_state &terminal);

// Acts on one key; true when the screen must be drawn again.
bool take_key(terminal_state &terminal, int key);

// The most keys taken at one poll: a flood of input (a key held down over a
// slow link, input piped in) must not keep the samples waiting.
inline constexpr int KEYS_PER_WAKE = 64;

// Polls the keys every KEY_POLL_PAUSE_MS until `due`, the next sample's time on
// CLOCK_MONOTONIC; a key redraws the frame at once, and a quit key ends the wait.
void wait_for_keys(terminal_state &terminal, std::int64_t due);
