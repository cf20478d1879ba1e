// Conversions between the board's C++ types and Python's, and the mapping of the library's
// C++ exceptions to Python exceptions, for the module korvic._korvic.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <cstdint>
#include <optional>

#include "korvic/board.hpp"

namespace korvic::python {

namespace py = pybind11;

// Imports the datetime C API. Called once, from the module's initialisation, before any
// conversion below.
void import_datetime();

// t as an aware datetime in UTC (tzinfo datetime.timezone.utc), to the microsecond.
// ValueError when t lies outside the years 1 to 9999 that a datetime holds (a board
// holding no plausible time, or offsets that carry it that far).
py::object to_datetime(utc_time t);

// An aware datetime, in any zone, as the instant it names. ValueError for a naive one
// (no tzinfo, or a tzinfo whose utcoffset() is None): its zone would be a guess. TypeError
// for anything that is not a datetime. `call` names the method in the message.
utc_time from_datetime(py::handle value, const char *call);

// A duration as a datetime.timedelta, to the microsecond.
py::object to_timedelta(std::chrono::microseconds d);

// A timeout argument: None (no limit), seconds as an int or float, or a timedelta; not
// negative. math.inf and anything beyond a century also mean no limit. ValueError for a
// negative or NaN one, TypeError for anything else. `call` names the method.
std::optional<std::chrono::nanoseconds> to_timeout(py::handle value, const char *call);

// A whole number from 0 to `most`: an int, or anything with __index__ but a bool. TypeError
// for another type, ValueError for one out of range, each one line naming `call` and `what`.
std::uint64_t to_whole(py::handle value, const char *call, const char *what, std::uint64_t most);

// Raises KeyboardInterrupt (or whatever a Python signal handler raised) in the calling
// thread when a signal has come since the last check, by throwing error_already_set.
// Needs the GIL.
void check_signals();

// Registers, for this module only, the translators of the library's exceptions. A signal
// that came during the call goes first: a call that failed because Ctrl-C interrupted it
// (EINTR) raises KeyboardInterrupt, not InterruptedError.
//   std::filesystem::filesystem_error  OSError of the errno's own subclass
//                                      (FileNotFoundError, ...) with errno, the step and
//                                      the reason as strerror, and the path as filename
//   korvic::BoardBusy                  korvic.BoardBusy (a TimeoutError) with the text
//   std::system_error                  OSError with errno and the text
//   std::out_of_range                  ValueError (a time, mask or offset out of range)
//   std::invalid_argument              ValueError
void register_exception_translators();
// korvic.BoardBusy, a TimeoutError: the board lock was not had in time (korvic::BoardBusy).
// Made in module `m`; the translators raise it.
void add_board_busy(py::module_ &m);

}  // namespace korvic::python
