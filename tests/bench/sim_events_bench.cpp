// `korvic events` waiting on the simulated board, as a user runs it: korvic_sim starts korvic,
// whose output comes back through a pipe. Two modes: on the board's interrupt node (the
// launcher's device paths, from which the library finds /dev/korvic_sim/uio) and by
// polling (the register device named /dev/korvic_sim/registers, beside which no node is
// found, so the library polls every 100 us as it does without a driver).
//
// Each benchmark is one run (Iterations(1)); its counters:
//  - Waiting: the CPU of the korvic process (every thread: the node's helper is the
//    simulated hardware's stand-in and is counted) over a window of 10 s that starts 1 s
//    after launch, as a percentage of one core, and its wake-ups a second (context
//    switches of all its threads); with no events, with one a second, and both with a
//    compare flag raised every millisecond and never cleared.
//  - Trains of 1, 2 and 5 kHz for 5 s: CPU per event, detection latency (the line's arrival
//    here less the event's own board time, the board's clock being the host's monotonic
//    clock from the run's start at its UTC time) and events lost: the periodic schedule is
//    known, so every gap larger than one period between consecutive printed times is
//    events overwritten before they were read; the longest such gap tells a stall of the
//    process or the host from a waiter that falls behind.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

enum Mode : std::int64_t { kInterrupt = 0, kPolling = 1 };

std::int64_t now_ns(clockid_t c) {
    timespec ts{};
    clock_gettime(c, &ts);
    return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

// On-CPU time of every thread of `pid` (ns), and their context switches.
struct Usage {
    std::int64_t cpu_ns = 0;
    std::int64_t switches = 0;
};

Usage usage_of(pid_t pid) {
    Usage u;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(tasks.c_str());
    while (d != nullptr) {
        const dirent *e = readdir(d);
        if (e == nullptr)
            break;
        if (e->d_name[0] == '.')
            continue;
        const std::string task = tasks + "/" + e->d_name;
        std::ifstream sched(task + "/schedstat");
        std::int64_t ns = 0;
        if (sched >> ns)
            u.cpu_ns += ns;
        std::ifstream status(task + "/status");
        std::string key;
        std::int64_t value = 0;
        while (status >> key) {
            if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
                status >> value;
                u.switches += value;
            }
        }
    }
    if (d != nullptr)
        closedir(d);
    return u;
}

struct Line {
    std::int64_t arrived_ns;  // CLOCK_MONOTONIC
    std::string text;
};

struct RunResult {
    Usage window;  // over the measuring window
    std::vector<Line> lines;
    std::int64_t mono_to_real_ns = 0;  // CLOCK_REALTIME - CLOCK_MONOTONIC at the start
};

// Runs `korvic_sim SIM_ARGS -- sh -c SCRIPT` in a scratch directory, reads its standard
// output line by line as it comes, and measures the process over [settle, settle + window].
RunResult run(const std::vector<std::string> &sim_args, const std::string &script, double settle_s,
              double window_s) {
    char dir[] = "/tmp/korvic_events_bench.XXXXXX";
    if (mkdtemp(dir) == nullptr)
        std::abort();
    int out[2];
    if (pipe(out) != 0)
        std::abort();
    RunResult r;
    r.mono_to_real_ns = now_ns(CLOCK_REALTIME) - now_ns(CLOCK_MONOTONIC);
    const std::int64_t start = now_ns(CLOCK_MONOTONIC);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        if (chdir(dir) != 0)
            _exit(127);
        std::vector<std::string> args = {KORVIC_SIM_BIN};
        args.insert(args.end(), sim_args.begin(), sim_args.end());
        for (const char *a : {"--", "sh", "-c"})
            args.emplace_back(a);
        args.push_back(script);
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string partial;
    bool measuring = false, measured = false;
    Usage at_start;
    for (;;) {
        const std::int64_t t = now_ns(CLOCK_MONOTONIC);
        const double elapsed = static_cast<double>(t - start) / 1e9;
        if (!measuring && elapsed >= settle_s) {
            at_start = usage_of(pid);
            measuring = true;
        }
        if (measuring && !measured && elapsed >= settle_s + window_s) {
            const Usage at_end = usage_of(pid);
            r.window = {at_end.cpu_ns - at_start.cpu_ns, at_end.switches - at_start.switches};
            measured = true;
        }
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 10) <= 0)
            continue;
        char buf[65536];
        const ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        const std::int64_t arrived = now_ns(CLOCK_MONOTONIC);
        partial.append(buf, static_cast<std::size_t>(n));
        for (std::size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
            r.lines.push_back({arrived, partial.substr(0, nl)});
            partial.erase(0, nl + 1);
        }
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    std::string rm = std::string("rm -rf ") + dir;
    if (std::system(rm.c_str()) != 0)
        std::fprintf(stderr, "cannot remove %s\n", dir);
    return r;
}

std::vector<std::string> mode_args(std::int64_t mode) {
    if (mode == kPolling)
        return {"--mem-path", "/dev/korvic_sim/registers"};
    return {};
}

// A compare event every millisecond, its flag raised at once and never cleared.
constexpr const char *kRaisedFlag = KORVIC_BIN
    " compare 2026-01-01T00:00:00Z --every millisecond "
    ">/dev/null && ";

