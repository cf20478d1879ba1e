// The boards of a run in shared memory: two Simulators over one run file are one board;
// the run's lock survives a holder that dies; a file that is not a run is refused. And
// the board's clock: offsets, rate errors, stand-stills and jumps at chosen moments.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "calendar.h"
#include "clock.h"
#include "settings.h"
#include "shared_run.h"
#include "simulator.h"

namespace {

using namespace korvic::sim;
namespace fs = std::filesystem;

constexpr std::uint32_t kStatus = 0xFC, kTime1 = 0x100, kConfig = 0x118;
constexpr std::uint32_t kPreset0 = 0x158, kPreset1 = 0x15C, kPreset2 = 0x160;

std::int64_t at(int year, int yday, int h, int m, int s, int ms = 0, int us = 0) {
    return to_us(BoardFields{year, yday, h, m, s, ms, us});
}

class RunFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/korvic_sim_run.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path() const { return (dir_ / "state").string(); }

    static SimSettings virtual_boards(int n) {
        SimSettings s;
        s.virtual_clock = true;
        s.boards.clear();
        for (int k = 1; k <= n; ++k) {
            s.boards.push_back(BoardSettings::defaults(k));
            s.board(k).start_us = at(2026, 100 + k, 12, 0, 0);
            s.board(k).step_us = 1;
        }
        return s;
    }

    fs::path dir_;
};

// What one process does to a board, the next one sees: a preset loaded through one
// Simulator is the time of the other, the virtual clock moves for both, and the trace's
// sequence count is the run's.
TEST_F(RunFile, TwoSimulatorsOnOneRunAreOneBoard) {
    const SimSettings s = virtual_boards(2);
    Simulator first(s, SharedRun::create(path(), 2), PowerUp::Yes, -1, -1);
    Simulator second(s, SharedRun::open(path()), PowerUp::No, -1, -1);
    // 2031-007 08:09:10.250 in the preset layout, then the load bit.
    first.board_target(2).store32(kPreset0, 0x00002510u);
    first.board_target(2).store32(kPreset1, 0x09080700u);
    first.board_target(2).store32(kPreset2, 0x31200000u);
    first.board_target(2).store32(kConfig, kConfigPresetLoad);
    EXPECT_EQ(second.board(2).time_us(), at(2031, 7, 8, 9, 10, 250));
    EXPECT_TRUE(second.board(2).register_word(kStatus) & kStatusTimeSet);
    // Board 1 is another board: untouched, its clock not moved by board 2's accesses.
    EXPECT_EQ(second.board(1).time_us(), at(2026, 101, 12, 0, 0));
    EXPECT_FALSE(second.board(1).register_word(kStatus) & kStatusTimeSet);
    // An access through the second moves the one virtual clock of board 2 for both.
    second.board_target(2).load32(kTime1);
    EXPECT_EQ(first.board(2).time_us(), at(2031, 7, 8, 9, 10, 250) + 1);
    EXPECT_EQ(SharedRun::open(path()).header().sequence.load(), 5u);
}

// A process that dies holding the lock (SIGKILL in the middle of an access looks the same
// to the others) leaves it to the next one, which takes it over and goes on.
TEST_F(RunFile, LockOfADeadHolderIsTakenOver) {
    const SharedRun run = SharedRun::create(path(), 1);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const RunLock lock(run.header());
        _exit(0);  // dies holding it
    }
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    // The next access, in a process of its own so that a hang is a time-out, not a stuck
    // test: it takes the lock twice (over the dead holder, then as usual).
    const pid_t next = fork();
    ASSERT_GE(next, 0);
    if (next == 0) {
        { const RunLock lock(run.header()); }
        { const RunLock lock(run.header()); }
        _exit(7);
    }
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, next, 0));
    ASSERT_GE(fd, 0);
    pollfd p{fd, POLLIN, 0};
    const bool done = poll(&p, 1, 60000) == 1;
    close(fd);
    if (!done)
        kill(next, SIGKILL);
    ASSERT_EQ(waitpid(next, &status, 0), next);
    EXPECT_TRUE(done) << "the next access waited for a dead process";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
}

TEST_F(RunFile, WhatIsNotARunIsRefused) {
    struct Case {
        std::string content;
        const char *why;
    };
    const Case cases[] = {
        {"", "is not the state of a korvic_sim run"},
        {std::string(4096, 'x'), "is not the state of a run of this korvic_sim"},
    };
    for (const Case &c : cases) {
        std::ofstream(path()) << c.content;
        try {
            SharedRun::open(path());
            ADD_FAILURE() << "accepted " << c.content.size() << " bytes";
        } catch (const std::runtime_error &e) {
            EXPECT_NE(std::string(e.what()).find(c.why), std::string::npos) << e.what();
        }
    }
    // A run of another number of boards than the settings name.
    fs::remove(path());
    const SharedRun two = SharedRun::create(path(), 2);
    EXPECT_THROW(Simulator(virtual_boards(1), SharedRun::open(path()), PowerUp::No, -1, -1),
                 std::runtime_error);
    EXPECT_THROW(SharedRun::create(path(), 1), std::system_error) << "made over an existing file";
}

