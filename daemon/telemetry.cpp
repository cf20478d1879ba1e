#include "telemetry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "quoting.h"

namespace korvicd {

namespace {

// Writes all of `text` to `fd`: 0, or the errno of the failure.
int write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

}  // namespace

void MetricsFile::write(std::string_view text, std::vector<std::string> &log) {
    const std::size_t slash = path_.rfind('/');
    std::string temp = slash == std::string::npos
                           ? "." + path_ + ".XXXXXX"
                           : path_.substr(0, slash + 1) + "." + path_.substr(slash + 1) + ".XXXXXX";
    int err = 0;
    const char *step = "create";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        err = errno;
    } else {
        if (::fchmod(fd, 0644) != 0) {
            err = errno;
            step = "chmod";
        } else if ((err = write_all(fd, text)) != 0) {
            step = "write";
        }
        if (::close(fd) != 0 && err == 0) {
            err = errno;
            step = "write";
        }
        if (err == 0 && ::rename(temp.c_str(), path_.c_str()) != 0) {
            err = errno;
            step = "rename";
        }
        if (err != 0)
            ::unlink(temp.c_str());
    }
    if (err == 0) {
        if (failing_)
            log.push_back("metrics file " + korvic::detail::shown(path_) + " written again");
        failing_ = false;
        return;
    }
    if (!failing_)
        log.push_back("metrics file " + korvic::detail::shown(path_) + ": " + step + ": " +
                      std::strerror(err) + "; logged once until it is written again");
    failing_ = true;
}

void MetricsFile::remove() {
    ::unlink(path_.c_str());
}

Telemetry::Telemetry(const Options &o, std::vector<std::string> &log)
    : notifier_(Notifier::from_environment(log)),
      metrics_interval_(o.stats.value_or(kMetricsInterval)) {
    if (o.metrics_file)
        metrics_.emplace(*o.metrics_file);
    if (!notifier_.enabled())
        return;
    ping_ =
        watchdog_interval(std::getenv("WATCHDOG_USEC"), std::getenv("WATCHDOG_PID"), ::getpid());
    if (!ping_)
        return;
    timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    itimerspec every{};
    every.it_interval.tv_sec = static_cast<time_t>(ping_->count() / 1'000'000'000);
    every.it_interval.tv_nsec = static_cast<long>(ping_->count() % 1'000'000'000);
    every.it_value = every.it_interval;
    if (timer_ < 0 || ::timerfd_settime(timer_, 0, &every, nullptr) != 0) {
        log.push_back(std::string("watchdog timer: ") + std::strerror(errno) +
                      ": systemd's watchdog gets no WATCHDOG=1");
        if (timer_ >= 0)
            ::close(timer_);
        timer_ = -1;
        ping_.reset();
    }
}

Telemetry::~Telemetry() {
    if (timer_ >= 0)
        ::close(timer_);
}

void Telemetry::watchdog(nanoseconds now, nanoseconds next_burst, std::vector<std::string> &log) {
    std::uint64_t expirations = 0;
    if (::read(timer_, &expirations, sizeof expirations) < 0 && errno != EAGAIN)
        log.push_back(std::string("watchdog timer read: ") + std::strerror(errno));
    if (ping_ && bursts_on_time(now, next_burst, *ping_))
        notifier_.send("WATCHDOG=1", log);
}

void Telemetry::after_burst(nanoseconds now, const std::function<Snapshot()> &snapshot,
                            std::vector<std::string> &log) {
    const bool status_due =
        notifier_.enabled() && (!status_sent_ || now - *status_sent_ >= std::chrono::seconds{1});
    const bool write = metrics_ && now >= metrics_due_;
    if (!write && !status_due && (ready_ || !notifier_.enabled()))
        return;
    const Snapshot s = snapshot();
    if (!ready_ && notifier_.enabled() && s.totals.board_answered()) {
        // Sent again after the next burst when it did not go out.
        ready_ = notifier_.send("READY=1\nSTATUS=" + status_text(s), log);
        status_sent_ = now;
    } else if (status_due) {
        // Before READY=1 too: `systemctl status` shows why the start takes its time.
        notifier_.send("STATUS=" + status_text(s), log);
        status_sent_ = now;
    }
    if (write) {
        metrics_->write(metrics_text(s, KORVICD_VERSION), log);
        while (metrics_due_ <= now)
            metrics_due_ += metrics_interval_;
    }
}

void Telemetry::stopping(std::vector<std::string> &log) {
    notifier_.send("STOPPING=1", log);
    if (metrics_)
        metrics_->remove();
}

}  // namespace korvicd
