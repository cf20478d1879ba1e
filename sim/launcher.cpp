// korvic_sim: runs a program against the simulated board.
//
//   korvic_sim [options] [--] PROGRAM [ARGS...]
//   korvic_sim [options]                 (prepares a working directory, starts korvic_test)
//
// It powers the simulated boards up in a file of its own, puts libkorvic_sim.so into
// LD_PRELOAD, passes its settings and that file in KORVIC_SIM_* variables and execs the
// program. The program itself is unchanged: it reads korvic_cfg.dat as always, and the
// paths that file names for the register and bridge devices are served by the simulator.
// Every process of the run maps the same file: one board is one board for all of them.
//
// The file lives in a private directory under $TMPDIR with an owner record. The program
// keeps the launcher's process (its pid, its parent, its signals); a small watcher process
// removes the directory when the program ends. The console that korvic_sim starts in a
// directory of its own is a child instead, and the launcher removes the directory itself.
//
// Every option is checked before anything happens: a usage error (status 2) starts no
// program and creates, truncates or removes no file.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quoting.h"
#include "settings.h"
#include "shared_run.h"
#include "simulator.h"
#include "standard_streams.h"
#include "trace.h"

#ifndef KORVIC_SIM_PRELOAD_RELPATH
#define KORVIC_SIM_PRELOAD_RELPATH "../lib/libkorvic_sim.so"
#endif

