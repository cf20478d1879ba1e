// Times, durations, timeouts and errors between korvic::Board and Python.
//
// Times are built field by field from the microsecond count with the C++ calendar
// (std::chrono::year_month_day), never through a float or through the host's time zone:
// every datetime the module gives is aware, in UTC, and exact to the microsecond.
#include "convert.h"

#include "korvic/board.hpp"

// datetime.h defines its API pointer per translation unit: this file alone uses it.
#include <datetime.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace korvic::python {
namespace {

using std::chrono::microseconds;

// The span of a datetime: 0001-01-01T00:00:00 to 9999-12-31T23:59:59.999999.
constexpr std::int64_t kFirstDatetimeUs = -62'135'596'800'000'000;
constexpr std::int64_t kLastDatetimeUs = 253'402'300'799'999'999;
constexpr std::int64_t kDayUs = 86'400'000'000;

std::int64_t delta_us(PyObject *delta) {
    return PyDateTime_DELTA_GET_DAYS(delta) * kDayUs +
           std::int64_t{PyDateTime_DELTA_GET_SECONDS(delta)} * 1'000'000 +
           PyDateTime_DELTA_GET_MICROSECONDS(delta);
}

// A timedelta in seconds: its days reach 999999999, beyond 64 bits of microseconds.
double delta_seconds(PyObject *delta) {
    return static_cast<double>(PyDateTime_DELTA_GET_DAYS(delta)) * 86'400.0 +
           PyDateTime_DELTA_GET_SECONDS(delta) + PyDateTime_DELTA_GET_MICROSECONDS(delta) / 1e6;
}

std::string type_name(py::handle value) {
    return py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>();
}

// OSError(errno, text, filename): Python picks the subclass of the errno (ENOENT gives
// FileNotFoundError, EISDIR IsADirectoryError, ...).
void raise_os_error(int error, const std::string &text, const std::filesystem::path *path) {
    py::object args;
    if (path != nullptr) {
        const std::string &native = path->native();
        py::object filename = py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefaultAndSize(
            native.data(), static_cast<Py_ssize_t>(native.size())));
        if (!filename)
            throw py::error_already_set();
        args = py::make_tuple(error, text, filename);
    } else {
        args = py::make_tuple(error, text);
    }
    PyObject *exc = PyObject_Call(PyExc_OSError, args.ptr(), nullptr);
    if (exc == nullptr)
        return;  // the error of the call itself stays set
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc);
    Py_DECREF(exc);
}

bool is_errno(const std::error_code &code) {
    return code.category() == std::generic_category() || code.category() == std::system_category();
}

// A filesystem_error's what() holds the library's step, the reason and the path
// ("korvic: open register device: No such file or directory [/dev/korvic0]", after a
// prefix of the C++ library's own): the text for strerror is the step and the reason,
// the path goes to filename.
std::string step_and_reason(const std::filesystem::filesystem_error &e) {
    std::string text = e.what();
    constexpr std::string_view kPrefix = "filesystem error: ";
    if (text.starts_with(kPrefix))
        text.erase(0, kPrefix.size());
    const std::string reason = ": " + e.code().message();
    if (const auto at = text.find(reason); at != std::string::npos)
        text.erase(at + reason.size());
    return text;
}

}  // namespace

void import_datetime() {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr)
        throw py::error_already_set();
}

py::object to_datetime(utc_time t) {
    using namespace std::chrono;
    const std::int64_t us = t.time_since_epoch().count();
    if (us < kFirstDatetimeUs || us > kLastDatetimeUs)
        throw py::value_error("korvic: the board time " + format_time(t) +
                              " lies outside the years 1 to 9999 that a datetime holds");
    const sys_days day = floor<days>(t);
    const year_month_day date{day};
    const hh_mm_ss<microseconds> clock{t - day};
    PyObject *dt = PyDateTimeAPI->DateTime_FromDateAndTime(
        static_cast<int>(date.year()), static_cast<int>(static_cast<unsigned>(date.month())),
        static_cast<int>(static_cast<unsigned>(date.day())),
        static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
        static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()),
        PyDateTime_TimeZone_UTC, PyDateTimeAPI->DateTimeType);
    if (dt == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(dt);
}

utc_time from_datetime(py::handle value, const char *call) {
    using namespace std::chrono;
    if (!PyDateTime_Check(value.ptr()))
        throw py::type_error(std::string("korvic: ") + call +
                             ": an aware datetime.datetime is needed, not " + type_name(value));
    const py::object offset = value.attr("utcoffset")();
    if (offset.is_none())
        throw py::value_error(std::string("korvic: ") + call + ": the datetime " +
                              py::repr(value).cast<std::string>() +
                              " has no time zone; give it one (tzinfo=datetime.timezone.utc "
                              "for UTC)");
    if (!PyDelta_Check(offset.ptr()))
        throw py::type_error(std::string("korvic: ") + call +
                             ": utcoffset() of the datetime is not a timedelta");
    PyObject *dt = value.ptr();
    const year_month_day date{year{PyDateTime_GET_YEAR(dt)},
                              month{static_cast<unsigned>(PyDateTime_GET_MONTH(dt))},
                              day{static_cast<unsigned>(PyDateTime_GET_DAY(dt))}};
    const microseconds clock =
        hours{PyDateTime_DATE_GET_HOUR(dt)} + minutes{PyDateTime_DATE_GET_MINUTE(dt)} +
        seconds{PyDateTime_DATE_GET_SECOND(dt)} + microseconds{PyDateTime_DATE_GET_MICROSECOND(dt)};
    // The wall-clock fields less the zone's offset from UTC at that instant.
    return utc_time{sys_days{date}} + clock - microseconds{delta_us(offset.ptr())};
}

