// The board lock around the register sequences, as another open of the device sees it:
// held during every access of a sequence (and the clock readings of a sample), free after
// it; a lock held elsewhere makes a Board throw BoardBusy before any access and the C API
// go on after saying so once; a window mapped by hand is never locked.
#include <sys/file.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "board_impl.h"
#include "korvic/board.hpp"
#include "korvic_api.h"
#include "library_window.h"
#include "scratch_dir.h"
#include "trap.h"
#include "trap_fixture.h"

namespace {

using korvic::Board;
using korvic::BoardBusy;
using korvic::detail::BoardInternals;
using korvic::test::LibraryWindow;
using korvic::test::RecordingRegisters;
using korvic::test::ScratchDir;

// Another open of the register device: can it take the lock now?
bool lock_free(int probe) {
    if (flock(probe, LOCK_EX | LOCK_NB) != 0)
        return false;
    flock(probe, LOCK_UN);
    return true;
}

// Registers that count the accesses made while another open could take the lock.
class ProbedRegisters : public RecordingRegisters {
  public:
    std::uint32_t load32(std::uint32_t offset) override {
        check();
        return RecordingRegisters::load32(offset);
    }
    void store32(std::uint32_t offset, std::uint32_t value) override {
        check();
        RecordingRegisters::store32(offset, value);
    }
    void check() { unlocked += lock_free(probe) ? 1 : 0; }

    int probe = -1;
    int unlocked = 0;
};

// The clock of a sample, counting the readings made without the lock.
int g_clock_probe = -1;
int g_unlocked_clock_readings = 0;
korvic::system_time probed_clock() {
    g_unlocked_clock_readings += lock_free(g_clock_probe) ? 1 : 0;
    return korvic::realtime_now();
}

struct Call {
    const char *name;
    std::function<void()> run;
};

// A register device in memory, a second open of it (the probe) and its window trapped.
class LockFixture : public ::testing::Test {
  protected:
    void TearDown() override {
        if (probe >= 0)
            close(probe);
    }
    void open_probe(const std::filesystem::path &device) {
        probe = open(device.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(probe, 0);
        regs.probe = g_clock_probe = probe;
    }
    // Holds the lock through the probe, which then looks no more.
    void hold_elsewhere() {
        ASSERT_EQ(flock(probe, LOCK_EX | LOCK_NB), 0);
        regs.probe = -1;
    }
    // Runs each call on a free lock: every access under the lock, the lock free again after.
    void expect_locked(const std::vector<Call> &calls) {
        for (const Call &c : calls) {
            SCOPED_TRACE(c.name);
            regs.clear_log();
            regs.unlocked = 0;
            c.run();
            EXPECT_GE(regs.log().size(), 2u) << "not a sequence";
            EXPECT_EQ(regs.unlocked, 0) << "accesses made without the lock";
            EXPECT_TRUE(lock_free(probe)) << "the lock stayed held";
        }
    }

    ScratchDir scratch;
    ProbedRegisters regs;
    int probe = -1;
};

// ---------------------------------------------------------------------------------------
// korvic::Board
// ---------------------------------------------------------------------------------------

class BoardLock : public LockFixture {
  protected:
    void SetUp() override {
        scratch.write_device("board", 512);
        open_probe(scratch.path() / "board");
        korvic::Settings s;
        s.lock_wait = std::chrono::milliseconds{20};
        const int fd = open((scratch.path() / "board").c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        board.emplace(BoardInternals::over_window(window.base(), s, fd, scratch.path() / "board"));
    }

    std::vector<Call> calls() {
        const korvic::utc_time t = korvic::parse_time("2026-04-11T12:34:56.789Z");
        Board &b = *board;
        return {
            {"now", [&b] { b.now(); }},
            {"sample", [&b] { b.sample(); }},
            {"event_time", [&b] { b.event_time(); }},
            {"preset_time", [&b] { b.preset_time(); }},
            {"latched_time", [&b] { b.latched_time(); }},
            {"compare", [&b] { b.compare(); }},
            {"preset", [&b, t] { b.preset(t); }},
            {"set_compare", [&b, t] { b.set_compare(t, korvic::CompareMask::every_second); }},
            {"set_compare_off", [&b] { b.set_compare_off(); }},
            {"clear_compare_flag", [&b] { b.clear_compare_flag(); }},
            {"stop_timer", [&b] { b.stop_timer(); }},
            {"start_timer", [&b] { b.start_timer(); }},
            {"EventWatcher", [&b] { korvic::EventWatcher(b).poll(); }},
        };
    }

    korvic::sim::TrapWindow window{regs, 512};
    std::optional<Board> board;
};

TEST_F(BoardLock, EveryAccessOfASequenceIsUnderTheLock) {
    expect_locked(calls());
}

TEST_F(BoardLock, ASampleReadsTheClockUnderTheLock) {
    BoardInternals::set_clock(*board, probed_clock);
    g_unlocked_clock_readings = 0;
    board->sample();
    EXPECT_EQ(g_unlocked_clock_readings, 0);
    EXPECT_TRUE(lock_free(probe));
}

TEST_F(BoardLock, ALockHeldElsewhereIsBoardBusyBeforeAnyAccess) {
    hold_elsewhere();
    for (const Call &c : calls()) {
        SCOPED_TRACE(c.name);
        regs.clear_log();
        try {
            c.run();
            ADD_FAILURE() << "no BoardBusy";
        } catch (const BoardBusy &e) {
            EXPECT_EQ(e.code(), std::errc::device_or_resource_busy);
            EXPECT_THAT(e.what(), ::testing::HasSubstr("held by another process for over 20 ms"));
        }
        EXPECT_TRUE(regs.log().empty()) << "an access without the lock";
    }
    // Freed, the same Board goes on.
    flock(probe, LOCK_UN);
    EXPECT_NO_THROW(board->now());
}

// ---------------------------------------------------------------------------------------
// The C API
// ---------------------------------------------------------------------------------------

// init_847 on a device in memory, its window then trapped where init_847 mapped it.
class CApiLock : public LockFixture {
  protected:
    void SetUp() override {
        restore.emplace(nullptr);
        scratch.write_device("board", 512);
        scratch.write_config("MEM_PATH=board\n");
        ASSERT_EQ(init_847(), 0);
        open_probe(scratch.path() / "board");
        trapped.emplace(regs, const_cast<std::uint32_t *>(base_addr), 512, false);
    }
    void TearDown() override {
        trapped.reset();
        close_847();
        restore.reset();
        LockFixture::TearDown();
    }