namespace {

using namespace korvic::sim;
using korvic::detail::quote;
using korvic::detail::shown;

constexpr const char *kUsage = R"(Usage: korvic_sim [OPTIONS] [--] PROGRAM [ARGS...]
       korvic_sim [OPTIONS]

Runs PROGRAM (any program that uses the korvic_api library) against simulated korvic
timing boards. The register and bridge device paths named in korvic_cfg.dat are served
by the simulator. Every process of the run (PROGRAM and all it starts) sees the same
boards: a preset made by one is read by the next. With no PROGRAM, korvic_sim writes a
korvic_cfg.dat for the simulated devices into a working directory and starts the
korvic_test console there.

The run's directory, named in KORVIC_SIM_RUN_DIR, holds a korvic_cfg.dat for board 1 and
korvic_cfg.K.dat for board K. KORVIC_CONFIG, which korvic, korvicd and Python's
korvic.Board() read, names the working directory's own korvic_cfg.dat where there is one,
else board 1's in the run's directory; an inherited KORVIC_CONFIG is replaced (said on
standard error). A C program (init_847) reads ./korvic_cfg.dat only: give it one with
--workdir, or cp "$KORVIC_CONFIG" korvic_cfg.dat.

Options (each that takes a value also as --OPTION=VALUE). An option shown with [K:]
sets every board, or with "K:" before its value only board K (--offset 2:+3s).
  --boards N            simulate N boards (1 to 64, default 1). Board 1 is
                        /dev/korvic_sim/board and /dev/korvic_sim/bridge with
                        korvic_cfg.dat, board K /dev/korvic_sim/boardK and
                        /dev/korvic_sim/bridgeK with korvic_cfg.K.dat
  --trace FILE          write a human-readable trace of every register access to FILE
                        ("-": standard error); FILE is made anew, and every process of
                        the run adds its accesses to it, after a line naming the process.
                        A line that cannot be written is said on standard error at once
                        and fails the run: the process that lost it, and PROGRAM, end
                        with status 1 where they would have ended with 0 (the one
                        place where the simulator changes what a program returns)
  --trace-tsv FILE      write the same trace as tab-separated lines, for programs, with
                        the process id in the last column; fails the run as --trace does
  --start [K:]TIME      board time at power-up (default: the host's UTC time now).
                        TIME is a calendar date "YYYY-MM-DDThh:mm:ss[.ffffff]" (a
                        blank for the T allowed), "@SECONDS[.ffffff]" since 1970, or
                        the board's own day of the year, counted from 0 as the board
                        counts it: "YYYY+DDDd hh:mm:ss[.ffffff]" (2026+100d is April
                        11th); years 1970 to 9999. An ISO 8601 ordinal date
                        (2026-100, days from 001) is refused: the board counts its
                        days from 000, and the two readings are a day apart
  --virtual             virtual clocks: a board's time moves only by its --step per
                        register access to it (default: the boards run on the host's
                        clock); takes no value
  --step [K:]DURATION   virtual clock advance per register access, at most 24h;
                        implies --virtual. DURATION is a number with a unit, ns, us,
                        ms, s, min or h, with a decimal fraction if wanted (1.5s,
                        250ms), in whole microseconds; 0 needs no unit
  --offset [K:]DURATION keep the board's time at the host's UTC time plus DURATION
                        (signed: -1.5s, +250ms); not with --virtual, nor with --start
                        for the same board
  --drift [K:]PPM       the board's clock runs PPM parts per million fast (-PPM: slow),
                        up to 100000 either way, three decimals at most (12.5)
  --stop-at [K:]AT[:FOR]
                        the board's time stands still from AT after the start of the
                        run for FOR (default: to the end of the run), then runs on from
                        where it stood; may be given again for more stand-stills
  --jump-at [K:]AT:STEP the board's time steps by STEP (signed: +2s, -500ms) at AT
                        after the start of the run; may be given again
  --status-at [K:]AT:BIT=VALUE[:FOR]
                        status bit BIT (8, 10, 12 or 13; not 9, the compare event
                        flag) reads VALUE (0 or 1) from AT after the start of the run
                        for FOR (default: to the end of the run); only what the bit
                        reads changes; may be given again (10s:8=0:5s)
  --leap-at [K:]TIME[:insert|:delete][:60|:repeat]
                        the board plays a leap second before TIME (a whole minute of
                        board time, as --start takes it: 2017-01-01T00:00:00Z) when
                        its time runs across it: inserted (default), shown as
                        23:59:60 (default) or as 23:59:59 twice, then one second
                        behind; or deleted, 23:59:59 skipped, then one second ahead
  --bus-order [K:]ORDER "native" (default) or "swapped": every register word is
                        presented byte-reversed, as a big-endian host sees the board;
                        then only BYTE_SWAP=1 in korvic_cfg.dat reads correct times
  --ext-period [K:]DURATION
                        capture an external event at every whole multiple of DURATION
                        of board time (above 0, at most 24h)
  --ext-signal [K:]SIGNAL
                        capture an external event whenever a program of the run that
                        has opened the board receives SIGNAL: USR1, USR2, ALRM, VTALRM,
                        URG, WINCH, IO, PWR or RTMIN+n, by name (with or without SIG) or
                        number
  --mem-path [K:]PATH   register device path to simulate (default above)
  --int-path [K:]PATH   bridge device path to simulate (default above); each path at
                        most 118 characters, without blanks, every path another
  --workdir DIR         the working directory (created if needed): korvic_sim writes a
                        korvic_cfg.dat (and korvic_cfg.K.dat) for the simulated devices
                        there, unless one of your own is there, and runs PROGRAM or
                        korvic_test in it (default: PROGRAM in the current directory,
                        korvic_test in a new directory under $TMPDIR that is removed
                        afterwards)
  -h, --help            show this help and exit

AT of --stop-at, --jump-at and --status-at counts from the start of the run (the
boards' power-up, just before PROGRAM starts) on the host's monotonic clock, or with
--virtual on the board's virtual clock. A value that begins with digits and a colon is
read as a K: prefix: write 0s, not 0, for the start of the run (--stop-at 0s:5s).

Options override the KORVIC_SIM_* environment variables of the same meaning (an
option without K: the board variables KORVIC_SIM_NAME_K too); both are checked alike.
A bad option or variable is a usage error (exit status 2), found before anything runs.
The boards' shared state is a file in a directory of the launcher's own under $TMPDIR,
removed when the program ends. The preload library is found at )" KORVIC_SIM_PRELOAD_RELPATH
                               R"( relative to
this program, or at the path in KORVIC_SIM_PRELOAD. The console is the korvic_test
beside this program.
)";

[[noreturn]] void fail(const std::string &msg, int status) {
    std::fprintf(stderr, "korvic_sim: %s\n", korvic::detail::printable(msg).c_str());
    std::exit(status);
}

[[noreturn]] void usage_error(const std::string &msg) {
    fail(msg, 2);
}

std::string self_dir() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        fail("cannot find this program's own path (/proc/self/exe)", 1);
    buf[n] = '\0';
    std::string path(buf);
    return path.substr(0, path.rfind('/'));
}

bool readable(const std::string &path) {
    return access(path.c_str(), R_OK) == 0;
}

void set_env(const char *name, const std::string &value) {
    if (setenv(name, value.c_str(), 1) != 0)
        fail(std::string("cannot set ") + name, 1);
}

void append_env(const char *name, const std::string &item, char sep) {
    const char *old = std::getenv(name);
    if (old == nullptr || *old == '\0')
        set_env(name, item);
    else
        set_env(name, std::string(old) + sep + item);
}

// Paths are taken from where korvic_sim was started, even when it then runs the program in
// another working directory.
std::string absolute(const std::string &path) {
    if (path.empty() || path == "-" || path[0] == '/')
        return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        fail("cannot find the current directory", 1);
    return std::string(cwd) + "/" + path;
}

// Makes `dir` the working directory, and says so in PWD as a shell's cd does.
void enter(const std::string &dir) {
    char cwd[4096];
    if (chdir(dir.c_str()) != 0 || getcwd(cwd, sizeof cwd) == nullptr)
        fail("cannot enter " + shown(dir) + ": " + std::strerror(errno), 1);
    set_env("PWD", cwd);
}

