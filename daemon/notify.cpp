#include "notify.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "quoting.h"

namespace korvicd {

std::optional<NotifyAddress> notify_address(std::string_view value, std::string &problem) {
    NotifyAddress a;
    a.addr.sun_family = AF_UNIX;
    if (value.size() < 2 || (value[0] != '/' && value[0] != '@')) {
        problem = "NOTIFY_SOCKET " + korvic::detail::quote(value) +
                  ": neither an absolute path nor an abstract name (@NAME)";
        return std::nullopt;
    }
    // A path needs its terminating 0 inside sun_path; an abstract name is counted by length.
    const std::size_t room = sizeof a.addr.sun_path - (value[0] == '/' ? 1 : 0);
    if (value.size() > room) {
        problem = "NOTIFY_SOCKET " + korvic::detail::quote(value) +
                  ": longer than a socket address holds";
        return std::nullopt;
    }
    std::memcpy(a.addr.sun_path, value.data(), value.size());
    if (value[0] == '@')
        a.addr.sun_path[0] = '\0';
    a.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + value.size() +
                                      (value[0] == '/' ? 1 : 0));
    return a;
}

std::optional<nanoseconds> watchdog_interval(const char *usec, const char *pid, pid_t self) {
    if (usec == nullptr)
        return std::nullopt;
    if (pid != nullptr) {
        long long p = 0;
        const char *end = pid + std::strlen(pid);
        const auto [ptr, ec] = std::from_chars(pid, end, p);
        if (ec != std::errc{} || ptr != end || p != self)
            return std::nullopt;
    }
    unsigned long long us = 0;
    const char *end = usec + std::strlen(usec);
    const auto [ptr, ec] = std::from_chars(usec, end, us);
    // Beyond a day, the watchdog would wait longer than any duration korvicd computes with.
    constexpr unsigned long long kDay = 86'400'000'000ULL;
    if (ec != std::errc{} || ptr != end || ptr == usec || us == 0 || us > kDay)
        return std::nullopt;
    return nanoseconds{static_cast<std::int64_t>(us) * 1000 / 2};
}

Notifier Notifier::from_environment(std::vector<std::string> &log) {
    const char *value = std::getenv("NOTIFY_SOCKET");
    if (value == nullptr || *value == '\0')
        return {};
    std::string problem;
    const std::optional<NotifyAddress> address = notify_address(value, problem);
    if (!address) {
        log.push_back(problem + ": systemd is not told korvicd's state");
        return {};
    }
    Notifier n(*address);
    if (!n.enabled())
        log.push_back(std::string("NOTIFY_SOCKET: socket: ") + std::strerror(errno) +
                      ": systemd is not told korvicd's state");
    return n;
}

Notifier::Notifier(const NotifyAddress &address) : address_(address) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

Notifier::~Notifier() {
    if (fd_ >= 0)
        ::close(fd_);
}

Notifier::Notifier(Notifier &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)), address_(other.address_), failing_(other.failing_) {}

Notifier &Notifier::operator=(Notifier &&other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        address_ = other.address_;
        failing_ = other.failing_;
    }
    return *this;
}

bool Notifier::send(std::string_view message, std::vector<std::string> &log) {
    if (fd_ < 0)
        return false;
    const ssize_t n = ::sendto(fd_, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr *>(&address_.addr), address_.length);
    if (n == static_cast<ssize_t>(message.size())) {
        if (failing_)
            log.emplace_back("systemd takes notifications again");
        failing_ = false;
        return true;
    }
    if (!failing_)
        log.push_back(std::string("systemd notification not sent (") +
                      (n < 0 ? std::strerror(errno) : "cut short") +
                      "): logged once until one goes through");
    failing_ = true;
    return false;
}

}  // namespace korvicd
