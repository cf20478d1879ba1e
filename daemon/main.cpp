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
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core.h"
#include "korvic/board.hpp"
#include "leap.h"
#include "options.h"
#include "output_lock.h"
#include "outputs.h"
#include "quoting.h"
#include "standard_streams.h"
#include "telemetry.h"

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
    l.health.step_holdoff = o.step_holdoff;
    l.require_status = o.require_status;
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

void log_lines(std::vector<std::string> &lines) {
    for (const std::string &line : lines)
        log_line(line);
    lines.clear();
}

// The leap second table of --leap-file (the system's by default, where there is one), read
// at start and at each SIGHUP: one log line when it is used or refused, none for a default
// that is absent or for "none". Nothing when there is no table to use.
std::optional<korvicd::LeapTable> read_leap_table(const korvicd::Options &o) {
    const std::string path = o.leap_file.value_or(korvicd::kSystemLeapFile);
    if (path.empty() || (!o.leap_file && access(path.c_str(), F_OK) != 0))
        return std::nullopt;
    korvicd::LeapLoad load =
        korvicd::load_leap_table(path, korvic::system_time{clock_ns(CLOCK_REALTIME)});
    log_line(load.line);
    return std::move(load.table);
}

class Daemon {
  public:
    Daemon(const korvicd::Options &o, korvic::Board board,
           std::unique_ptr<korvicd::SockOutput> sock, std::unique_ptr<korvicd::ShmOutput> shm,
           std::unique_ptr<korvicd::Telemetry> telemetry, std::optional<korvicd::LeapTable> leaps)
        : o_(o),
          board_(std::move(board)),
          pipeline_(limits_of(o)),
          sock_(std::move(sock)),
          shm_(std::move(shm)),
          telemetry_(std::move(telemetry)),
          period_(static_cast<std::int64_t>(1e9 / o.rate_hz)) {
        pipeline_.set_leaps(std::move(leaps));
    }

    int run(int signal_fd);

  private:
    void tick();
    void sighup();
    void reopen();
    korvicd::Snapshot snapshot() const;

    korvicd::Options o_;
    korvic::Board board_;
    korvicd::Pipeline pipeline_;
    korvicd::Tally stats_;
    std::unique_ptr<korvicd::SockOutput> sock_;
    std::unique_ptr<korvicd::ShmOutput> shm_;
    std::unique_ptr<korvicd::Telemetry> telemetry_;
    std::vector<std::string> log_;
    nanoseconds period_;  // between bursts
    // SIGHUPs merged into the reload to come, which waits while the last one is less than
    // a burst period old.
    int hups_ = 0;
    std::optional<nanoseconds> last_reopen_;
};

korvicd::Snapshot Daemon::snapshot() const {
    korvicd::Snapshot s;
    s.board = korvicd::board_name(o_.config);
    s.health = pipeline_.state();
    s.totals = stats_.totals();
    s.required = o_.require_status;
    s.unmet = pipeline_.unmet();
    s.status_word = pipeline_.last_status();
    s.leap = pipeline_.leap();
    if (sock_)
        s.outputs.push_back({"sock", sock_->path(), !sock_->away()});
    if (shm_)
        s.outputs.push_back({"shm", std::to_string(*o_.shm_unit), true});
    return s;
}

void Daemon::tick() {
    // A reload that waited for its burst period comes first: this burst reads the new board.
    if (hups_ > 0 && (!last_reopen_ || clock_ns(CLOCK_MONOTONIC) - *last_reopen_ >= period_))
        reopen();
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
        // A board not trusted leaves no valid record behind for a reader to take.
        if (shm_ && (step.verdict == korvicd::Verdict::untrusted ||
                     step.verdict == korvicd::Verdict::beyond_max_offset))
            shm_->invalidate();
        stats_.dropped(korvicd::drop_of(step.verdict));
        if (o_.verbose)
            log_line(step.detail);
        return;
    }
    const int leap = step.leap;
    bool delivered = false;
    korvicd::Drop why = korvicd::Drop::queue_full;
    std::vector<std::string> log;
    if (shm_) {
        shm_->write(korvicd::encode_shm(step.reading.sample, o_.offset, leap), log);
        delivered = true;
    }
    if (sock_) {
        switch (sock_->send(korvicd::encode_sock(step.reading.sample, o_.offset, leap), log)) {
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
    }
    for (const std::string &line : log)
        log_line(line);
    if (delivered)
        stats_.kept(step.offset, step.reading.bracket());
    else
        stats_.dropped(why);
    if (o_.verbose)
        log_line(step.detail);
}

// A SIGHUP reopens the board at once, unless the last reopen is less than a burst period
// old: then it waits for the first burst a period after it, and every SIGHUP until then is
// merged into it (a storm of them reopens the board once a period at most).
void Daemon::sighup() {
    ++hups_;
    if (!last_reopen_ || clock_ns(CLOCK_MONOTONIC) - *last_reopen_ >= period_)
        reopen();
}