    static std::vector<Call> calls() {
        static std::uint32_t words[7];
        static korvic_broken_down t{0, 789, 56, 34, 12, 100, 2026};
        static korvic_timespec ts{1'775'910'896, 0};
        static std::uint64_t us = 0;
        std::vector<Call> out;
        for (std::uint32_t mode = 0; mode <= 3; ++mode) {
            void *time = mode == 1   ? static_cast<void *>(&ts)
                         : mode == 2 ? static_cast<void *>(&us)
                                     : static_cast<void *>(words);
            out.push_back({"snapshot_time", [=] { snapshot_time(mode, time); }});
            out.push_back(
                {"read_external_event_reg", [=] { read_external_event_reg(mode, time); }});
            out.push_back({"read_preset_time_reg", [=] { read_preset_time_reg(mode, time); }});
            out.push_back({"read_time_cmp_reg", [=] { read_time_cmp_reg(mode, nullptr, time); }});
        }
        out.insert(out.end(),
                   {
                       {"write_preset_time_reg", [] { write_preset_time_reg(3, &t); }},
                       {"set_new_time", [] { set_new_time(1, &ts); }},
                       {"reset_time", [] { reset_time(); }},
                       {"write_time_cmp_reg", [] { write_time_cmp_reg(2, 4, &us); }},
                       {"write_hw_ctl_reg_bitfield", [] { write_hw_ctl_reg_bitfield(1, 1); }},
                       {"write_conf_reg_bitfield", [] { write_conf_reg_bitfield(4, 1); }},
                       {"read_position_freeze_reg", [] { read_position_freeze_reg(words); }},
                       {"freeze_time", [] { freeze_time(); }},
                       {"read_preset_position_reg", [] { read_preset_position_reg(words); }},
                       {"read_signal_level_reg", [] { read_signal_level_reg(words); }},
                       {"write_preset_position_reg", [] { write_preset_position_reg(words); }},
                   });
        return out;
    }

    std::optional<LibraryWindow> restore;
    std::optional<korvic::sim::TrapWindow> trapped;
};

TEST_F(CApiLock, EveryAccessOfASequenceIsUnderTheLock) {
    expect_locked(calls());
}

// No error to return: after the wait the call runs as it always did, said once.
TEST_F(CApiLock, ALockHeldElsewhereIsSaidOnceAndTheCallsGoOn) {
    hold_elsewhere();
    ::testing::internal::CaptureStderr();
    korvic_broken_down t{};
    EXPECT_EQ(snapshot_time(3, &t), 0);
    EXPECT_EQ(write_conf_reg_bitfield(4, 0), 0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(regs.log().size(), 6u + 2u) << "the sequences were not made";
    EXPECT_THAT(err, ::testing::MatchesRegex("lock mempath: board is held by another process for "
                                             "over 100 ms; going on without the board lock "
                                             "\\(said once\\)\n"));
    flock(probe, LOCK_UN);
}

// A window that the caller points base_addr at by hand is not init_847's: its sequences
// take no lock, even while init_847's device is locked elsewhere.
TEST_F(CApiLock, AWindowSetUpByHandIsNeverLocked) {
    hold_elsewhere();
    RecordingRegisters other;
    korvic::sim::TrapWindow by_hand(other, 512);
    const LibraryWindow attached(by_hand.base());
    ::testing::internal::CaptureStderr();
    for (const Call &c : calls())
        c.run();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(regs.log().empty());
    EXPECT_FALSE(other.log().empty());
    flock(probe, LOCK_UN);
}

}  // namespace