// ---------------------------------------------------------------------------------------
// Options: one table, each row a name, whether it takes a value, and its handler. Option
// values that are simulator settings go through the same checks as the KORVIC_SIM_*
// variables, and are handed on as those variables: a per-board option given as "K:VALUE"
// as the board's own variable KORVIC_SIM_NAME_K.
// ---------------------------------------------------------------------------------------

// A per-board option given for one board, checked against the number of boards once every
// option is read (--boards may come later).
struct BoardUse {
    int board;
    std::string option;
    std::string value;
};

struct Options {
    std::map<std::string, std::string, std::less<>> settings;  // KORVIC_SIM_* to set
    std::vector<BoardUse> board_uses;
    std::optional<std::string> workdir;
    std::vector<std::string> program;
};

struct OptionSpec;
using Handler = void (*)(const OptionSpec &, const std::string &value, Options &);

enum class Scope : std::uint8_t {
    Run,        // one setting for the run
    Board,      // per board; a later value replaces an earlier one
    BoardList,  // per board; every value adds to the list
};

struct OptionSpec {
    std::string_view name;
    std::string_view short_name;  // empty: none
    bool takes_value;
    const char *setting;  // the KORVIC_SIM_* variable the option sets, if any
    Scope scope;
    Handler handle;
};

// The value after a leading "K:" (digits and a colon), and K; 0 when there is none.
std::pair<int, std::string> split_board(const OptionSpec &opt, const std::string &value) {
    std::size_t n = 0;
    while (n < value.size() && value[n] >= '0' && value[n] <= '9')
        ++n;
    if (n == 0 || n >= value.size() || value[n] != ':')
        return {0, value};
    const long k = n <= 3 ? std::strtol(value.substr(0, n).c_str(), nullptr, 10) : kMaxBoards + 1;
    if (k < 1 || k > kMaxBoards)
        usage_error(std::string(opt.name) + " " + quote(value) + ": no board " +
                    value.substr(0, n) + " (boards are numbered from 1 to at most " +
                    std::to_string(kMaxBoards) + ")");
    return {static_cast<int>(k), value.substr(n + 1)};
}

void set_setting(const OptionSpec &opt, const std::string &value, Options &o) {
    const auto [board, text] =
        opt.scope == Scope::Run ? std::pair<int, std::string>{0, value} : split_board(opt, value);
    SimSettings checked;
    std::string why = "an empty value";
    if (text.empty() || !apply_setting(opt.setting, text, &checked, &why))
        usage_error(std::string(opt.name) + " " + quote(value) + ": " + why);
    const std::string name = board == 0 ? opt.setting : board_variable(opt.setting, board);
    std::string &slot = o.settings[name];
    slot = opt.scope == Scope::BoardList && !slot.empty() ? slot + "," + text : text;
    if (board != 0)
        o.board_uses.push_back({board, std::string(opt.name), value});
    // Without K: the option sets every board, over what an earlier K: set.
    if (board == 0 && opt.scope == Scope::Board)
        for (int k = 1; k <= kMaxBoards; ++k)
            o.settings.erase(board_variable(opt.setting, k));
}

void set_trace(const OptionSpec &opt, const std::string &value, Options &o) {
    set_setting(opt, value, o);
    o.settings[opt.setting] = absolute(value);
}

void set_step(const OptionSpec &opt, const std::string &value, Options &o) {
    set_setting(opt, value, o);
    o.settings[kEnvClock] = "virtual";
}

void set_virtual(const OptionSpec &, const std::string &, Options &o) {
    o.settings[kEnvClock] = "virtual";
}

void set_workdir(const OptionSpec &opt, const std::string &value, Options &o) {
    if (value.empty())
        usage_error(std::string(opt.name) + " \"\": an empty value");
    o.workdir = value;
}

// Standard descriptors that the caller closed: /dev/null holds their numbers while the
// launcher works, so that none of its own descriptors (the owner record, the watcher's)
// takes one, and the program gets them closed again, as it was started. Standard output
// as it was found, for the help.
int g_plugged = 0;
const char *g_output_problem = nullptr;

void unplug_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd)
        if ((g_plugged & (1 << fd)) != 0)
            close(fd);
}

// The help is what was asked for: when it cannot be written, that is a failure.
void show_help(const OptionSpec &, const std::string &, Options &) {
    if (g_output_problem != nullptr)
        fail(std::string("standard output ") + g_output_problem, 1);
    std::exit(korvic::program::write_standard_output("korvic_sim", kUsage) ? 0 : 1);
}

