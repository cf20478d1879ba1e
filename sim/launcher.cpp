// korvic_sim: runs a program against the simulated board.
//
//   korvic_sim [options] [--] PROGRAM [ARGS...]
//   korvic_sim [options]                 (prepares a working directory, starts korvic_test)
//
// It puts libkorvic_sim.so into LD_PRELOAD, passes its settings in KORVIC_SIM_* variables
// and execs the program. The program itself is unchanged: it reads korvic_cfg.dat as
// always, and the paths that file names for the register and bridge devices are served by
// the simulator.
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
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings.h"

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

Options (each also as --OPTION=VALUE):
  --trace FILE          write a human-readable trace of every register access to FILE
                        ("-": standard error)
  --trace-tsv FILE      write the same trace as tab-separated lines, for programs
  --start TIME          board time at power-up (default: the host's UTC time now).
                        TIME is "YYYY-DDD hh:mm:ss[.ffffff]" (day of year from 0),
                        "YYYY-MM-DD hh:mm:ss[.ffffff]", either with T for the blank,
                        or "@SECONDS[.ffffff]" since 1970
  --virtual             virtual clock: time moves only by --step per register access
                        (default: the board runs on the host's clock)
  --step DURATION       virtual clock advance per register access; implies --virtual.
                        DURATION is a number with unit us, ms, s, min or h (no unit: us)
  --bus-order ORDER     "native" (default) or "swapped": every register word is
                        presented byte-reversed, as a big-endian host sees the board;
                        then only BYTE_SWAP=1 in korvic_cfg.dat reads correct times
  --ext-period DURATION capture an external event at every whole multiple of DURATION
                        of board time
  --ext-signal SIGNAL   capture an external event whenever the program receives SIGNAL
                        (a number, or a name such as USR1)
  --mem-path PATH       register device path to simulate (default /dev/korvic_sim/board)
  --int-path PATH       bridge device path to simulate (default /dev/korvic_sim/bridge)
  --workdir DIR         with no PROGRAM: the working directory for korvic_test
                        (created if needed; default: a new directory under $TMPDIR)
  -h, --help            show this help and exit

Options override the KORVIC_SIM_* environment variables of the same meaning. The
preload library is found at )" KORVIC_SIM_PRELOAD_RELPATH
                               R"( relative to this program,
or at the path in KORVIC_SIM_PRELOAD. The console is the korvic_test beside this program.
)";

