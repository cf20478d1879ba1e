// korvic._korvic: the korvic timing board from Python, over korvic::Board.
//
// Every call on the board runs with the GIL released and under the board's own lock, so
// that other Python threads run meanwhile and two threads never interleave the register
// sequences of one board. The calls that wait (events(), wait_compare()) wait in slices
// of at most kSlice: between slices they take the GIL back and let Python's signal
// handlers run, so Ctrl-C raises KeyboardInterrupt within a slice.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "convert.h"
#include "korvic/board.hpp"
#include "korvic/korvic_api.h"
#include "quoting.h"

namespace korvic::python {
namespace {

using std::chrono::steady_clock;

constexpr std::chrono::milliseconds kSlice{50};

#define KORVIC_STR2(x) #x
#define KORVIC_STR(x) KORVIC_STR2(x)
constexpr const char *kVersion = KORVIC_STR(KORVIC_API_VERSION_MAJOR) "." KORVIC_STR(
    KORVIC_API_VERSION_MINOR) "." KORVIC_STR(KORVIC_API_VERSION_PATCH);

// A Board as Python holds it: open until close(), then empty for good.
struct PyBoard {
    std::filesystem::path config;
    std::mutex mutex;
    std::optional<Board> board;
};

// Runs f(board) without the GIL, under the board's lock. ValueError once closed.
template <class F>
auto locked(PyBoard &self, F &&f) {
    py::gil_scoped_release nogil;
    std::lock_guard lock(self.mutex);
    if (!self.board)
        throw py::value_error("korvic: the board is closed");
    return f(*self.board);
}

steady_clock::time_point deadline_after(const std::optional<std::chrono::nanoseconds> &timeout) {
    return timeout ? steady_clock::now() + *timeout : steady_clock::time_point::max();
}

steady_clock::time_point slice_end(steady_clock::time_point deadline) {
    return std::min(deadline, steady_clock::now() + kSlice);
}

// The result of sample(), in Python's units.
struct PySample {
    py::object board;
    std::int64_t before = 0;
    std::int64_t after = 0;
    double offset = 0;
    py::object offset_ns;
    double uncertainty = 0;
    std::uint32_t status = 0;
};

// An offset's exact count of nanoseconds as a Python int (no 64-bit integer holds every
// offset a board can have).
py::object exact_ns(const Offset &o) {
    return py::int_(o.seconds().count()) * py::int_(1'000'000'000) +
           py::int_(o.subseconds().count());
}

PySample to_python(const Sample &s) {
    const Offset offset = s.offset();
    return PySample{to_datetime(s.board),
                    s.before.time_since_epoch().count(),
                    s.after.time_since_epoch().count(),
                    offset.to_seconds(),
                    exact_ns(offset),
                    static_cast<double>(s.uncertainty().count()) / 1e9,
                    s.status};
}

// The result of preset_now(), in Python's units.
struct PyPresetNow {
    py::object preset;
    PySample read_back;
    double residual = 0;
    py::object residual_ns;
    double write_cost = 0;
    int attempts = 0;
};

// The iterator that events() gives.
struct EventIterator {
    py::object owner;  // the Board: alive as long as the iterator is
    PyBoard *board = nullptr;
    std::optional<EventWatcher> watcher;
    std::optional<std::uint64_t> remaining;
    std::optional<std::chrono::nanoseconds> timeout;
    bool finished = false;
};

py::object next_event(EventIterator &it) {
    if (it.finished || it.remaining == std::uint64_t{0}) {
        it.finished = true;
        throw py::stop_iteration();
    }
    const auto deadline = deadline_after(it.timeout);
    for (;;) {
        const auto end = slice_end(deadline);
        const std::optional<utc_time> t =
            locked(*it.board, [&](Board &) { return it.watcher->wait_until(end); });
        if (t) {
            if (it.remaining)
                --*it.remaining;
            return to_datetime(*t);
        }
        check_signals();
        if (steady_clock::now() >= deadline) {
            it.finished = true;
            throw py::stop_iteration();
        }
    }
}

bool wait_compare(PyBoard &self, const py::object &timeout_arg) {
    const auto deadline = deadline_after(to_timeout(timeout_arg, "wait_compare"));
    for (;;) {
        const auto end = slice_end(deadline);
        const bool raised = locked(self, [&](Board &b) { return b.wait_compare_flag(end); });
        if (raised)
            return true;
        check_signals();
        if (steady_clock::now() >= deadline)
            return false;
    }
}

CompareMask mask_of(const py::object &every) {
    if (py::isinstance<py::str>(every)) {
        const std::string word = every.cast<std::string>();
        if (const std::optional<CompareMask> mask = parse_compare_every(word))
            return *mask;
        throw py::value_error("korvic: set_compare: every=" + detail::quote(word) +
                              " is none of year, day, hour, minute, second, millisecond, off");
    }
    if (py::isinstance<py::int_>(every) && !py::isinstance<py::bool_>(every)) {
        return static_cast<CompareMask>(to_whole(every, "set_compare", "mask", 15));
    }
    throw py::type_error(
        "korvic: set_compare: every is a word (\"second\", ...) or a mask 0 to 15");
}

std::string repr_of(const py::handle &value) {
    return py::repr(value).cast<std::string>();
}

std::string hex(std::uint32_t word) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(word));
    return text;
}

}  // namespace
}  // namespace korvic::python