// The board's event time of "N SECONDS.MICROS" (--format unix), in microseconds.
std::int64_t event_us(const std::string &line) {
    const std::size_t blank = line.find(' ');
    const std::size_t point = line.find('.', blank);
    return std::stoll(line.substr(blank + 1, point - blank - 1)) * 1'000'000 +
           std::stoll(line.substr(point + 1));
}

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    const auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
}

// Args: mode, events a second (0: none), the compare flag raised (1) or not.
void BM_Waiting(benchmark::State &state) {
    const std::int64_t rate = state.range(1);
    std::vector<std::string> args = mode_args(state.range(0));
    if (rate > 0) {
        args.emplace_back("--ext-period");
        args.push_back(std::to_string(1'000'000 / rate) + "us");
    }
    const std::string script = std::string(state.range(2) != 0 ? kRaisedFlag : "") + "exec " +
                               KORVIC_BIN " --format unix events --timeout 12s";
    for (auto _ : state) {
        const RunResult r = run(args, script, 1.0, 10.0);
        state.SetIterationTime(10.0);
        state.counters["cpu_pct"] = static_cast<double>(r.window.cpu_ns) / 10e9 * 100;
        state.counters["wakeups_per_s"] = static_cast<double>(r.window.switches) / 10.0;
        state.counters["events"] = static_cast<double>(r.lines.size());
    }
}
BENCHMARK(BM_Waiting)
    ->ArgNames({"polling", "per_s", "flag"})
    ->ArgsProduct({{kInterrupt, kPolling}, {0, 1}, {0, 1}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// Args: mode, events a second. 5 s of a periodic train.
void BM_Train(benchmark::State &state) {
    const std::int64_t rate = state.range(1);
    const std::int64_t period_us = 1'000'000 / rate;
    std::vector<std::string> args = mode_args(state.range(0));
    args.emplace_back("--ext-period");
    args.push_back(std::to_string(period_us) + "us");
    const std::string script = "exec " KORVIC_BIN " --format unix events --timeout 6.5s";
    for (auto _ : state) {
        const RunResult r = run(args, script, 1.0, 5.0);
        state.SetIterationTime(5.0);
        std::vector<double> latency;
        std::int64_t lost = 0, counted = 0, longest_gap = 0;
        for (std::size_t i = 0; i < r.lines.size(); ++i) {
            const std::int64_t at = event_us(r.lines[i].text);
            const std::int64_t arrived_us = (r.lines[i].arrived_ns + r.mono_to_real_ns) / 1000;
            latency.push_back(static_cast<double>(arrived_us - at));
            if (i > 0) {
                const std::int64_t gap = at - event_us(r.lines[i - 1].text);
                lost += gap / period_us - 1;
                longest_gap = std::max(longest_gap, gap);
                ++counted;
            }
        }
        state.counters["events"] = static_cast<double>(r.lines.size());
        state.counters["lost"] = static_cast<double>(lost);
        // A stall of the whole process (or host) shows as one long gap.
        state.counters["longest_gap_ms"] = static_cast<double>(longest_gap) / 1000;
        state.counters["lost_pct"] = counted + lost > 0 ? 100.0 * static_cast<double>(lost) /
                                                              static_cast<double>(counted + lost)
                                                        : 0;
        state.counters["lat_median_us"] = percentile(latency, 0.5);
        state.counters["lat_p99_us"] = percentile(latency, 0.99);
        state.counters["lat_max_us"] =
            latency.empty() ? 0 : *std::max_element(latency.begin(), latency.end());
        const double in_window = static_cast<double>(rate) * 5.0;
        state.counters["cpu_pct"] = static_cast<double>(r.window.cpu_ns) / 5e9 * 100;
        state.counters["cpu_us_per_event"] =
            static_cast<double>(r.window.cpu_ns) / 1000 / in_window;
    }
}
BENCHMARK(BM_Train)
    ->ArgNames({"polling", "per_s"})
    ->ArgsProduct({{kInterrupt, kPolling}, {1000, 2000, 5000}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// The yardstick: how late a plain 1 ms sleep comes back on this host over 5 s, in the
// same run. A stall of the host is a loss of events whatever waits for them.
void BM_HostSleep(benchmark::State &state) {
    for (auto _ : state) {
        std::vector<double> late;
        const std::int64_t start = now_ns(CLOCK_MONOTONIC);
        while (now_ns(CLOCK_MONOTONIC) - start < 5'000'000'000) {
            const std::int64_t before = now_ns(CLOCK_MONOTONIC);
            const timespec ms{0, 1'000'000};
            nanosleep(&ms, nullptr);
            late.push_back(static_cast<double>(now_ns(CLOCK_MONOTONIC) - before - 1'000'000) /
                           1000);
        }
        state.SetIterationTime(5.0);
        state.counters["late_median_us"] = percentile(late, 0.5);
        state.counters["late_p99_us"] = percentile(late, 0.99);
        state.counters["late_max_us"] = *std::max_element(late.begin(), late.end());
    }
}
BENCHMARK(BM_HostSleep)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