constexpr OptionSpec kOptions[] = {
    {"--boards", "", true, kEnvBoards, Scope::Run, &set_setting},
    {"--trace", "", true, kEnvTrace, Scope::Run, &set_trace},
    {"--trace-tsv", "", true, kEnvTraceTsv, Scope::Run, &set_trace},
    {"--start", "", true, kEnvStart, Scope::Board, &set_setting},
    {"--virtual", "", false, nullptr, Scope::Run, &set_virtual},
    {"--step", "", true, kEnvStep, Scope::Board, &set_step},
    {"--offset", "", true, kEnvOffset, Scope::Board, &set_setting},
    {"--drift", "", true, kEnvDrift, Scope::Board, &set_setting},
    {"--stop-at", "", true, kEnvStopAt, Scope::BoardList, &set_setting},
    {"--jump-at", "", true, kEnvJumpAt, Scope::BoardList, &set_setting},
    {"--status-at", "", true, kEnvStatusAt, Scope::BoardList, &set_setting},
    {"--leap-at", "", true, kEnvLeapAt, Scope::Board, &set_setting},
    {"--bus-order", "", true, kEnvBusOrder, Scope::Board, &set_setting},
    {"--ext-period", "", true, kEnvExtPeriod, Scope::Board, &set_setting},
    {"--ext-signal", "", true, kEnvExtSignal, Scope::Board, &set_setting},
    {"--mem-path", "", true, kEnvMemPath, Scope::Board, &set_setting},
    {"--int-path", "", true, kEnvIntPath, Scope::Board, &set_setting},
    {"--workdir", "", true, nullptr, Scope::Run, &set_workdir},
    {"--help", "-h", false, nullptr, Scope::Run, &show_help},
};

Options parse(int argc, char **argv) {
    Options o;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.empty() || arg[0] != '-')
            break;
        std::string name = arg, value;
        bool has_value = false;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            has_value = true;
        }
        const OptionSpec *opt = std::find_if(
            std::begin(kOptions), std::end(kOptions), [&name](const OptionSpec &option) {
                return name == option.name ||
                       (!option.short_name.empty() && name == option.short_name);
            });
        if (opt == std::end(kOptions))
            usage_error("unknown option " + shown(name) + " (see --help)");
        if (!opt->takes_value && has_value)
            usage_error(name + " takes no value (given " + quote(value) + ")");
        if (opt->takes_value && !has_value) {
            if (i + 1 >= argc)
                usage_error(name + " needs a value (see --help)");
            value = argv[++i];
        }
        opt->handle(*opt, value, o);
    }
    for (; i < argc; ++i)
        o.program.emplace_back(argv[i]);
    return o;
}

// The per-board variable that `name` is board K's form of ("KORVIC_SIM_OFFSET" for
// "KORVIC_SIM_OFFSET_2"), or empty.
std::string_view board_form_of(std::string_view name) {
    const std::size_t under = name.rfind('_');
    if (under == std::string_view::npos || under + 1 == name.size() ||
        name.find_first_not_of("0123456789", under + 1) != std::string_view::npos)
        return {};
    const std::string_view base = name.substr(0, under);
    return is_board_variable(base) ? base : std::string_view{};
}

// What the program will see for the variable `name`: the options' value, else (unless an
// option without K: set every board) the environment's.
const char *setting_for(const Options &o, const char *name) {
    if (const auto it = o.settings.find(name); it != o.settings.end())
        return it->second.c_str();
    if (const std::string_view base = board_form_of(name); !base.empty() && o.settings.count(base))
        return nullptr;
    return std::getenv(name);
}

bool platform_supported() {
#if defined(__x86_64__) && defined(__linux__)
    utsname u{};
    return uname(&u) == 0 && std::strcmp(u.machine, "x86_64") == 0;
#else
    return false;
#endif
}

// ---------------------------------------------------------------------------------------
// Files the launcher makes: the trace files and korvic_cfg.dat.
// ---------------------------------------------------------------------------------------

// Creates (or empties) a trace file once for the whole run; the processes append to it.
void create_trace(const std::string &path, bool machine) {
    if (path.empty() || path == "-")
        return;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || (machine && !write_machine_header(fd)))
        usage_error("cannot write the trace file " + shown(path) + ": " + std::strerror(errno));
    close(fd);
}

// Board 1's configuration file is korvic_cfg.dat, board k's korvic_cfg.k.dat.
std::string cfg_name(int k) {
    return k == 1 ? "korvic_cfg.dat" : "korvic_cfg." + std::to_string(k) + ".dat";
}