PYBIND11_MODULE(_korvic, m) {
    using namespace korvic;
    using namespace korvic::python;
    import_datetime();
    register_exception_translators();
    add_board_busy(m);
    // Each docstring starts with its signature in Python's types, as the stubs give it
    // (pybind11's own would say "object" for every datetime and timeout).
    py::options options;
    options.disable_function_signatures();

    m.doc() =
        "The korvic timing board: its time, presets, compare events and external events.\n\n"
        "Times are timezone-aware datetime objects in UTC, exact to the microsecond.";
    m.attr("__version__") = kVersion;

    py::class_<Settings>(m, "Settings",
                         "What the board's korvic_cfg.dat set (read-only; see Board.settings).")
        .def_readonly("mem_path", &Settings::mem_path, "MEM_PATH=: the register device.")
        .def_readonly("enable_int", &Settings::enable_int,
                      "One bridge device per ENABLE_INT line, in file order.")
        .def_readonly("sec_off", &Settings::sec_off, "SEC_OFF=, seconds.")
        .def_readonly("tz_off", &Settings::tz_off, "TZ_OFF=, hours.")
        .def_readonly("day_off", &Settings::day_off, "DAY_OFF=, days.")
        .def_readonly("byte_swap", &Settings::byte_swap, "BYTE_SWAP= not 0.")
        .def_property_readonly(
            "uio_path",
            [](const Settings &s) {
                return s.uio_path.empty() ? py::none() : py::cast(s.uio_path);
            },
            "UIO_PATH=: the board's interrupt node; None when the file names none.")
        .def("__repr__", [](const Settings &s) {
            return "Settings(mem_path=" + repr_of(py::cast(s.mem_path)) +
                   ", enable_int=" + repr_of(py::cast(s.enable_int)) +
                   ", sec_off=" + std::to_string(s.sec_off) +
                   ", tz_off=" + std::to_string(s.tz_off) +
                   ", day_off=" + std::to_string(s.day_off) +
                   ", byte_swap=" + (s.byte_swap ? "True" : "False") + ")";
        });

    py::class_<PySample>(m, "Sample",
                         "One reading of the board's time between two readings of the system "
                         "clock (CLOCK_REALTIME): the latch happened between before and after.")
        .def_readonly("board", &PySample::board, "The board's time (datetime, UTC).")
        .def_readonly("before", &PySample::before,
                      "The system clock just before the snapshot strobe, ns since 1970.")
        .def_readonly("after", &PySample::after,
                      "The system clock just after the first word of the snapshot, ns since "
                      "1970.")
        .def_readonly("offset", &PySample::offset,
                      "The board's time less the system clock's midpoint, seconds (float; "
                      "positive: the board is ahead).")
        .def_readonly("offset_ns", &PySample::offset_ns,
                      "The same offset exactly, in nanoseconds (int), for any board time.")
        .def_readonly("uncertainty", &PySample::uncertainty,
                      "after - before, seconds (float): the latch lies in this bracket.")
        .def_readonly("status", &PySample::status,
                      "The snapshot's first word as loaded (int): bits 8 to 13 are the "
                      "hardware status bits of the moment of the latch, as Status.hw_status "
                      "holds them.")
        .def("__repr__", [](const PySample &s) {
            return "Sample(board=" + repr_of(s.board) + ", before=" + std::to_string(s.before) +
                   ", after=" + std::to_string(s.after) +
                   ", offset=" + repr_of(py::float_(s.offset)) +
                   ", uncertainty=" + repr_of(py::float_(s.uncertainty)) + ")";
        });

    py::class_<PyPresetNow>(m, "PresetNow", "What Board.preset_now() did.")
        .def_readonly("preset", &PyPresetNow::preset, "The whole second loaded (datetime, UTC).")
        .def_readonly("residual", &PyPresetNow::residual,
                      "The board's time less the system clock's, read back after the preset, "
                      "seconds (float).")
        .def_readonly("residual_ns", &PyPresetNow::residual_ns,
                      "The same residual exactly, in nanoseconds (int).")
        .def_readonly("read_back", &PyPresetNow::read_back,
                      "The reading read back after the preset (Sample), the narrowest of "
                      "five.")
        .def_readonly("write_cost", &PyPresetNow::write_cost,
                      "What the preset was allowed to take on the bus, seconds (float).")
        .def_readonly("attempts", &PyPresetNow::attempts,
                      "The seconds it aimed for, 1 to 10: it tries again when woken late or "
                      "read back more than 250 us off.")
        .def("__repr__", [](const PyPresetNow &p) {
            return "PresetNow(preset=" + repr_of(p.preset) +
                   ", residual=" + repr_of(py::float_(p.residual)) +
                   ", attempts=" + std::to_string(p.attempts) + ")";
        });

    py::class_<StatusBit>(m, "StatusBit", "One bit of the hardware status word.")
        .def_readonly("bit", &StatusBit::bit, "The bit number, 8 to 13.")
        .def_readonly("set", &StatusBit::set, "Whether the bit is 1.")
        .def_readonly("name", &StatusBit::name,
                      "\"compare event\" for bit 9, \"bit N\" for the others.")
        .def("__repr__", [](const StatusBit &b) {
            return "StatusBit(bit=" + std::to_string(b.bit) +
                   ", set=" + (b.set ? "True" : "False") + ", name=" + repr_of(py::str(b.name)) +
                   ")";
        });

    py::class_<Status>(m, "Status", "The board's status: see Board.status().")
        .def_readonly("hw_status", &Status::hw_status,
                      "The hardware status word (0xFC), byte order applied.")
        .def_readonly("config", &Status::config, "The configuration register (0x118).")
        .def_readonly("compare_event", &Status::compare_event,
                      "Status bit 9, the time-compare event flag.")
        .def_readonly("timer_running", &Status::timer_running,
                      "The timer stop bit (configuration bit 27) is 0.")
        .def_readonly("bits", &Status::bits, "Status bits 8 to 13 by name, lowest first.")
        .def("__repr__", [](const Status &s) {
            return "Status(hw_status=" + hex(s.hw_status) + ", config=" + hex(s.config) +
                   ", compare_event=" + (s.compare_event ? "True" : "False") +
                   ", timer_running=" + (s.timer_running ? "True" : "False") +
                   ", bits=" + repr_of(py::cast(s.bits)) + ")";
        });

    py::class_<CompareSetting>(
        m, "Compare",
        "The time compare register as the board holds it: day of the year and time of day in "
        "board digits (no offsets, no year) and the mask.")
        .def_readonly("day_of_year", &CompareSetting::day_of_year,
                      "The day of the year as the board counts it, 1 January = 0.")
        .def_property_readonly(
            "time_of_day", [](const CompareSetting &c) { return to_timedelta(c.time_of_day); },
            "Hours to microseconds, as a timedelta.")
        .def_readonly("mask", &CompareSetting::mask, "The compare mask, 0 to 15.")
        .def_property_readonly(
            "every",
            [](const CompareSetting &c) {
                return std::string(to_string(static_cast<CompareMask>(c.mask)));
            },
            "The mask as set_compare() takes it: \"year\", \"day\", \"hour\", \"minute\", "
            "\"second\", \"millisecond\", \"off\", or \"reserved\" (6 to 14).")
        .def("__repr__", [](const CompareSetting &c) {
            return "Compare(day_of_year=" + std::to_string(c.day_of_year) +
                   ", time_of_day=" + repr_of(to_timedelta(c.time_of_day)) +
                   ", mask=" + std::to_string(c.mask) + ")";
        });

    py::class_<EventIterator>(m, "EventIterator",
                              "The external events of a board, each new capture once: see "
                              "Board.events().")
        .def(
            "__iter__", [](py::object self) { return self; },
            "__iter__(self) -> EventIterator\n\nThe iterator itself.")
        .def("__next__", &next_event,
             "__next__(self) -> datetime.datetime\n\n"
             "The time of the next new external event (UTC). Waits with the GIL\n"
             "released; Ctrl-C raises KeyboardInterrupt.");

    py::class_<PyBoard>(m, "Board", R"doc(A korvic timing board, attached through a korvic_cfg.dat.

    with korvic.Board("korvic_cfg.dat") as board:
        print(board.now())

Every time is a timezone-aware datetime in UTC with microseconds: the board's
digits plus DAY_OFF= days and TZ_OFF= hours, less SEC_OFF= seconds, on the
true calendar; preset() and set_compare() write the exact inverse. A naive
datetime is refused (ValueError), as are times outside 1970 to 2099.

Errors: OSError (FileNotFoundError, PermissionError, ...) with errno, the
step that failed and the path as filename when attaching fails; ValueError for
a time, mask or argument out of range and for any call after close().

A Board is locked: calls from several threads are taken one at a time, and
other Python threads run while a call waits.)doc")
        .def(
            py::init([](const std::optional<std::filesystem::path> &config,
                        const py::object &lock_wait) {
                auto self = std::make_unique<PyBoard>();
                self->config = korvic::config_path(config.value_or(std::filesystem::path{}));
                const std::optional<std::chrono::nanoseconds> wait =
                    lock_wait.is_none() ? std::nullopt : to_timeout(lock_wait, "Board");
                if (!lock_wait.is_none() && (!wait || *wait > std::chrono::seconds{10}))
                    throw py::value_error("korvic: Board: lock_wait " + repr_of(lock_wait) +
                                          " is more than 10 seconds");
                py::gil_scoped_release nogil;
                Settings settings = read_settings(self->config);
                if (wait)
                    settings.lock_wait = *wait;
                self->board.emplace(settings);
                return self;
            }),
            py::arg("config") = py::none(), py::arg("lock_wait") = py::none(),
            R"doc(__init__(self, config: str | os.PathLike[str] | None = None, lock_wait: float | datetime.timedelta | None = None) -> None

Attaches to the board that the configuration file names: config, else
$KORVIC_CONFIG (set by korvic_sim), else korvic_cfg.dat in the working directory.

The file is read as the C library reads korvic_cfg.dat; a relative MEM_PATH= or
INT_PATH= counts from the file's directory. Each ENABLE_INT line enables the
bridge's interrupts; then the register window is mapped. Raises OSError with
errno and filename (FileNotFoundError for a missing file or device).

lock_wait: how long a call waits for the board lock that other programs on
the host (korvicd, korvic, another Board) take around their register
sequences, in seconds or as a timedelta, 0 to 10 s (None: 100 ms). A call that
does not get it raises BoardBusy, having touched nothing. A process made by
fork() (multiprocessing) that uses this Board has a lock of its own.)doc")
        .def(
            "close",
            [](PyBoard &self) {
                py::gil_scoped_release nogil;
                std::lock_guard lock(self.mutex);
                self.board.reset();
            },
            "close(self) -> None\n\n"
            "Releases the board (unmaps the window, closes the device). Any later\n"
            "call but close() raises ValueError; close() again does nothing.")
        .def_property_readonly(
            "closed",
            [](PyBoard &self) {
                py::gil_scoped_release nogil;
                std::lock_guard lock(self.mutex);
                return !self.board.has_value();
            },
            "True after close().")
        .def(
            "__enter__", [](py::object self) { return self; },
            "__enter__(self) -> Board\n\nThe board itself, for a with statement.")
        .def(
            "__exit__",
            [](PyBoard &self, const py::args &) {
                py::gil_scoped_release nogil;
                std::lock_guard lock(self.mutex);
                self.board.reset();
            },
            "__exit__(self, *args: object) -> None\n\n"
            "Closes the board; an exception from the with block goes on.")
        .def_readonly("config", &PyBoard::config,
                      "The configuration file: as given, else from $KORVIC_CONFIG or the default.")
        .def_property_readonly(
            "settings",
            [](PyBoard &self) { return locked(self, [](const Board &b) { return b.settings(); }); },
            "What the configuration file set (Settings).")
        .def_property_readonly(
            "interrupt_node",
            [](PyBoard &self) {
                const std::filesystem::path node =
                    locked(self, [](const Board &b) { return b.interrupt_node(); });
                return node.empty() ? py::none() : py::cast(node);
            },
            "The interrupt node that events() and wait_compare() sleep on (a\n"
            "pathlib.Path), or None when they poll the board.")
        .def(
            "now",
            [](PyBoard &self) {
                return to_datetime(locked(self, [](Board &b) { return b.now(); }));
            },
            "now(self) -> datetime.datetime\n\n"
            "The board's current time: a snapshot strobe, then the latched time.")
        .def(
            "sample",
            [](PyBoard &self, const py::object &readings_arg) {
                const auto readings =
                    static_cast<int>(to_whole(readings_arg, "sample", "readings", 1000));
                if (readings == 0)
                    throw py::value_error("korvic: sample: readings 0 is not 1 to 1000");
                const Sample s = locked(self, [readings](Board &b) {
                    if (readings == 1)
                        return b.sample();
                    const BestReading r = b.best_of(readings);
                    if (!r.best)
                        throw ClockStepped(
                            "korvic: sample: the system clock stepped back "
                            "inside each of " +
                            std::to_string(readings) + " readings");
                    return r.best->sample;
                });
                return to_python(s);
            },
            py::arg("readings") = 1,
            "sample(self, readings: int = 1) -> Sample\n\n"
            "The board's time bracketed by the system clock: board, before and\n"
            "after (integer ns since 1970), offset and uncertainty (float seconds),\n"
            "offset_ns (exact int). With readings above 1, the narrowest of that many.\n"
            "A reading inside which the system clock stepped back is left out;\n"
            "RuntimeError when every one was. ValueError for a board time outside\n"
            "the years 1 to 9999 that a datetime holds.")
        .def(
            "event_time",
            [](PyBoard &self) {
                return to_datetime(locked(self, [](Board &b) { return b.event_time(); }));
            },
            "event_time(self) -> datetime.datetime\n\n"
            "The time of the last external event the board captured.")
        .def(
            "preset_time",
            [](PyBoard &self) {
                return to_datetime(locked(self, [](Board &b) { return b.preset_time(); }));
            },
            "preset_time(self) -> datetime.datetime\n\n"
            "The preset time register (whole milliseconds).")
        .def(
            "preset",
            [](PyBoard &self, const py::object &time) {
                const utc_time t = from_datetime(time, "preset");
                locked(self, [&](Board &b) { b.preset(t); });
            },
            py::arg("time"),
            "preset(self, time: datetime.datetime) -> None\n\n"
            "Loads time, an aware datetime in any zone, truncated to the millisecond,\n"
            "as the board's new time. ValueError for a naive datetime or a time\n"
            "outside 1970 to 2099 (as UTC or as board time after the offsets), with\n"
            "the board untouched.")
        .def(
            "preset_now",
            [](PyBoard &self) {
                const PresetNow p = locked(self, [](Board &b) { return b.preset_now(); });
                return PyPresetNow{to_datetime(p.preset),
                                   to_python(p.read_back),
                                   p.residual().to_seconds(),
                                   exact_ns(p.residual()),
                                   static_cast<double>(p.write_cost.count()) / 1e9,
                                   p.attempts};
            },
            "preset_now(self) -> PresetNow\n\n"
            "Sets the board to the system clock at its next whole second, as\n"
            "`korvic preset now` does: measures the preset's cost, waits for the\n"
            "second less that cost, loads it and reads the board back; tries again\n"
            "at the next second when woken late or read back more than 250 us off,\n"
            "ten times at most (see residual and attempts). Blocks about a second\n"
            "per attempt, with the GIL released. RuntimeError, nothing written, on a\n"
            "board that does not run; ValueError when the system clock lies outside\n"
            "1970 to 2099.")
        .def(
            "set_compare",
            [](PyBoard &self, const py::object &time, const py::object &every) {
                const utc_time t = from_datetime(time, "set_compare");
                const CompareMask mask = mask_of(every);
                locked(self, [&](Board &b) { b.set_compare(t, mask); });
            },
            py::arg("time"), py::arg("every") = "second",
            "set_compare(self, time: datetime.datetime, every: str | int = 'second') -> None\n\n"
            "Sets the compare time (an aware datetime, to the microsecond) and how\n"
            "often it matches: every=\"year\", \"day\", \"hour\", \"minute\", \"second\",\n"
            "\"millisecond\" or \"off\", or a raw mask 0 to 15. The board raises its\n"
            "compare event flag when its time passes a match.")
        .def(
            "compare",
            [](PyBoard &self) { return locked(self, [](Board &b) { return b.compare(); }); },
            "compare(self) -> Compare\n\n"
            "The compare register: the board's digits and the mask.")
        .def(
            "status",
            [](PyBoard &self) { return locked(self, [](Board &b) { return b.status(); }); },
            "status(self) -> Status\n\n"
            "The hardware status word and the configuration register, with named bits.")
        .def(
            "compare_flag",
            [](PyBoard &self) { return locked(self, [](Board &b) { return b.compare_flag(); }); },
            "compare_flag(self) -> bool\n\n"
            "Whether the time-compare event flag (status bit 9) is raised.")
        .def(
            "clear_compare_flag",
            [](PyBoard &self) { locked(self, [](Board &b) { b.clear_compare_flag(); }); },
            "clear_compare_flag(self) -> None\n\nClears the time-compare event flag.")
        .def("wait_compare", &wait_compare, py::arg("timeout") = py::none(),
             "wait_compare(self, timeout: float | datetime.timedelta | None = None) -> bool\n\n"
             "Waits until the time-compare event flag is raised: True then (the flag\n"
             "stays raised; clear_compare_flag() before waiting for the next), False\n"
             "when timeout (seconds or a timedelta; None: no limit) ran out first.\n"
             "Waits with the GIL released; Ctrl-C raises KeyboardInterrupt.")
        .def(
            "stop_timer", [](PyBoard &self) { locked(self, [](Board &b) { b.stop_timer(); }); },
            "stop_timer(self) -> None\n\nStops the board's time (sets the timer stop bit).")
        .def(
            "start_timer", [](PyBoard &self) { locked(self, [](Board &b) { b.start_timer(); }); },
            "start_timer(self) -> None\n\n"
            "Lets the board's time run again (clears the timer stop bit).")
        .def(
            "timer_running",
            [](PyBoard &self) { return locked(self, [](Board &b) { return b.timer_running(); }); },
            "timer_running(self) -> bool\n\n"
            "Whether the board's time runs (the timer stop bit is 0).")
        .def(
            "read_register",
            [](PyBoard &self, const py::object &offset_arg) {
                const auto offset = static_cast<std::uint32_t>(
                    to_whole(offset_arg, "read_register", "offset", UINT32_MAX));
                return locked(self, [&](Board &b) { return b.read_register(offset); });
            },
            py::arg("offset"),
            "read_register(self, offset: int) -> int\n\n"
            "One 32-bit word of the register window at a byte offset (a multiple of\n"
            "4 inside a register of the board's map), byte order applied. ValueError\n"
            "for another offset.")
        .def(
            "events",
            [](const py::object &self_obj, const py::object &count, const py::object &timeout) {
                auto it = std::make_unique<EventIterator>();
                it->owner = self_obj;
                it->board = &self_obj.cast<PyBoard &>();
                if (!count.is_none())
                    it->remaining = to_whole(count, "events", "count", UINT64_MAX);
                it->timeout = to_timeout(timeout, "events");
                EventIterator &ref = *it;
                locked(*it->board, [&](Board &b) { ref.watcher.emplace(b); });
                return it;
            },
            py::arg("count") = py::none(), py::arg("timeout") = py::none(),
            R"doc(events(self, count: int | None = None, timeout: float | datetime.timedelta | None = None) -> EventIterator

An iterator of the times (datetime, UTC) of new external events.

What the external event register holds when events() is called is not new; each
capture after it is yielded once. count ends the iteration after that many
events; timeout (seconds or a timedelta) ends it quietly when no event came for
that long after a request for the next one: next(board.events(timeout=5), None)
is None when nothing came in 5 s. None: no limit. Waits with the GIL released;
Ctrl-C raises KeyboardInterrupt.)doc")
        .def("__repr__", [](PyBoard &self) {
            bool closed = false;
            {
                py::gil_scoped_release nogil;
                std::lock_guard lock(self.mutex);
                closed = !self.board;
            }
            return "<korvic.Board " + repr_of(py::str(self.config.string())) +
                   (closed ? " closed>" : " open>");
        });
}
