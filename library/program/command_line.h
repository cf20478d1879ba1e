// What korvic and korvicd say about a command line that their option parser (CLI11) refused:
// one line in the project's words, never the parser's own text, naming the option or the
// argument and showing what was typed on one line, escaped and cut (quoting.h).
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
class ParseError;
}  // namespace CLI

namespace korvic::program {

// The problem with the command line that `app` refused with `e`, without the program's name
// in front: an unknown option ("unknown option \"--frobnicate\"", or "time has no option
// \"--count\"" after a subcommand), arguments that were not expected, an option without its
// value ("--config needs a value (PATH)"), an option given more than once, a flag given a
// value, a missing subcommand ("a command is needed: time, offset, ...") or argument
// ("preset needs TIME"), a value that a check refused ("--format: ..."). `args` are the
// arguments as typed, without the program's name: extra arguments are named in that order.
std::string command_line_problem(const CLI::App &app, const CLI::ParseError &e,
                                 const std::vector<std::string> &args);

}  // namespace korvic::program