// Writes board k's configuration file into dirfd (dir for messages), unless one of the
// user's own is there.
void write_cfg(int dirfd, const std::string &dir, int k, const BoardSettings &b) {
    const std::string name = cfg_name(k);
    const std::string cfg = dir + "/" + name;
    int flags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC;
    struct stat st {};
    if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        // Any file that is there and not ours, even an empty one, is the user's.
        if (!S_ISREG(st.st_mode) || !cfg_written_by_launcher(dirfd, name.c_str())) {
            std::fprintf(stderr, "korvic_sim: keeping the existing %s\n", shown(cfg).c_str());
            return;
        }
        flags |= O_TRUNC;
    } else if (errno == ENOENT) {
        flags |= O_CREAT | O_EXCL;
    } else {
        fail("cannot look at " + shown(cfg) + ": " + std::strerror(errno), 1);
    }
    const std::string which =
        k == 1 ? "the simulated board" : "simulated board " + std::to_string(k);
    const std::string text = std::string(kCfgMarker) + "\n" + "# Devices served by " + which +
                             ".\n" + "MEM_PATH=" + b.mem_path + "\n" + "INT_PATH=" + b.int_path +
                             "\n" + "ENABLE_INT\n" +
                             "BYTE_SWAP=" + (b.bus_order == BusOrder::Swapped ? "1" : "0") + "\n";
    const int fd = openat(dirfd, name.c_str(), flags, 0644);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        fail("cannot write " + shown(cfg) + ": " + std::strerror(errno), 1);
    close(fd);
}

// KORVIC_CONFIG for the program, in its working directory: its own korvic_cfg.dat where
// there is one, else board 1's in the run's directory. A value inherited from the caller
// (a shell that exports the real board's) is replaced, and said so: a simulated run must
// never reach a real board.
void point_config(const std::string &run_dir) {
    struct stat st {};
    const std::string config =
        stat("korvic_cfg.dat", &st) == 0 ? "korvic_cfg.dat" : run_dir + "/korvic_cfg.dat";
    const char *inherited = std::getenv(kEnvConfig);
    if (inherited != nullptr && *inherited != '\0' && config != inherited)
        std::fprintf(stderr, "korvic_sim: %s=%s replaced by %s for this run\n", kEnvConfig,
                     shown(inherited).c_str(), shown(config).c_str());
    set_env(kEnvConfig, config);
}

void prepare_workdir(const std::string &dir, const SimSettings &s) {
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        fail("cannot create the working directory " + shown(dir) + ": " + std::strerror(errno), 1);
    const int dirfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0)
        fail("cannot use the working directory " + shown(dir) + ": " + std::strerror(errno), 1);
    for (int k = 1; k <= static_cast<int>(s.boards.size()); ++k)
        write_cfg(dirfd, dir, k, s.board(k));
    close(dirfd);
}

// ---------------------------------------------------------------------------------------
// The scratch directory: where the boards' shared state lives for the run, and the
// console's working directory when none is given. It holds an owner record, locked for as
// long as the run lives (by the launcher, or the watcher of the program), with the pid of
// the program or the console. A directory whose lock is free and whose program is gone was
// left behind by a run that was killed outright; the next launcher removes it. Nothing
// else is ever removed: only directories named korvic_sim.XXXXXX, of this user, holding
// an owner record, and in them only the files the launcher made.
// ---------------------------------------------------------------------------------------

constexpr std::string_view kScratchPrefix = "korvic_sim.";
constexpr std::size_t kScratchNameLength = kScratchPrefix.size() + 6;  // mkdtemp's XXXXXX

struct Scratch {
    std::string parent;  // $TMPDIR
    std::string name;    // korvic_sim.XXXXXX
    int owner_fd = -1;   // locked until the run ends

    std::string path() const { return parent + "/" + name; }
};

Scratch make_scratch(const std::string &parent) {
    std::string path = parent + "/korvic_sim.XXXXXX";
    if (mkdtemp(path.data()) == nullptr)
        fail("cannot create the simulator's directory in " + shown(parent) + ": " +
                 std::strerror(errno) + " (set TMPDIR to another directory)",
             1);
    // Made under another name and renamed once locked: no later launcher can ever find the
    // record unlocked while this one lives.
    const std::string part = path + "/" + kOwnerName + ".new";
    const std::string owner = path + "/" + kOwnerName;
    const int fd = open(part.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 || flock(fd, LOCK_EX) != 0 || rename(part.c_str(), owner.c_str()) != 0)
        fail("cannot write " + shown(owner) + ": " + std::strerror(errno), 1);
    const std::string line = "launcher " + std::to_string(getpid()) + "\n";
    (void)!write(fd, line.data(), line.size());
    return {parent, path.substr(parent.size() + 1), fd};
}

// `what` is "program" or "console".
void record_pid(const Scratch &s, const char *what, pid_t pid) {
    const std::string line = std::string(what) + " " + std::to_string(pid) + "\n";
    (void)!write(s.owner_fd, line.data(), line.size());
}

