// Text that a user typed (or a file named), as the messages of the library and of every
// program show it: on one line, with nothing a terminal would act on, and not longer than a
// line. Through korvic_api_internal for the programs; not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace korvic::detail {

// The most columns an argument takes in a message (an escape counts its characters); of a
// wider one it shows as much of its beginning and of its end as fits kShownEnds columns
// each, with "..." between.
inline constexpr std::size_t kShownLength = 80;
inline constexpr std::size_t kShownEnds = 36;

// `text` between double quotes: '"' and '\' with a backslash before them, control
// characters as \n, \t, \e, ... or \xHH, bytes that are not UTF-8 and the characters a
// terminal would take as controls (C1 controls, line and paragraph separators, bidi
// overrides) as \xHH per byte; cut as kShownLength says.
std::string quote(std::string_view text);

// The same without the quotes (a path in brackets, a value after an option's name).
std::string shown(std::string_view text);

// A message from elsewhere (an option parser, the C++ library, strerror) on one line and
// harmless to a terminal: control characters and the rest as quote() writes them, every
// other character, '"' and '\' too, as it is. Wider than `longest` columns, it keeps its
// beginning and its end, longest / 2 - 2 columns each: for a message that may hold what
// was typed.
std::string printable(std::string_view message, std::size_t longest = SIZE_MAX);

// e.what() made printable. A std::filesystem::filesystem_error without the C++ library's
// "filesystem error: " in front and with its paths shown(): "korvic: read configuration:
// No such file or directory [korvic_cfg.dat]".
std::string message_of(const std::exception &e);

}  // namespace korvic::detail
