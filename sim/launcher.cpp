// korvic_sim: runs a program against the simulated board.
//
//   korvic_sim [options] [--] PROGRAM [ARGS...]
//   korvic_sim [options]                 (prepares a working directory, starts korvic_test)
//
// It puts libkorvic_sim.so into LD_PRELOAD, passes its settings in KORVIC_SIM_* variables
// and execs the program. The program itself is unchanged: it reads korvic_cfg.dat as
// always, and the paths that file names for the register and bridge devices are served by
// the simulator.
//
// Every option is checked before anything happens: a usage error (status 2) starts no
// program and creates, truncates or removes no file.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings.h"
#include "trace.h"

#ifndef KORVIC_SIM_PRELOAD_RELPATH
#define KORVIC_SIM_PRELOAD_RELPATH "../lib/libkorvic_sim.so"
#endif

namespace {

using namespace korvic::sim;

constexpr const char *kUsage = R"(Usage: korvic_sim [OPTIONS] [--] PROGRAM [ARGS...]
       korvic_sim [OPTIONS]

Runs PROGRAM (any program that uses the korvic_api library) against a simulated
korvic timing board. The program reads korvic_cfg.dat from its working directory as
always; the register and bridge device paths named there are served by the simulator.
With no PROGRAM, korvic_sim writes a korvic_cfg.dat for the simulated devices into a
working directory and starts the korvic_test console there.

Options (each that takes a value also as --OPTION=VALUE):
  --trace FILE          write a human-readable trace of every register access to FILE
                        ("-": standard error); FILE is made anew, and every process of
                        the run adds its accesses to it, after a line naming the process
  --trace-tsv FILE      write the same trace as tab-separated lines, for programs, with
                        the process id in the last column
  --start TIME          board time at power-up (default: the host's UTC time now).
                        TIME is "YYYY-DDD hh:mm:ss[.ffffff]" (day of year from 0),
                        "YYYY-MM-DD hh:mm:ss[.ffffff]", either with T for the blank,
                        or "@SECONDS[.ffffff]" since 1970; years 1970 to 9999
  --virtual             virtual clock: time moves only by --step per register access
                        (default: the board runs on the host's clock); takes no value
  --step DURATION       virtual clock advance per register access, at most 24h;
                        implies --virtual. DURATION is a number with a unit, us, ms,
                        s, min or h, with a decimal fraction if wanted (1.5s, 250ms);
                        0 needs no unit
  --bus-order ORDER     "native" (default) or "swapped": every register word is
                        presented byte-reversed, as a big-endian host sees the board;
                        then only BYTE_SWAP=1 in korvic_cfg.dat reads correct times
  --ext-period DURATION capture an external event at every whole multiple of DURATION
                        of board time (above 0, at most 24h)
  --ext-signal SIGNAL   capture an external event whenever the program receives SIGNAL:
                        USR1, USR2, ALRM, VTALRM, URG, WINCH, IO, PWR or RTMIN+n, by
                        name (with or without SIG) or number
  --mem-path PATH       register device path to simulate (default /dev/korvic_sim/board)
  --int-path PATH       bridge device path to simulate (default /dev/korvic_sim/bridge);
                        each path at most 118 characters, without blanks
  --workdir DIR         the working directory (created if needed): korvic_sim writes a
                        korvic_cfg.dat for the simulated devices there, unless one of
                        your own is there, and runs PROGRAM or korvic_test in it
                        (default: PROGRAM in the current directory, korvic_test in a new
                        directory under $TMPDIR that is removed afterwards)
  -h, --help            show this help and exit

Options override the KORVIC_SIM_* environment variables of the same meaning; both
are checked alike. A bad option or variable is a usage error (exit status 2), found
before anything runs. The preload library is found at )" KORVIC_SIM_PRELOAD_RELPATH
                               R"( relative to
this program, or at the path in KORVIC_SIM_PRELOAD. The console is the korvic_test
beside this program.
)";

[[noreturn]] void fail(const std::string &msg, int status) {
    std::fprintf(stderr, "korvic_sim: %s\n", msg.c_str());
    std::exit(status);
}

[[noreturn]] void usage_error(const std::string &msg) {
    fail(msg, 2);
}

std::string quoted(std::string_view v) {
    return "\"" + std::string(v) + "\"";
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
        fail("cannot enter " + dir + ": " + std::strerror(errno), 1);
    set_env("PWD", cwd);
}

// ---------------------------------------------------------------------------------------
// Options: one table, each row a name, whether it takes a value, and its handler. Option
// values that are simulator settings go through the same checks as the KORVIC_SIM_*
// variables, and are handed on as those variables.
// ---------------------------------------------------------------------------------------

struct Options {
    std::map<std::string, std::string, std::less<>> settings;  // KORVIC_SIM_* to set
    std::optional<std::string> workdir;
    std::vector<std::string> program;
};

struct OptionSpec;
using Handler = void (*)(const OptionSpec &, const std::string &value, Options &);

struct OptionSpec {
    std::string_view name;
    std::string_view short_name;  // empty: none
    bool takes_value;
    const char *setting;  // the KORVIC_SIM_* variable the option sets, if any
    Handler handle;
};

void set_setting(const OptionSpec &opt, const std::string &value, Options &o) {
    SimSettings checked;
    std::string why = "an empty value";
    if (value.empty() || !apply_setting(opt.setting, value, &checked, &why))
        usage_error(std::string(opt.name) + " " + quoted(value) + ": " + why);
    o.settings[opt.setting] = value;
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

void show_help(const OptionSpec &, const std::string &, Options &) {
    std::fputs(kUsage, stdout);
    std::exit(0);
}

constexpr OptionSpec kOptions[] = {
    {"--trace", "", true, kEnvTrace, &set_trace},
    {"--trace-tsv", "", true, kEnvTraceTsv, &set_trace},
    {"--start", "", true, kEnvStart, &set_setting},
    {"--virtual", "", false, nullptr, &set_virtual},
    {"--step", "", true, kEnvStep, &set_step},
    {"--bus-order", "", true, kEnvBusOrder, &set_setting},
    {"--ext-period", "", true, kEnvExtPeriod, &set_setting},
    {"--ext-signal", "", true, kEnvExtSignal, &set_setting},
    {"--mem-path", "", true, kEnvMemPath, &set_setting},
    {"--int-path", "", true, kEnvIntPath, &set_setting},
    {"--workdir", "", true, nullptr, &set_workdir},
    {"--help", "-h", false, nullptr, &show_help},
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
        const OptionSpec *opt = nullptr;
        for (const OptionSpec &spec : kOptions)
            if (name == spec.name || (!spec.short_name.empty() && name == spec.short_name))
                opt = &spec;
        if (opt == nullptr)
            usage_error("unknown option " + name + " (see --help)");
        if (!opt->takes_value && has_value)
            usage_error(name + " takes no value (given " + quoted(value) + ")");
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
        usage_error("cannot write the trace file " + path + ": " + std::strerror(errno));
    close(fd);
}

// The korvic_cfg.dat that the launcher writes starts with this line; a file without it is
// the user's own and is left alone.
constexpr std::string_view kCfgMarker = "# korvic_cfg.dat written by korvic_sim";
constexpr const char *kCfgName = "korvic_cfg.dat";

// True when the file at dirfd/name is a korvic_cfg.dat this launcher wrote.
bool cfg_is_ours(int dirfd, const char *name) {
    const int fd = openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[64] = {};
    const ssize_t n = read(fd, buf, kCfgMarker.size() + 1);
    close(fd);
    return n == static_cast<ssize_t>(kCfgMarker.size() + 1) &&
           std::string_view(buf, kCfgMarker.size()) == kCfgMarker && buf[kCfgMarker.size()] == '\n';
}

void prepare_workdir(const std::string &dir, const SimSettings &s) {
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        fail("cannot create the working directory " + dir + ": " + std::strerror(errno), 1);
    const int dirfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0)
        fail("cannot use the working directory " + dir + ": " + std::strerror(errno), 1);
    const std::string cfg = dir + "/" + kCfgName;
    int flags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC;
    struct stat st {};
    if (fstatat(dirfd, kCfgName, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        // Any file that is there and not ours, even an empty one, is the user's.
        if (!S_ISREG(st.st_mode) || !cfg_is_ours(dirfd, kCfgName)) {
            std::fprintf(stderr, "korvic_sim: keeping the existing %s\n", cfg.c_str());
            close(dirfd);
            return;
        }
        flags |= O_TRUNC;
    } else if (errno == ENOENT) {
        flags |= O_CREAT | O_EXCL;
    } else {
        fail("cannot look at " + cfg + ": " + std::strerror(errno), 1);
    }
    const std::string text =
        std::string(kCfgMarker) + "\n" + "# Devices served by the simulated board.\n" +
        "MEM_PATH=" + s.mem_path + "\n" + "INT_PATH=" + s.int_path + "\n" + "ENABLE_INT\n" +
        "BYTE_SWAP=" + (s.bus_order == BusOrder::Swapped ? "1" : "0") + "\n";
    const int fd = openat(dirfd, kCfgName, flags, 0644);
    close(dirfd);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        fail("cannot write " + cfg + ": " + std::strerror(errno), 1);
    close(fd);
}

// ---------------------------------------------------------------------------------------
// The scratch directory: the console's working directory when none is given. It holds an
// owner record, locked for as long as its launcher lives, with the console's pid. A
// directory whose lock is free and whose console is gone was left behind by a launcher
// that was killed outright; the next launcher removes it. Nothing else is ever removed:
// only directories named korvic_sim.XXXXXX, of this user, holding an owner record.
// ---------------------------------------------------------------------------------------

constexpr std::string_view kScratchPrefix = "korvic_sim.";
constexpr std::size_t kScratchNameLength = kScratchPrefix.size() + 6;  // mkdtemp's XXXXXX
constexpr const char *kOwnerName = ".korvic_sim.owner";

struct Scratch {
    std::string parent;  // $TMPDIR
    std::string name;    // korvic_sim.XXXXXX
    int owner_fd = -1;   // locked until the launcher ends
};

Scratch make_scratch(const std::string &parent) {
    std::string path = parent + "/korvic_sim.XXXXXX";
    if (mkdtemp(path.data()) == nullptr)
        fail("cannot create a working directory in " + parent + ": " + std::strerror(errno), 1);
    // Made under another name and renamed once locked: no later launcher can ever find the
    // record unlocked while this one lives.
    const std::string part = path + "/" + kOwnerName + ".new";
    const std::string owner = path + "/" + kOwnerName;
    const int fd = open(part.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 || flock(fd, LOCK_EX) != 0 || rename(part.c_str(), owner.c_str()) != 0)
        fail("cannot write " + owner + ": " + std::strerror(errno), 1);
    const std::string line = "launcher " + std::to_string(getpid()) + "\n";
    (void)!write(fd, line.data(), line.size());
    return {parent, path.substr(parent.size() + 1), fd};
}

void record_console(const Scratch &s, pid_t console) {
    const std::string line = "console " + std::to_string(console) + "\n";
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
void remove_scratch(int parent_fd, const std::string &name) {
    const int dirfd =
        openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirfd < 0)
        return;
    if (cfg_is_ours(dirfd, kCfgName))
        unlinkat(dirfd, kCfgName, 0);
    unlinkat(dirfd, kOwnerName, 0);
    close(dirfd);
    unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR);
}

// Removes the scratch directory `name` under parent_fd if it is provably a stale one of
// ours: this user's, with an owner record whose lock nobody holds, whose console is gone.
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
        const char *console = n > 0 ? std::strstr(buf, "console ") : nullptr;
        if (console != nullptr && process_alive(static_cast<pid_t>(std::atol(console + 8))))
            stale = false;
    }
    if (stale)
        remove_scratch(parent_fd, name);
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
                         parent.c_str(), name.c_str());
    close(parent_fd);
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
        execv(argv[0], argv.data());
        std::fprintf(stderr, "korvic_sim: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    g_console = child;
    record_console(scratch, child);
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
            remove_scratch(parent_fd, scratch.name);
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
    const Options o = parse(argc, argv);

    // The settings as the program will see them: the options over the environment.
    std::string error;
    const auto lookup = [&o](const char *name) -> const char * {
        const auto it = o.settings.find(name);
        return it != o.settings.end() ? it->second.c_str() : std::getenv(name);
    };
    const std::optional<SimSettings> settings = settings_from_env(lookup, &error);
    if (!settings)
        usage_error(error);

    if (!platform_supported())
        fail("the simulated board needs x86-64 Linux; this platform cannot run it", 1);
    const std::string dir = self_dir();
    std::string preload = dir + "/" + KORVIC_SIM_PRELOAD_RELPATH;
    if (const char *p = std::getenv(kEnvPreload); p != nullptr && *p != '\0')
        preload = p;
    if (!readable(preload))
        fail("cannot find the preload library " + preload + " (set " + kEnvPreload + ")", 1);
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
    for (std::string &a : program)
        args.push_back(a.data());
    args.push_back(nullptr);

    if (o.program.empty() && !o.workdir) {
        const char *tmp = std::getenv("TMPDIR");
        const std::string parent = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
        // SIGTERM and SIGHUP wait until the console runs and they can be passed on to it,
        // so that no directory is made and then left behind.
        sigset_t pass, old_mask;
        sigemptyset(&pass);
        sigaddset(&pass, SIGTERM);
        sigaddset(&pass, SIGHUP);
        sigprocmask(SIG_BLOCK, &pass, &old_mask);
        remove_stale_scratches(parent);
        const Scratch scratch = make_scratch(parent);
        const std::string work = parent + "/" + scratch.name;
        prepare_workdir(work, *settings);
        enter(work);
        std::fprintf(stderr, "korvic_sim: simulated board, working directory %s\n", work.c_str());
        return run_console(args, scratch, old_mask);
    }
    if (o.workdir) {
        prepare_workdir(*o.workdir, *settings);
        enter(*o.workdir);
        if (o.program.empty())
            std::fprintf(stderr, "korvic_sim: simulated board, working directory %s\n",
                         o.workdir->c_str());
    }
    execvp(args[0], args.data());
    std::fprintf(stderr, "korvic_sim: cannot run %s: %s\n", args[0], std::strerror(errno));
    return 127;
}
