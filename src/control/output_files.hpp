// The files a run writes besides the metrics file: the stream of -o and the
// summary's JSON. Opened at start-up, so that a wrong name refuses the run
// before anything starts, but emptied only once nothing can refuse it any
// more: with a command, once the command has started.
#pragma once

#include <array>
#include <cstdio>

inline constexpr int STREAM_FILE = 0;
inline constexpr int SUMMARY_JSON_FILE = 1;
inline constexpr int OUTPUT_FILE_COUNT = 2;

struct output_files {
    std::array<const char *, OUTPUT_FILE_COUNT> names{}; // null for none
    std::array<int, OUTPUT_FILE_COUNT> fds{-1, -1};
    // Made by this run, so that a run refused or a command that cannot start
    // leaves no file behind.
    std::array<bool, OUTPUT_FILE_COUNT> made{};
};

// Opens the named files for writing without emptying them, and refuses two
// outputs that name the same file (by name, or the same file once opened),
// the metrics file's target included (null for none). False after a one-line
// message, with whatever was opened closed and whatever was made removed.
bool open_output_files(output_files &files, const char *metrics_file, std::FILE *messages);

// Empties the regular files among them (a pipe or a device has nothing to
// empty); false after a one-line message when one cannot be emptied.
bool empty_output_files(const output_files &files, std::FILE *messages = stderr);

// The run did not start: closes them and removes those it made.
void abandon_output_files(const output_files &files);
