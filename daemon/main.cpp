// korvicd: reads the korvic board's time and feeds it to chrony or ntpd as a reference
// clock. It never sets the system clock itself. The decisions live in core.h; this file is
// the thin part that touches the system: the board, the clocks, the outputs, the signals
// and the timing loop.
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "core.h"
#include "korvic/board.hpp"
#include "options.h"
#include "outputs.h"
#include "quoting.h"
#include "standard_streams.h"

namespace {

using korvicd::nanoseconds;

void log_line(const std::string &text) {
    const std::string line = "korvicd: " + korvic::detail::printable(text) + "\n";
    // One write per line, so that lines never mix with another writer's.
    std::fwrite(line.data(), 1, line.size(), stderr);
}

nanoseconds clock_ns(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return std::chrono::seconds{ts.tv_sec} + nanoseconds{ts.tv_nsec};
}

// The board of --config, waiting up to --lock-wait for its lock.
korvic::Board open_board(const korvicd::Options &o) {
    korvic::Settings settings = korvic::read_settings(o.config);
    settings.lock_wait = o.lock_wait;
    return korvic::Board(settings);
}

korvicd::PipelineLimits limits_of(const korvicd::Options &o) {
    korvicd::PipelineLimits l;
    l.max_bracket = o.max_bracket;
    l.correction = o.offset;
    l.max_offset = o.max_offset;
    l.health.max_step = o.max_step;
    l.health.max_rate_ppm = o.max_rate_ppm;
    return l;
}

void sleep_until(nanoseconds deadline) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(deadline.count() / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(deadline.count() % 1'000'000'000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// --once: bursts 100 ms apart until one sample passes every check (the first two
// consistent readings of a running board), at most ten. The sample goes to standard
// output; without one, the reason goes to standard error and the status is 1.
int run_once(const korvicd::Options &o, korvic::Board &board) {
    korvicd::PipelineLimits limits = limits_of(o);
    limits.health.consistent_needed = 1;
    korvicd::Pipeline pipeline(limits);
    std::string reason;
    nanoseconds next = clock_ns(CLOCK_MONOTONIC);
    for (int i = 0; i < 10; ++i) {
        if (i > 0)
            sleep_until(next);
        next += std::chrono::milliseconds{100};
        korvic::BestReading readings;
        try {
            readings = board.best_of(o.readings);
        } catch (const korvic::BoardBusy &e) {
            reason = e.what();
            continue;
        }
        const korvicd::Step step = pipeline.process(readings);
        if (o.verbose) {
            for (const std::string &line : step.log)
                log_line(line);
            log_line(step.detail);
        }
        if (step.verdict == korvicd::Verdict::feed) {
            std::printf("%s offset %s s bracket %.9f s\n",
                        korvic::format_time(step.reading.sample.board).c_str(),
                        step.offset.seconds_text().c_str(),
                        static_cast<double>(step.reading.bracket().count()) / 1e9);
            return korvic::program::flush_standard_output("korvicd") ? 0 : 1;
        }
        reason = step.detail;
        if (!step.log.empty())
            reason = step.log.back();
    }
    log_line("no sample kept: " + reason);
    return 1;
}

class Daemon {
  public:
    Daemon(const korvicd::Options &o, korvic::Board board,
           std::unique_ptr<korvicd::SockOutput> sock, std::unique_ptr<korvicd::ShmOutput> shm)
        : o_(o),
          board_(std::move(board)),
          pipeline_(limits_of(o)),
          sock_(std::move(sock)),
          shm_(std::move(shm)) {}

    int run(int signal_fd);

  private:
    void tick();
    void reopen();

    korvicd::Options o_;
    korvic::Board board_;
    korvicd::Pipeline pipeline_;
    korvicd::Stats stats_;
    std::unique_ptr<korvicd::SockOutput> sock_;
    std::unique_ptr<korvicd::ShmOutput> shm_;
};

void Daemon::tick() {
    korvic::BestReading readings;
    try {
        readings = board_.best_of(o_.readings);
    } catch (const korvic::BoardBusy &e) {
        // The burst ends at the first reading that found the lock taken: it waits once.
        stats_.dropped(korvicd::Drop::board_busy);
        if (o_.verbose)
            log_line(std::string("sample dropped: ") + e.what());
        return;
    }
    stats_.refused(readings.refused);
    korvicd::Step step = pipeline_.process(readings);
    for (const std::string &line : step.log)
        log_line(line);
    if (step.verdict != korvicd::Verdict::feed) {
        stats_.dropped(korvicd::drop_of(step.verdict));
        if (o_.verbose)
            log_line(step.detail);
        return;
    }
    bool delivered = false;
    korvicd::Drop why = korvicd::Drop::queue_full;
    if (shm_) {
        shm_->write(korvicd::encode_shm(step.reading.sample, o_.offset));
        delivered = true;
    }
    if (sock_) {
        std::vector<std::string> log;
        switch (sock_->send(korvicd::encode_sock(step.reading.sample, o_.offset), log)) {
            case korvicd::SendResult::sent:
                delivered = true;
                break;
            case korvicd::SendResult::queue_full:
                step.detail += ", SOCK queue full";
                why = korvicd::Drop::queue_full;
                break;
            case korvicd::SendResult::away:
                step.detail += ", SOCK not reachable";
                why = korvicd::Drop::chronyd_away;
                break;
        }
        for (const std::string &line : log)
            log_line(line);
    }
    if (delivered)
        stats_.kept(step.offset, step.reading.bracket());
    else
        stats_.dropped(why);
    if (o_.verbose)
        log_line(step.detail);
}

void Daemon::reopen() {
    try {
        korvic::Board fresh = open_board(o_);
        board_ = std::move(fresh);
        pipeline_.reset_board();
        log_line("SIGHUP: board reopened from " + korvic::detail::shown(o_.config) +
                 "; feeding after consistent samples");
    } catch (const std::exception &e) {
        log_line("SIGHUP: cannot reopen the board, keeping the one open: " +
                 korvic::detail::message_of(e));
    }
}

int Daemon::run(int signal_fd) {
    const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (timer < 0) {
        log_line(std::string("timerfd_create: ") + std::strerror(errno));
        return 1;
    }
    const auto period = nanoseconds{static_cast<std::int64_t>(1e9 / o_.rate_hz)};
    const nanoseconds start = clock_ns(CLOCK_MONOTONIC);
    korvicd::Schedule schedule(start, period);
    nanoseconds next = schedule.deadline();
    nanoseconds stats_due = start + o_.stats.value_or(nanoseconds{0});

    for (;;) {
        // The deadlines are absolute on CLOCK_MONOTONIC (see Schedule).
        itimerspec when{};
        when.it_value.tv_sec = static_cast<time_t>(next.count() / 1'000'000'000);
        when.it_value.tv_nsec = static_cast<long>(next.count() % 1'000'000'000);
        if (timerfd_settime(timer, TFD_TIMER_ABSTIME, &when, nullptr) != 0) {
            log_line(std::string("timerfd_settime: ") + std::strerror(errno));
            close(timer);
            return 1;
        }
        pollfd fds[2] = {{signal_fd, POLLIN, 0}, {timer, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            log_line(std::string("poll: ") + std::strerror(errno));
            close(timer);
            return 1;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            if (read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                if (info.ssi_signo == SIGHUP) {
                    reopen();
                } else {
                    log_line(info.ssi_signo == SIGTERM ? "SIGTERM: stopping" : "SIGINT: stopping");
                    close(timer);
                    return 0;
                }
            }
        }
        if ((fds[1].revents & POLLIN) == 0)
            continue;
        std::uint64_t expirations = 0;
        if (read(timer, &expirations, sizeof expirations) < 0 && errno != EAGAIN)
            log_line(std::string("timerfd read: ") + std::strerror(errno));
        tick();

        const nanoseconds now = clock_ns(CLOCK_MONOTONIC);
        next = schedule.advance(now);
        if (o_.stats && now >= stats_due) {
            log_line(stats_.line(*o_.stats));
            stats_.reset();
            while (stats_due <= now)
                stats_due += *o_.stats;
        }
    }
}

int serve(const korvicd::Options &o, int signal_fd) {
    std::optional<korvic::Board> board;
    try {
        board.emplace(open_board(o));
    } catch (const std::exception &e) {
        log_line("cannot open the board: " + korvic::detail::message_of(e));
        return 1;
    }
    if (o.once)
        return run_once(o, *board);

    std::unique_ptr<korvicd::SockOutput> sock;
    std::unique_ptr<korvicd::ShmOutput> shm;
    std::string feeds;
    try {
        if (o.shm_unit) {
            shm = std::make_unique<korvicd::ShmOutput>(korvicd::shm_key(*o.shm_unit), o.shm_perm);
            char key[16];
            std::snprintf(key, sizeof key, "0x%08x",
                          static_cast<unsigned>(korvicd::shm_key(*o.shm_unit)));
            feeds += " SHM unit " + std::to_string(*o.shm_unit) + " (key " + key + ")";
        }
        if (o.sock) {
            sock = std::make_unique<korvicd::SockOutput>(*o.sock);
            feeds +=
                std::string(feeds.empty() ? "" : ",") + " SOCK " + korvic::detail::shown(*o.sock);
        }
    } catch (const std::system_error &e) {
        log_line(korvic::detail::message_of(e));
        return 1;
    }
    char rate[32];
    std::snprintf(rate, sizeof rate, "%g Hz", o.rate_hz);
    log_line("board " + korvic::detail::shown(board->settings().mem_path.string()) + " (from " +
             korvic::detail::shown(o.config) + "), " + rate + ", best of " +
             std::to_string(o.readings) + " readings; feeding" + feeds +
             " once the board time is consistent");
    Daemon d(o, std::move(*board), std::move(sock), std::move(shm));
    return d.run(signal_fd);
}

}  // namespace

int main(int argc, char **argv) {
    // Before anything opens a descriptor: /dev/null on each of 0, 1 and 2 that is closed, so
    // that no log line lands in the board's window, the socket or the timer that would get
    // the number otherwise. Standard output is needed only for --help, --version and --once.
    const char *output_problem = korvic::program::standard_output_problem();
    if (korvic::program::plug_closed_standard_descriptors() < 0) {
        log_line(std::string("/dev/null for a closed standard descriptor: ") +
                 std::strerror(errno));
        return 1;
    }
    const korvicd::ParsedOptions parsed = korvicd::parse_options(argc, argv);
    const bool prints = !parsed.options ? parsed.status == 0 : parsed.options->once;
    if (prints && output_problem != nullptr) {
        log_line(std::string("standard output ") + output_problem);
        return 1;
    }
    if (!parsed.options) {
        if (parsed.status != 0)
            std::fputs(parsed.text.c_str(), stderr);
        else if (!korvic::program::write_standard_output("korvicd", parsed.text))
            return 1;
        return parsed.status;
    }
    // The signals wait in a signalfd that the loop polls with its timer: SIGTERM and
    // SIGINT end it cleanly, SIGHUP reopens the board, each handled between two bursts. A
    // stop signal ignored by whoever started korvicd (`korvicd &` in a script) stays
    // ignored: a blocked signal is never discarded, so it must stay out of the set.
    sigset_t mask;
    sigemptyset(&mask);
    for (const int sig : {SIGTERM, SIGINT})
        if (!korvic::program::signal_ignored(sig))
            sigaddset(&mask, sig);
    sigaddset(&mask, SIGHUP);
    int signal_fd = -1;
    if (!parsed.options->once) {
        sigprocmask(SIG_BLOCK, &mask, nullptr);
        signal_fd = signalfd(-1, &mask, SFD_CLOEXEC);
        if (signal_fd < 0) {
            log_line(std::string("signalfd: ") + std::strerror(errno));
            return 1;
        }
    }
    const int status = serve(*parsed.options, signal_fd);
    if (signal_fd >= 0)
        close(signal_fd);
    return status;
}
