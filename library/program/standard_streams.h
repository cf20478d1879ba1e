// What every program of the project does with its standard descriptors and stop signals.
// A descriptor 0, 1 or 2 that the caller closed is never left free for the board's register
// window, a socket or a log to take its number (output would land there); output that was
// asked for and could not be written is a failure; a stop signal that the caller ignored
// stays ignored. Portable POSIX; not part of the installed library.
#pragma once

#include <string_view>

namespace korvic::program {

// Why standard output (descriptor 1) cannot take output, as far as can be told without
// writing: "is closed" or "is open for reading only"; nullptr when it can.
const char *standard_output_problem();

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no descriptor
// the program opens later gets its number. Call it first thing in main (after
// standard_output_problem(), when that matters). The descriptors it opened, bit k for
// descriptor k; -1 when /dev/null cannot be opened.
int plug_closed_standard_descriptors();

// The two above, first thing in main of a program whose every run writes to standard
// output: false, after "PROGRAM: standard output is closed" (or why /dev/null could not be
// opened) on standard error, when it cannot go on.
bool standard_descriptors_ready(const char *program);

// Flushes standard output and checks that nothing written to it since the start has failed.
// On failure writes "PROGRAM: standard output: REASON" on standard error and returns false.
bool flush_standard_output(const char *program);

// Writes `text` on standard output and flushes it, as flush_standard_output() does; the
// reason of a failure is that of the write that failed.
bool write_standard_output(const char *program, std::string_view text);

// True when the process's disposition of `sig` is SIG_IGN. Asked before a program catches a
// stop signal: one ignored by the caller (a `cmd &` of a non-interactive shell ignores
// SIGINT, as does `trap '' INT`) stays ignored.
bool signal_ignored(int sig);

}  // namespace korvic::program
