// The board lock's primitive on a device stand-in (a file in memory): taken when free, Busy
// after the whole wait while another process holds it, taken as soon as that holder ends
// or dies, Failed on a descriptor that cannot be locked; and a Board used by a child of
// fork() locks apart from its parent.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>

#include "board_impl.h"
#include "board_lock.h"
#include "korvic/board.hpp"
#include "memory_file.h"

namespace {

using korvic::lock::Outcome;
using korvic::lock::Primitive;
using std::chrono::milliseconds;

std::chrono::steady_clock::time_point now() {
    return std::chrono::steady_clock::now();
}

// A child process that takes the lock on its own open of `path` and says so on a pipe,
// then holds it until it is ended (SIGKILL) or for `hold`.
class Holder {
  public:
    Holder(const std::filesystem::path &path, Primitive p, milliseconds hold) {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = open(path.c_str(), O_RDWR);
            const korvic::lock::Attempt a = korvic::lock::acquire(fd, p, milliseconds{0});
            const char c = a.outcome == Outcome::Held ? 'y' : 'n';
            (void)!write(ready[1], &c, 1);
            const timespec ts{static_cast<time_t>(hold.count() / 1000),
                              static_cast<long>(hold.count() % 1000) * 1'000'000};
            nanosleep(&ts, nullptr);
            _exit(0);
        }
        close(ready[1]);
        char c = 0;
        pollfd pfd{ready[0], POLLIN, 0};
        held_ = poll(&pfd, 1, 10000) == 1 && read(ready[0], &c, 1) == 1 && c == 'y';
        close(ready[0]);
    }
    ~Holder() { end(); }
    Holder(const Holder &) = delete;
    Holder &operator=(const Holder &) = delete;

    bool held() const { return held_; }
    void end() {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    bool held_ = false;
};

class LockPrimitive : public ::testing::TestWithParam<Primitive> {
  protected:
    korvic::test::MemoryFile device{512};
    int fd = open(device.path().c_str(), O_RDWR | O_CLOEXEC);
    void TearDown() override { close(fd); }
};

TEST_P(LockPrimitive, FreeIsTakenAtOnceAndReleased) {
    ASSERT_EQ(korvic::lock::acquire(fd, GetParam(), milliseconds{0}).outcome, Outcome::Held);
    korvic::lock::release(fd, GetParam());
    // Released: another process takes it at once.
    const Holder other(device.path(), GetParam(), milliseconds{0});
    EXPECT_TRUE(other.held());
}

TEST_P(LockPrimitive, HeldElsewhereIsBusyAfterTheWholeWait) {
    const Holder other(device.path(), GetParam(), milliseconds{60000});
    ASSERT_TRUE(other.held());
    const auto start = now();
    const korvic::lock::Attempt a = korvic::lock::acquire(fd, GetParam(), milliseconds{50});
    EXPECT_EQ(a.outcome, Outcome::Busy);
    EXPECT_GE(now() - start, milliseconds{50});
}

TEST_P(LockPrimitive, AHolderThatEndsOrDiesInsideTheWaitLetsTheWaiterIn) {
    struct Row {
        const char *name;
        milliseconds hold;  // how long the holder keeps it before it exits
        bool killed;        // ended by SIGKILL instead
    } rows[] = {{"exits", milliseconds{30}, false}, {"killed", milliseconds{60000}, true}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        Holder other(device.path(), GetParam(), r.hold);
        ASSERT_TRUE(other.held());
        if (r.killed)
            other.end();
        EXPECT_EQ(korvic::lock::acquire(fd, GetParam(), milliseconds{10000}).outcome,
                  Outcome::Held);
        korvic::lock::release(fd, GetParam());
    }
}

TEST_P(LockPrimitive, ADescriptorThatCannotBeLockedFails) {
    const korvic::lock::Attempt a = korvic::lock::acquire(-1, GetParam(), milliseconds{50});
    EXPECT_EQ(a.outcome, Outcome::Failed);
    EXPECT_EQ(a.error, EBADF);
}

INSTANTIATE_TEST_SUITE_P(Both, LockPrimitive,
                         ::testing::Values(Primitive::Flock, Primitive::RecordLock),
                         [](const auto &info) {
                             return info.param == Primitive::Flock ? "flock" : "record_lock";
                         });

// A child of fork() that goes on with its parent's Board has a lock of its own: while the
// child holds it (inside a sample, at its clock reading), the parent's Board cannot have
// it. Sharing the parent's open, both would "hold" it at once.
int g_ready_pipe = -1;
korvic::system_time slow_clock() {
    const char c = 'x';
    (void)!write(g_ready_pipe, &c, 1);
    const timespec ts{0, 300'000'000};
    nanosleep(&ts, nullptr);
    return korvic::realtime_now();
}

TEST(BoardAfterFork, TheChildsLockIsItsOwn) {
    const korvic::test::MemoryFile device(512);
    korvic::Settings s;
    s.mem_path = device.path();
    s.lock_wait = milliseconds{20};
    korvic::Board board(s);
    board.now();
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    g_ready_pipe = ready[1];
    const pid_t child = fork();
    if (child == 0) {
        korvic::detail::BoardInternals::set_clock(board, slow_clock);
        board.sample();
        _exit(0);
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    EXPECT_THROW(board.now(), korvic::BoardBusy);
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_NO_THROW(board.now());
}

}  // namespace