// True while the process `pid` exists and has not ended (a zombie has ended).
bool process_alive(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (in && std::getline(in, stat)) {
        const auto paren = stat.rfind(')');
        return paren == std::string::npos || paren + 2 >= stat.size() ||
               (stat[paren + 2] != 'Z' && stat[paren + 2] != 'X');
    }
    return kill(pid, 0) == 0 || errno == EPERM;
}

// Removes what the launcher put in a scratch directory, then the directory itself, which
// stays when anything else was put there.
void remove_scratch(int parent_fd, const char *name) {
    const int dirfd = openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirfd < 0)
        return;
    remove_run_files(parent_fd, name, dirfd);
    close(dirfd);
}

// The pid after "program " or "console " in an owner record, or 0.
pid_t recorded_pid(const char *record) {
    for (const char *key : {"program ", "console "})
        if (const char *at = std::strstr(record, key))
            return static_cast<pid_t>(std::strtol(at + std::strlen(key), nullptr, 10));
    return 0;
}

// Removes the scratch directory `name` under parent_fd if it is provably a stale one of
// ours: this user's, with an owner record whose lock nobody holds, whose program is gone.
bool remove_if_stale(int parent_fd, const std::string &name) {
    const int dirfd =
        openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirfd < 0)
        return false;
    struct stat st {};
    bool stale = fstat(dirfd, &st) == 0 && st.st_uid == getuid();
    const int owner = stale ? openat(dirfd, kOwnerName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1;
    close(dirfd);
    stale = owner >= 0 && fstat(owner, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == getuid() &&
            flock(owner, LOCK_EX | LOCK_NB) == 0;
    if (stale) {
        char buf[128] = {};
        const ssize_t n = read(owner, buf, sizeof buf - 1);
        const pid_t pid = n > 0 ? recorded_pid(buf) : 0;
        if (pid > 0 && process_alive(pid))
            stale = false;
    }
    if (stale)
        remove_scratch(parent_fd, name.c_str());
    if (owner >= 0)
        close(owner);
    return stale;
}

void remove_stale_scratches(const std::string &parent) {
    const int parent_fd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent_fd < 0)
        return;
    DIR *d = opendir(parent.c_str());
    std::vector<std::string> candidates;
    while (d != nullptr) {
        // cppcheck-suppress readdirCalled ; one thread, one directory stream: readdir is safe
        const dirent *e = readdir(d);
        if (e == nullptr)
            break;
        const std::string_view name = e->d_name;
        if (name.size() == kScratchNameLength && name.starts_with(kScratchPrefix))
            candidates.emplace_back(name);
    }
    if (d != nullptr)
        closedir(d);
    for (const std::string &name : candidates)
        if (remove_if_stale(parent_fd, name))
            std::fprintf(stderr,
                         "korvic_sim: removed %s/%s, left behind by an earlier korvic_sim\n",
                         shown(parent).c_str(), name.c_str());
    close(parent_fd);
}