py::object to_timedelta(std::chrono::microseconds d) {
    const std::int64_t us = d.count();
    std::int64_t days = us / kDayUs;
    std::int64_t rest = us % kDayUs;
    if (rest < 0) {
        rest += kDayUs;
        --days;
    }
    PyObject *delta = PyDelta_FromDSU(static_cast<int>(days), static_cast<int>(rest / 1'000'000),
                                      static_cast<int>(rest % 1'000'000));
    if (delta == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(delta);
}

std::optional<std::chrono::nanoseconds> to_timeout(py::handle value, const char *call) {
    // Longer than this is no limit at all; it also keeps deadlines far from overflow.
    constexpr double kNoLimitSeconds = 100.0 * 365 * 86400;
    if (value.is_none())
        return std::nullopt;
    double seconds = 0;
    if (PyDelta_Check(value.ptr())) {
        seconds = delta_seconds(value.ptr());
    } else if (PyFloat_Check(value.ptr()) ||
               (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr()))) {
        seconds = PyFloat_AsDouble(value.ptr());
        if (seconds == -1.0 && PyErr_Occurred())
            throw py::error_already_set();  // an int beyond a double
    } else {
        throw py::type_error(std::string("korvic: ") + call +
                             ": timeout is seconds (int or float), a timedelta or None, not " +
                             type_name(value));
    }
    if (std::isnan(seconds) || seconds < 0)
        throw py::value_error(std::string("korvic: ") + call + ": timeout " +
                              py::repr(value).cast<std::string>() +
                              " is not a number of seconds from 0 up");
    if (seconds > kNoLimitSeconds)
        return std::nullopt;
    return std::chrono::nanoseconds{static_cast<std::int64_t>(std::llround(seconds * 1e9))};
}

std::uint64_t to_whole(py::handle value, const char *call, const char *what, std::uint64_t most) {
    const std::string head = std::string("korvic: ") + call + ": " + what;
    PyObject *index = PyBool_Check(value.ptr()) ? nullptr : PyNumber_Index(value.ptr());
    if (index == nullptr) {
        PyErr_Clear();
        throw py::type_error(head + " is an int, not " + type_name(value));
    }
    const py::object number = py::reinterpret_steal<py::object>(index);
    const unsigned long long n = PyLong_AsUnsignedLongLong(index);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        PyErr_Clear();  // OverflowError: below 0 or beyond 64 bits
    } else if (n <= most) {
        return n;
    }
    throw py::value_error(head + " " + py::repr(number).cast<std::string>() + " is not 0 to " +
                          std::to_string(most));
}

void check_signals() {
    if (PyErr_CheckSignals() != 0)
        throw py::error_already_set();
}

namespace {
PyObject *g_board_busy = nullptr;  // korvic.BoardBusy, alive with the module
}  // namespace

void add_board_busy(py::module_ &m) {
    g_board_busy = PyErr_NewExceptionWithDoc(
        "korvic._korvic.BoardBusy",
        "The board lock was held by another program (or Board) for the whole of the Board's "
        "lock_wait: nothing was read or written; the call may be made again.",
        PyExc_TimeoutError, nullptr);
    if (g_board_busy == nullptr)
        throw py::error_already_set();
    m.add_object("BoardBusy", py::handle(g_board_busy));
}

void register_exception_translators() {
    py::register_local_exception_translator([](std::exception_ptr p) {
        // A signal's handler (Ctrl-C: KeyboardInterrupt) raises in place of the failure.
        if (PyErr_CheckSignals() != 0)
            return;
        try {
            std::rethrow_exception(std::move(p));
        } catch (const BoardBusy &e) {
            PyErr_SetString(g_board_busy, e.what());
        } catch (const std::filesystem::filesystem_error &e) {
            if (!is_errno(e.code()))
                throw;
            const std::filesystem::path &path = e.path1();
            raise_os_error(e.code().value(), step_and_reason(e), path.empty() ? nullptr : &path);
        } catch (const std::system_error &e) {
            if (!is_errno(e.code()))
                throw;
            raise_os_error(e.code().value(), e.what(), nullptr);
        } catch (const std::out_of_range &e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const std::invalid_argument &e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });
}

}  // namespace korvic::python