// ---------------------------------------------------------------------------------------
// The board's clock.
// ---------------------------------------------------------------------------------------

ClockEvent stop(std::int64_t at_us, std::int64_t for_us = kForever) {
    return {ClockEvent::Kind::Stop, at_us, for_us};
}
ClockEvent jump(std::int64_t at_us, std::int64_t by_us) {
    return {ClockEvent::Kind::Jump, at_us, by_us};
}

// What the board's clock adds to its source, moment by moment of the run.
TEST(BoardClockError, StandStillsJumpsAndDrift) {
    struct Case {
        const char *what;
        std::int64_t drift_ppb;
        std::vector<ClockEvent> events;
        std::vector<std::pair<std::int64_t, std::int64_t>> elapsed_error;
    };
    const Case cases[] = {
        {"none", 0, {}, {{-5, 0}, {0, 0}, {1'000'000'000, 0}}},
        {"stand-still from 10 for 5",
         0,
         {stop(10, 5)},
         {{9, 0}, {10, 0}, {11, -1}, {14, -4}, {15, -5}, {1000, -5}}},
        {"stand-still to the end", 0, {stop(10)}, {{10, 0}, {11, -1}, {1'000'000, -999'990}}},
        {"jump forward and back",
         0,
         {jump(10, 1000), jump(20, -300)},
         {{9, 0}, {10, 1000}, {19, 1000}, {20, 700}}},
        {"10 % fast", 100'000'000, {}, {{0, 0}, {10, 1}, {1000, 100}}},
        {"0.5 ppm slow", -500, {}, {{2'000'000, -1}, {1'000'000'000, -500}}},
        // Standing, the clock neither runs nor drifts: 10 + 10 % of 10 before, stands at 11.
        {"fast, then standing",
         100'000'000,
         {stop(10, 100)},
         {{10, 1}, {60, 1 + 5 - 55}, {110, 1 + 10 - 110}, {210, 1 + 20 - 110}}},
        {"a jump while standing",
         0,
         {stop(10, 100), jump(50, 7)},
         {{40, -30}, {50, -40 + 7}, {200, -100 + 7}}},
    };
    for (const Case &c : cases)
        for (const auto &[elapsed, error] : c.elapsed_error)
            EXPECT_EQ(clock_error(c.drift_ppb, c.events, elapsed), error)
                << c.what << " at " << elapsed;
    // In nanoseconds: the same moments, to the nanosecond.
    const std::vector<ClockEvent> events = {stop(10, 5), jump(20, 1)};
    EXPECT_EQ(clock_error(0, events, 12'345, 1000), -2'345);
    EXPECT_EQ(clock_error(0, events, 20'000, 1000), -5'000 + 1'000);
    const std::vector<ClockEvent> far = {stop(kForever / 2)};
    EXPECT_EQ(clock_error(0, far, INT64_MAX, 1000), 0) << "beyond 64 bits";
}

// On a virtual clock the moments are the clock's own: the board stands still from 10 us
// after its start for 5 us, then jumps, whatever the host does.
TEST(BoardClockError, BoardClockOverAVirtualClock) {
    VirtualClock source(1000);
    const std::vector<ClockEvent> events = {stop(10, 5), jump(20, 100)};
    BoardClock clock(source, {0, 0, events}, 1000);
    std::vector<std::int64_t> seen;
    for (int i = 0; i < 22; ++i) {
        seen.push_back(clock.now_us() - 1000);
        source.advance(1);
    }
    const std::vector<std::int64_t> want = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,   10,
                                            10, 10, 10, 10, 10, 11, 12, 13, 14, 115, 116};
    EXPECT_EQ(seen, want);
}

// On the host the board keeps the host's UTC time plus its offset, and a stand-still
// stands still to the microsecond, reading after reading.
TEST(BoardClockError, BoardClockOnTheHost) {
    RealClock host;
    BoardClock offset({-2 * kUsPerSecond, 0, {}}, HostOrigin::now());
    const std::int64_t before = host.now_us();
    const std::int64_t board = offset.now_us();
    const std::int64_t after = host.now_us();
    // The origin's two readings lie a little apart: a microsecond of rounding either way.
    EXPECT_GE(board, before - 2 * kUsPerSecond - 1);
    EXPECT_LE(board, after - 2 * kUsPerSecond + 1);

    const std::vector<ClockEvent> standing = {stop(0)};
    BoardClock still({0, 0, standing}, HostOrigin::now());
    const std::int64_t first = still.now_us();
    for (int i = 0; i < 100000; ++i)
        ASSERT_EQ(still.now_us(), first) << i;
}

}  // namespace