[[noreturn]] void fail(const std::string &msg, int status = 2) {
    std::fprintf(stderr, "korvic_sim: %s\n", msg.c_str());
    std::exit(status);
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

// The korvic_cfg.dat that the launcher writes starts with this line; a file without it is
// the user's own and is left alone.
constexpr std::string_view kCfgMarker = "# korvic_cfg.dat written by korvic_sim";

void prepare_workdir(const std::string &dir, const SimSettings &s) {
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        fail("cannot create the working directory " + dir + ": " + std::strerror(errno), 1);
    const std::string cfg = dir + "/korvic_cfg.dat";
    {
        std::ifstream in(cfg);
        std::string first;
        if (in && std::getline(in, first) && first != kCfgMarker) {
            std::fprintf(stderr, "korvic_sim: keeping the existing %s\n", cfg.c_str());
            return;
        }
    }
    std::ofstream out(cfg, std::ios::trunc);
    out << kCfgMarker << "\n"
        << "# Devices served by the simulated board.\n"
        << "MEM_PATH=" << s.mem_path << "\n"
        << "INT_PATH=" << s.int_path << "\n"
        << "ENABLE_INT\n"
        << "BYTE_SWAP=" << (s.bus_order == BusOrder::Swapped ? 1 : 0) << "\n";
    if (!out)
        fail("cannot write " + cfg, 1);
}

// Runs the console in a working directory the launcher made for it, waits, and removes the
// directory with the korvic_cfg.dat it wrote (anything the user left there keeps it). The
// terminal's SIGINT and SIGQUIT are the console's: the launcher ignores them while it waits.
// The console's exit status is passed on; a console killed by a signal kills the launcher
// with the same signal.
int run_then_remove(char *const argv[], const std::string &dir) {
    const pid_t child = fork();
    if (child < 0)
        fail(std::string("cannot start the console: ") + std::strerror(errno), 1);
    if (child == 0) {
        execv(argv[0], argv);
        std::fprintf(stderr, "korvic_sim: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGQUIT, SIG_IGN);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (chdir("/") == 0 && unlink((dir + "/korvic_cfg.dat").c_str()) == 0)
        rmdir(dir.c_str());
    if (WIFSIGNALED(status)) {
        std::signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// Trace paths are taken from where korvic_sim was started, even when it then starts the
// console in another working directory.
std::string absolute(const std::string &path) {
    if (path.empty() || path == "-" || path[0] == '/')
        return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        fail("cannot find the current directory", 1);
    return std::string(cwd) + "/" + path;
}

struct Options {
    std::vector<std::pair<const char *, std::string>> env;  // KORVIC_SIM_* to set
    SimSettings settings;  // what the options say, for korvic_cfg.dat
    std::optional<std::string> workdir;
    std::vector<char *> program;
};

Options parse(int argc, char **argv) {
    Options o;
    // Paths and bus order from the environment first, so korvic_cfg.dat matches the shim.
    std::string error;
    if (auto s = settings_from_env(&std::getenv, &error))
        o.settings = *s;
    else
        fail("bad environment setting " + error);

    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.empty() || arg[0] != '-')
            break;
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        std::string value;
        bool has_value = false;
        if (const auto eq = arg.find('='); eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            has_value = true;
        }
        auto need = [&]() -> const std::string & {
            if (!has_value) {
                if (i + 1 >= argc)
                    fail(arg + " needs a value (see --help)");
                value = argv[++i];
                has_value = true;
            }
            return value;
        };
        if (arg == "--virtual") {
            o.env.emplace_back(kEnvClock, "virtual");
        } else if (arg == "--trace") {
            o.env.emplace_back(kEnvTrace, absolute(need()));
        } else if (arg == "--trace-tsv") {
            o.env.emplace_back(kEnvTraceTsv, absolute(need()));
        } else if (arg == "--start") {
            if (!parse_time(need()))
                fail("bad time for --start: " + value + " (see --help)");
            o.env.emplace_back(kEnvStart, value);
        } else if (arg == "--step") {
            if (!parse_duration(need()))
                fail("bad duration for --step: " + value + " (see --help)");
            o.env.emplace_back(kEnvStep, value);
            o.env.emplace_back(kEnvClock, "virtual");
        } else if (arg == "--bus-order") {
            const auto order = parse_bus_order(need());
            if (!order)
                fail("bad bus order: " + value + " (native or swapped)");
            o.settings.bus_order = *order;
            o.env.emplace_back(kEnvBusOrder, value);
        } else if (arg == "--ext-period") {
            const auto d = parse_duration(need());
            if (!d || *d <= 0)
                fail("bad duration for --ext-period: " + value + " (see --help)");
            o.env.emplace_back(kEnvExtPeriod, value);
        } else if (arg == "--ext-signal") {
            if (parse_signal(need()) == 0)
                fail("unknown signal for --ext-signal: " + value);
            o.env.emplace_back(kEnvExtSignal, value);
        } else if (arg == "--mem-path") {
            o.settings.mem_path = need();
            o.env.emplace_back(kEnvMemPath, value);
        } else if (arg == "--int-path") {
            o.settings.int_path = need();
            o.env.emplace_back(kEnvIntPath, value);
        } else if (arg == "--workdir") {
            o.workdir = need();
        } else {
            fail("unknown option " + arg + " (see --help)");
        }
    }
    for (; i < argc; ++i)
        o.program.push_back(argv[i]);
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

}  // namespace

int main(int argc, char **argv) {
    Options o = parse(argc, argv);
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

    std::string scratch;  // a working directory of our own making, removed afterwards
    if (o.program.empty()) {
        const std::string console = dir + "/korvic_test";
        if (access(console.c_str(), X_OK) != 0)
            fail("cannot find the console " + console, 1);
        std::string work;
        if (o.workdir) {
            work = *o.workdir;
        } else {
            const char *tmp = std::getenv("TMPDIR");
            std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/korvic_sim.XXXXXX";
            if (mkdtemp(tmpl.data()) == nullptr)
                fail("cannot create a working directory: " + std::string(std::strerror(errno)), 1);
            work = tmpl;
            scratch = work;
        }
        prepare_workdir(work, o.settings);
        if (chdir(work.c_str()) != 0)
            fail("cannot enter " + work + ": " + std::strerror(errno), 1);
        std::fprintf(stderr, "korvic_sim: simulated board, working directory %s\n", work.c_str());
        static std::string console_arg;
        console_arg = console;
        o.program.push_back(console_arg.data());
    }
    o.program.push_back(nullptr);

    for (const auto &[name, value] : o.env)
        set_env(name, value);
    append_env("LD_PRELOAD", preload, ':');
    // A program built with AddressSanitizer insists that its runtime comes first among the
    // loaded libraries; the preload library comes before it, which is harmless here.
    const char *asan = std::getenv("ASAN_OPTIONS");
    if (asan == nullptr || std::strstr(asan, "verify_asan_link_order") == nullptr)
        append_env("ASAN_OPTIONS", "verify_asan_link_order=0", ':');

    if (!scratch.empty())
        return run_then_remove(o.program.data(), scratch);
    execvp(o.program[0], o.program.data());
    std::fprintf(stderr, "korvic_sim: cannot run %s: %s\n", o.program[0], std::strerror(errno));
    return 127;
}
