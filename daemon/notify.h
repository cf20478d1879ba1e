// korvicd's side of systemd's service notification protocol: one datagram of NAME=VALUE
// lines per message (READY=1, STATUS=..., WATCHDOG=1, STOPPING=1) to the AF_UNIX socket
// that NOTIFY_SOCKET names. The reading of the environment is pure; Notifier sends.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvicd {

using std::chrono::nanoseconds;

// NOTIFY_SOCKET as a socket address: an absolute path ("/run/systemd/notify") or an
// abstract name ("@name", whose '@' becomes the leading 0 byte). Anything else (empty,
// relative, longer than a socket address holds) gives no address and says why.
struct NotifyAddress {
    sockaddr_un addr{};
    socklen_t length = 0;
};
std::optional<NotifyAddress> notify_address(std::string_view value, std::string &problem);

// How often WATCHDOG=1 goes out: half of WATCHDOG_USEC (a whole number of microseconds,
// more than 0), when WATCHDOG_PID is unset or names `self`; nullopt when there is no
// watchdog for this process. A null pointer is an unset variable.
std::optional<nanoseconds> watchdog_interval(const char *usec, const char *pid, pid_t self);

// Whether the bursts are on time at `now`: the next one is due at `next_burst` and is not
// late by more than `allowance`. WATCHDOG=1 goes out only then, so a loop whose bursts stop
// completing stops keeping systemd's watchdog away however its timers fire.
constexpr bool bursts_on_time(nanoseconds now, nanoseconds next_burst, nanoseconds allowance) {
    return now <= next_burst + allowance;
}

// The socket to systemd, or nothing (not started by systemd, or NOTIFY_SOCKET unusable):
// then send() does nothing. Each message is one sendto() without waiting; a failure is
// one log line when it starts and one when messages go through again, never fatal.
class Notifier {
  public:
    Notifier() = default;
    // From NOTIFY_SOCKET; a value that is set but unusable gives a log line.
    static Notifier from_environment(std::vector<std::string> &log);
    explicit Notifier(const NotifyAddress &address);
    ~Notifier();
    Notifier(Notifier &&other) noexcept;
    Notifier &operator=(Notifier &&other) noexcept;
    Notifier(const Notifier &) = delete;
    Notifier &operator=(const Notifier &) = delete;

    bool enabled() const { return fd_ >= 0; }
    // Whether the message went out (false without a socket).
    bool send(std::string_view message, std::vector<std::string> &log);

  private:
    int fd_ = -1;
    NotifyAddress address_;
    bool failing_ = false;
};

}  // namespace korvicd