// Powers the boards up in the scratch directory's state file and makes their device files;
// the state file's path.
std::string power_up(const Scratch &scratch, const SimSettings &settings) {
    std::string path = scratch.path() + "/" + kStateName;
    try {
        const Simulator boards(settings,
                               SharedRun::create(path, static_cast<int>(settings.boards.size())),
                               PowerUp::Yes, -1, -1);
        create_device_files(path, static_cast<int>(settings.boards.size()));
    } catch (const std::exception &e) {
        const int parent_fd = open(scratch.parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (parent_fd >= 0) {
            remove_scratch(parent_fd, scratch.name.c_str());
            close(parent_fd);
        }
        fail("cannot make the simulated boards: " + korvic::detail::message_of(e), 1);
    }
    return path;
}

// ---------------------------------------------------------------------------------------
// A program runs in the launcher's own process, so that its pid, its parent, the signals
// sent to it and its exit status are the launcher's. When it exits, the preload library
// removes the scratch directory (the program's pid is in KORVIC_SIM_PROGRAM_PID); when it
// dies of a signal, the watcher does: a process of its own, outside the program's session
// and process group, that holds the owner record's lock for the run.
// ---------------------------------------------------------------------------------------

// Starts the watcher of this process (which is about to become the program). It is not a
// child of the program (the program might wait for children it does not know). Without
// pidfds the watcher is not started, and the next launcher removes a directory left
// behind.
void start_watcher(const Scratch &scratch) {
    const int program = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0));
    if (program < 0)
        return;
    const int parent_fd = open(scratch.parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int dirfd = open(scratch.path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const pid_t middle = parent_fd >= 0 && dirfd >= 0 ? fork() : -1;
    if (middle == 0) {
        setsid();  // no terminal: no Ctrl-C, no hangup of the program's
        if (fork() != 0)
            _exit(0);
        const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        for (int fd = 0; fd <= 2; ++fd)
            dup2(null, fd);
        if (chdir("/") != 0) {
            // Stays where it is; it removes nothing by a relative name.
        }
        // Nothing of the program's stays open here but what the watcher needs.
        int keep[] = {program, parent_fd, dirfd, scratch.owner_fd};
        std::sort(std::begin(keep), std::end(keep));
        unsigned from = 3;
        for (const int fd : keep) {
            if (fd > static_cast<int>(from))
                close_range(from, static_cast<unsigned>(fd) - 1, 0);
            from = static_cast<unsigned>(fd) + 1;
        }
        close_range(from, ~0u, 0);
        pollfd p{program, POLLIN, 0};
        while (poll(&p, 1, -1) < 0 && errno == EINTR) {
        }
        remove_run_files(parent_fd, scratch.name.c_str(), dirfd);
        _exit(0);
    }
    close(program);
    if (parent_fd >= 0)
        close(parent_fd);
    if (dirfd >= 0)
        close(dirfd);
    if (middle > 0) {
        while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

// ---------------------------------------------------------------------------------------
// The console in a scratch directory: the launcher stays its parent, to remove the
// directory afterwards.
// ---------------------------------------------------------------------------------------

volatile sig_atomic_t g_console = 0;

// SIGTERM and SIGHUP to the launcher (a hangup when its terminal closes) go on to the
// console, which then ends; the launcher ends after it, and removes the directory.
extern "C" void pass_on(int sig) {
    const pid_t console = g_console;
    if (console > 0)
        kill(console, sig);
}

// Runs the console, waits, and removes the directory with the korvic_cfg.dat it wrote
// (anything the user left there keeps it). The terminal's SIGINT and SIGQUIT are the
// console's: the launcher ignores them while it waits. The console's exit status is
// passed on; a console killed by a signal kills the launcher with the same signal.
// SIGTERM and SIGHUP are blocked on entry (`old_mask` is the mask before).
int run_console(const std::vector<char *> &argv, const Scratch &scratch, const sigset_t &old_mask) {
    constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};
    struct sigaction saved[4];
    for (int i = 0; i < 4; ++i) {
        struct sigaction sa {};
        sigemptyset(&sa.sa_mask);
        sigaction(kSignals[i], nullptr, &saved[i]);
        const bool pass = kSignals[i] == SIGTERM || kSignals[i] == SIGHUP;
        // A signal ignored from the start (nohup) stays ignored.
        sa.sa_handler = pass && saved[i].sa_handler != SIG_IGN ? pass_on : SIG_IGN;
        sigaction(kSignals[i], &sa, nullptr);
    }
    const pid_t launcher = getpid();
    const pid_t child = fork();
    if (child < 0)
        fail(std::string("cannot start the console: ") + std::strerror(errno), 1);
    if (child == 0) {
        for (int i = 0; i < 4; ++i)
            sigaction(kSignals[i], &saved[i], nullptr);
        // The console ends with the launcher, even when the launcher is killed outright.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        sigprocmask(SIG_SETMASK, &old_mask, nullptr);
        if (getppid() != launcher)  // it died before the line above took effect
            raise(SIGTERM);
        unplug_standard_descriptors();
        execv(argv[0], argv.data());
        std::fprintf(stderr, "korvic_sim: cannot run %s: %s\n", shown(argv[0]).c_str(),
                     std::strerror(errno));
        _exit(127);
    }
    g_console = child;
    record_pid(scratch, "console", child);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);

    // Wait for the console's end without reaping it, so that its pid cannot be reused while
    // pass_on may still send to it.
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    sigset_t pass;
    sigemptyset(&pass);
    sigaddset(&pass, SIGTERM);
    sigaddset(&pass, SIGHUP);
    sigprocmask(SIG_BLOCK, &pass, nullptr);
    g_console = 0;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }

    if (chdir("/") == 0) {
        const int parent_fd = open(scratch.parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (parent_fd >= 0) {
            remove_scratch(parent_fd, scratch.name.c_str());
            close(parent_fd);
        }
    }
    close(scratch.owner_fd);
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        std::signal(sig, SIG_DFL);
        sigset_t just;
        sigemptyset(&just);
        sigaddset(&just, sig);
        sigprocmask(SIG_UNBLOCK, &just, nullptr);
        raise(sig);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char **argv) {
    g_output_problem = korvic::program::standard_output_problem();
    g_plugged = korvic::program::plug_closed_standard_descriptors();
    if (g_plugged < 0)
        fail(std::string("/dev/null for a closed standard descriptor: ") + std::strerror(errno), 1);
    const Options o = parse(argc, argv);

    // The settings as the program will see them: the options over the environment.
    std::string error;
    const auto lookup = [&o](const char *name) { return setting_for(o, name); };
    const std::optional<SimSettings> settings = settings_from_env(lookup, &error);
    if (!settings)
        usage_error(error);
    const int boards = static_cast<int>(settings->boards.size());
    for (const BoardUse &use : o.board_uses)
        if (use.board > boards)
            usage_error(use.option + " " + quote(use.value) + ": no board " +
                        std::to_string(use.board) + " (" + std::to_string(boards) +
                        (boards == 1 ? " board; see --boards)" : " boards; see --boards)"));

    if (!platform_supported())
        fail("the simulated board needs x86-64 Linux; this platform cannot run it", 1);
    const std::string dir = self_dir();
    std::string preload = dir + "/" + KORVIC_SIM_PRELOAD_RELPATH;
    if (const char *p = std::getenv(kEnvPreload); p != nullptr && *p != '\0')
        preload = p;
    if (!readable(preload))
        fail("cannot find the preload library " + shown(preload) + " (set " + kEnvPreload + ")", 1);
    char resolved[4096];
    if (realpath(preload.c_str(), resolved) != nullptr)
        preload = resolved;
    std::vector<std::string> program = o.program;
    if (program.empty()) {
        program.push_back(dir + "/korvic_test");
        if (access(program[0].c_str(), X_OK) != 0)
            fail("cannot find the console " + program[0], 1);
    } else if (o.workdir && program[0].find('/') != std::string::npos) {
        program[0] = absolute(program[0]);  // run from the working directory
    }

    // Everything is checked; from here on the launcher acts.
    const std::string trace = absolute(settings->trace_path);
    const std::string trace_tsv = absolute(settings->trace_tsv_path);
    create_trace(trace, false);
    create_trace(trace_tsv, true);
    for (const auto &[name, value] : o.settings)
        set_env(name.c_str(), value);
    // An option without K: stands for every board: no board variable of the environment
    // may override it in the program's settings.
    for (const auto &[name, value] : o.settings)
        if (is_board_variable(name))
            for (int k = 1; k <= kMaxBoards; ++k)
                if (!o.settings.count(board_variable(name, k)))
                    unsetenv(board_variable(name, k).c_str());
    if (!trace.empty())
        set_env(kEnvTrace, trace);
    if (!trace_tsv.empty())
        set_env(kEnvTraceTsv, trace_tsv);
    append_env("LD_PRELOAD", preload, ':');
    // A program built with AddressSanitizer insists that its runtime comes first among the
    // loaded libraries; the preload library comes before it, which is harmless here.
    const char *asan = std::getenv("ASAN_OPTIONS");
    if (asan == nullptr || std::strstr(asan, "verify_asan_link_order") == nullptr)
        append_env("ASAN_OPTIONS", "verify_asan_link_order=0", ':');

    std::vector<char *> args;
    args.reserve(program.size() + 1);
    std::transform(program.begin(), program.end(), std::back_inserter(args),
                   [](std::string &a) { return a.data(); });
    args.push_back(nullptr);

    // SIGTERM and SIGHUP wait until the program runs (or the console, to which they are
    // passed on), so that no directory is made and then left behind.
    sigset_t pass, old_mask;
    sigemptyset(&pass);
    sigaddset(&pass, SIGTERM);
    sigaddset(&pass, SIGHUP);
    sigprocmask(SIG_BLOCK, &pass, &old_mask);
    const char *tmp = std::getenv("TMPDIR");
    const std::string parent = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    remove_stale_scratches(parent);
    const Scratch scratch = make_scratch(parent);
    set_env(kEnvShared, power_up(scratch, *settings));
    // The run's directory holds every board's configuration, for programs that read
    // KORVIC_CONFIG and for copying (board K's: korvic_cfg.K.dat).
    prepare_workdir(scratch.path(), *settings);
    set_env(kEnvRunDir, scratch.path());
    const std::string what =
        boards == 1 ? "simulated board" : std::to_string(boards) + " simulated boards";

    if (o.program.empty() && !o.workdir) {
        const std::string work = scratch.path();
        enter(work);
        point_config(work);
        std::fprintf(stderr, "korvic_sim: %s, working directory %s\n", what.c_str(),
                     shown(work).c_str());
        return run_console(args, scratch, old_mask);
    }
    if (o.workdir) {
        prepare_workdir(*o.workdir, *settings);
        enter(*o.workdir);
        if (o.program.empty())
            std::fprintf(stderr, "korvic_sim: %s, working directory %s\n", what.c_str(),
                         shown(*o.workdir).c_str());
    }
    point_config(scratch.path());
    record_pid(scratch, "program", getpid());
    set_env(kEnvProgramPid, std::to_string(getpid()));
    start_watcher(scratch);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    unplug_standard_descriptors();
    execvp(args[0], args.data());
    std::fprintf(stderr, "korvic_sim: cannot run %s: %s\n", shown(args[0]).c_str(),
                 std::strerror(errno));
    return 127;
}
