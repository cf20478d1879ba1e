#include "board_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>
#if defined(__has_include)
#if __has_include(<sys/file.h>)
#include <sys/file.h>
#endif
#endif

#include <atomic>
#include <cerrno>

namespace korvic::lock {
namespace {

#if defined(LOCK_EX) && defined(LOCK_NB)
constexpr bool kHaveFlock = true;
#else
constexpr bool kHaveFlock = false;
#endif

// One try without waiting.
Attempt try_once(int fd, Primitive p) {
    for (;;) {
        int r = -1;
        if (p == Primitive::Flock) {
#if defined(LOCK_EX) && defined(LOCK_NB)
            r = flock(fd, LOCK_EX | LOCK_NB);
#else
            errno = ENOSYS;
#endif
        } else {
            struct flock whole {};
            whole.l_type = F_WRLCK;
            whole.l_whence = SEEK_SET;
            r = fcntl(fd, F_SETLK, &whole);
        }
        if (r == 0)
            return {Outcome::Held, 0};
        if (errno == EINTR)
            continue;
        if (errno == EWOULDBLOCK || errno == EAGAIN || errno == EACCES)
            return {Outcome::Busy, errno};
        return {Outcome::Failed, errno};
    }
}

// Waiting processes make themselves known with a shared OFD record lock on the device's
// first byte (a lock apart from flock's, which it does not touch), so that a process
// that takes the lock again and again (a loop of readings) can let them in: flock hands
// nothing over, and a waiter that only tries now and then would rarely find the lock free
// between two of its sequences. Linux only; elsewhere nobody is marked.
#if defined(F_OFD_SETLK) && defined(F_OFD_GETLK)
void mark_waiting(int fd, bool on) {
    struct flock first {};
    first.l_type = on ? F_RDLCK : F_UNLCK;
    first.l_whence = SEEK_SET;
    first.l_len = 1;
    fcntl(fd, F_OFD_SETLK, &first);
}
bool others_waiting(int fd) {
    struct flock first {};
    first.l_type = F_WRLCK;
    first.l_whence = SEEK_SET;
    first.l_len = 1;
    return fcntl(fd, F_OFD_GETLK, &first) == 0 && first.l_type != F_UNLCK;
}
#else
void mark_waiting(int, bool) {}
bool others_waiting(int) {
    return false;
}
#endif

std::chrono::nanoseconds monotonic() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::chrono::seconds{ts.tv_sec} + std::chrono::nanoseconds{ts.tv_nsec};
}

std::atomic<unsigned> g_forks{0};

extern "C" void count_fork() {
    g_forks.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

Primitive native_primitive() noexcept {
    return kHaveFlock ? Primitive::Flock : Primitive::RecordLock;
}

Attempt acquire(int fd, Primitive p, std::chrono::nanoseconds wait) {
    using std::chrono::microseconds;
    constexpr microseconds kFirstSleep{10}, kLongestSleep{100};
    Attempt a = try_once(fd, p);
    if (a.outcome != Outcome::Busy || wait <= std::chrono::nanoseconds{0})
        return a;
    const std::chrono::nanoseconds deadline = monotonic() + wait;
    microseconds sleep = kFirstSleep;
    if (p == Primitive::Flock)
        mark_waiting(fd, true);
    for (;;) {
        const std::chrono::nanoseconds left = deadline - monotonic();
        if (left <= std::chrono::nanoseconds{0})
            break;
        const std::chrono::nanoseconds nap = left < sleep ? left : sleep;
        timespec ts{0, static_cast<long>(nap.count())};
        // A signal only shortens the nap: the deadline decides.
        nanosleep(&ts, nullptr);
        a = try_once(fd, p);
        if (a.outcome != Outcome::Busy)
            break;
        sleep = sleep * 2 > kLongestSleep ? kLongestSleep : sleep * 2;
    }
    if (p == Primitive::Flock)
        mark_waiting(fd, false);
    return a;
}

bool give_way(int fd, std::chrono::nanoseconds longest) {
    using std::chrono::microseconds;
    if (!others_waiting(fd))
        return false;
    const std::chrono::nanoseconds deadline = monotonic() + longest;
    do {
        timespec ts{0, static_cast<long>(std::chrono::nanoseconds{microseconds{50}}.count())};
        nanosleep(&ts, nullptr);
    } while (monotonic() < deadline && others_waiting(fd));
    return true;
}

void release(int fd, Primitive p) {
    if (p == Primitive::Flock) {
#if defined(LOCK_UN)
        flock(fd, LOCK_UN);
#endif
        return;
    }
    struct flock whole {};
    whole.l_type = F_UNLCK;
    whole.l_whence = SEEK_SET;
    fcntl(fd, F_SETLK, &whole);
}

void BoardLock::enter() {
    if (depth_ > 0) {
        ++depth_;
        return;
    }
    // A throw from here on (descriptor(), busy()) leaves the lock not entered.
    const int fd = descriptor();
    if (fd >= 0) {
        // A loop of readings looks for waiting processes now and then (a look is a system
        // call), and lets them in first.
        if (primitive_ == Primitive::Flock) {
            const std::chrono::nanoseconds t = monotonic();
            if (t - last_look_ >= kLookEvery) {
                last_look_ = t;
                give_way(fd, kLongestWayGiven);
            }
        }
        const Attempt a = acquire(fd, primitive_, wait_);
        if (a.outcome == Outcome::Held) {
            locked_fd_ = fd;
            held_ = true;
        } else {
            busy(a);
        }
    }
    depth_ = 1;
}

void BoardLock::leave() {
    if (--depth_ > 0)
        return;
    // A descriptor closed meanwhile (close_847 from a signal handler) took the lock with it;
    // its number may be another file's by now.
    if (held_ && current_descriptor() == locked_fd_)
        release(locked_fd_, primitive_);
    held_ = false;
    locked_fd_ = -1;
}

unsigned fork_generation() {
    static const bool registered = pthread_atfork(nullptr, nullptr, count_fork) == 0;
    (void)registered;
    return g_forks.load(std::memory_order_relaxed);
}

}  // namespace korvic::lock
