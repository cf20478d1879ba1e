// What korvicd reports while it runs, the thin part that touches the system: systemd's
// notifications and the metrics file. The texts are metrics.h's, the protocol notify.h's.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "metrics.h"
#include "notify.h"
#include "options.h"

namespace korvicd {

// How often the metrics file is written when --stats gives no interval.
inline constexpr nanoseconds kMetricsInterval = std::chrono::seconds{10};

// A file for node_exporter's textfile collector, replaced whole: each text goes to a new
// file beside it (".NAME.XXXXXX": not a *.prom name, so the collector never reads it half
// written), mode 0644 so that the exporter's own user reads it, then renamed over it. A
// failure is one log line when it starts and one when a file is written again.
class MetricsFile {
  public:
    explicit MetricsFile(std::string path) : path_(std::move(path)) {}
    void write(std::string_view text, std::vector<std::string> &log);
    // On a clean stop: metrics of a korvicd that no longer runs would look current.
    void remove();

  private:
    std::string path_;
    bool failing_ = false;
};

// systemd is told: READY=1 (with the first STATUS=) once a burst has read the board;
// STATUS= after bursts, at most once a second; WATCHDOG=1 on a timer of its own at half
// of WATCHDOG_USEC, so that a rate of one burst in 1000 s still keeps the watchdog away,
// and only while bursts are on time; STOPPING=1 at the end. The metrics file is written
// after the first burst and then at every --stats interval (kMetricsInterval without it).
class Telemetry {
  public:
    // NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID from the environment; --metrics-file
    // and --stats from the options. What cannot be set up is logged, never fatal.
    Telemetry(const Options &o, std::vector<std::string> &log);
    ~Telemetry();
    Telemetry(const Telemetry &) = delete;
    Telemetry &operator=(const Telemetry &) = delete;

    // The watchdog's timer (a timerfd to poll), -1 without a watchdog.
    int watchdog_fd() const { return timer_; }
    // The timer expired: WATCHDOG=1 unless the burst due at `next_burst` is overdue.
    void watchdog(nanoseconds now, nanoseconds next_burst, std::vector<std::string> &log);
    // After each burst; `snapshot` is called only when something is to be sent or written.
    void after_burst(nanoseconds now, const std::function<Snapshot()> &snapshot,
                     std::vector<std::string> &log);
    void stopping(std::vector<std::string> &log);

  private:
    Notifier notifier_;
    std::optional<nanoseconds> ping_;
    int timer_ = -1;
    bool ready_ = false;
    std::optional<nanoseconds> status_sent_;
    std::optional<MetricsFile> metrics_;
    nanoseconds metrics_interval_;
    nanoseconds metrics_due_{0};
};

}  // namespace korvicd