void Daemon::reopen() {
    const int merged = std::exchange(hups_, 0);
    last_reopen_ = clock_ns(CLOCK_MONOTONIC);
    const std::string hups = merged > 1 ? " (" + std::to_string(merged) + " SIGHUPs merged)" : "";
    try {
        korvic::Board fresh = open_board(o_);
        board_ = std::move(fresh);
        // Not judged afresh: its first reading is judged against the last one of the board
        // before (a change of DAY_OFF= is a step).
        pipeline_.reopened();
        log_line("SIGHUP: board reopened from " + korvic::detail::shown(o_.config) + hups +
                 "; its next reading is judged against the last one before");
        // A table that cannot be read now leaves the one read before.
        if (std::optional<korvicd::LeapTable> leaps = read_leap_table(o_))
            pipeline_.set_leaps(std::move(leaps));
    } catch (const std::exception &e) {
        log_line("SIGHUP: cannot reopen the board" + hups +
                 ", keeping the one open: " + korvic::detail::message_of(e));
    }
}

int Daemon::run(int signal_fd) {
    const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (timer < 0) {
        log_line(std::string("timerfd_create: ") + std::strerror(errno));
        return 1;
    }
    const nanoseconds period = period_;
    const nanoseconds start = clock_ns(CLOCK_MONOTONIC);
    korvicd::Schedule schedule(start, period);
    nanoseconds next = schedule.deadline();
    // The summary's deadlines, like the bursts': a short --stats skips the ones a burst
    // overran instead of counting through them. A line covers the burst periods since the
    // last one's, the first from the period before the first burst.
    nanoseconds stats_since = start - period;
    korvicd::Schedule stats_schedule(stats_since, o_.stats.value_or(period));
    nanoseconds stats_due = stats_schedule.advance(stats_since);

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
        pollfd fds[3] = {
            {signal_fd, POLLIN, 0}, {timer, POLLIN, 0}, {telemetry_->watchdog_fd(), POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
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
                    sighup();
                } else {
                    log_line(info.ssi_signo == SIGTERM ? "SIGTERM: stopping" : "SIGINT: stopping");
                    telemetry_->stopping(log_);
                    log_lines(log_);
                    close(timer);
                    return 0;
                }
            }
        }
        if ((fds[2].revents & POLLIN) != 0) {
            telemetry_->watchdog(clock_ns(CLOCK_MONOTONIC), next, log_);
            log_lines(log_);
        }
        if ((fds[1].revents & POLLIN) == 0)
            continue;
        std::uint64_t expirations = 0;
        if (read(timer, &expirations, sizeof expirations) < 0 && errno != EAGAIN)
            log_line(std::string("timerfd read: ") + std::strerror(errno));
        tick();

        const nanoseconds now = clock_ns(CLOCK_MONOTONIC);
        const nanoseconds ran = next;  // the deadline of the burst just made
        next = schedule.advance(now);
        if (o_.stats && now >= stats_due) {
            // The bursts counted are those of the deadlines after the last line's, up to
            // this one's: the line names that span.
            log_line(stats_.line(ran - stats_since));
            stats_.reset();
            stats_since = ran;
            stats_due = stats_schedule.advance(now);
        }
        telemetry_->after_burst(
            now, [this] { return snapshot(); }, log_);
        log_lines(log_);
    }
}

// The lock of each output, before anything else is opened: a second korvicd on one of them
// ends here, having touched neither the board nor the output.
bool lock_outputs(const korvicd::Options &o, korvicd::OutputLocks &locks) {
    try {
        const std::string dir = korvicd::lock_directory(std::getenv("RUNTIME_DIRECTORY"),
                                                        std::getenv("XDG_RUNTIME_DIR"), geteuid());
        if (o.sock)
            locks.take(dir, korvicd::sock_lock_name(*o.sock),
                       "--sock " + korvic::detail::shown(*o.sock));
        if (o.shm_unit)
            locks.take(dir, korvicd::shm_lock_name(*o.shm_unit),
                       "--shm " + std::to_string(*o.shm_unit));
        return true;
    } catch (const korvicd::OutputTaken &e) {
        log_line(std::string(e.what()) + ": not starting a second one");
    } catch (const std::system_error &e) {
        log_line("cannot lock the outputs: " + korvic::detail::message_of(e));
    }
    return false;
}

int serve(const korvicd::Options &o, int signal_fd) {
    korvicd::OutputLocks locks;
    if (!o.once && !lock_outputs(o, locks))
        return 1;
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
    std::vector<std::string> log;
    auto telemetry = std::make_unique<korvicd::Telemetry>(o, log);
    log_lines(log);
    std::string feeds;
    try {
        if (o.shm_unit) {
            shm = std::make_unique<korvicd::ShmOutput>(korvicd::shm_key(*o.shm_unit), o.shm_perm,
                                                       log);
            log_lines(log);
            feeds += " SHM unit " + std::to_string(*o.shm_unit) + " (key " +
                     korvicd::shm_key_name(korvicd::shm_key(*o.shm_unit)) + ")";
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
    Daemon d(o, std::move(*board), std::move(sock), std::move(shm), std::move(telemetry),
             read_leap_table(o));
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
