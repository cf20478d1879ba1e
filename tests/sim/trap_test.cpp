// The MMIO trap engine: every access to a trapped window reaches the target exactly once,
// in program order, whatever instruction makes it.
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "korvic_api.h"
#include "signal_guard.h"
#include "trap.h"
#include "trap_fixture.h"

namespace {

using korvic::test::Access;
using korvic::test::R;
using korvic::test::RecordingRegisters;
using korvic::test::W;

class TrapTest : public ::testing::Test {
  protected:
    RecordingRegisters regs;
    korvic::sim::TrapWindow window{regs, korvic::test::kWindowBytes};
    volatile std::uint32_t *words() { return static_cast<volatile std::uint32_t *>(window.base()); }
};

TEST_F(TrapTest, MixedLoadsAndStoresArriveInProgramOrder) {
    volatile std::uint32_t *w = words();
    regs.set(0x118, 0x08000000);
    w[0xF8 / 4] = 0x02000000;
    const std::uint32_t conf = w[0x118 / 4];
    w[0x118 / 4] = conf | 0x04000000;
    w[0x120 / 4] = 7;
    const std::uint32_t local = w[0x120 / 4];
    EXPECT_EQ(conf, 0x08000000u);
    EXPECT_EQ(local, 7u);
    const std::vector<Access> want = {W(0xF8, 0x02000000), R(0x118, 0x08000000),
                                      W(0x118, 0x0C000000), W(0x120, 7), R(0x120, 7)};
    EXPECT_EQ(regs.log(), want);
}

TEST_F(TrapTest, IdenticalStoresAreEachAnAccess) {
    volatile std::uint32_t *w = words();
    for (int i = 0; i < 3; ++i)
        w[0xFC / 4] = 0xFFFFFFFFu;
    const std::uint32_t a = w[0x104 / 4];
    const std::uint32_t b = w[0x104 / 4];
    EXPECT_EQ(a, b);
    const std::vector<Access> want = {W(0xFC, 0xFFFFFFFF), W(0xFC, 0xFFFFFFFF), W(0xFC, 0xFFFFFFFF),
                                      R(0x104, 0), R(0x104, 0)};
    EXPECT_EQ(regs.log(), want);
}

TEST_F(TrapTest, EveryWordOfTheWindowIsServedAtItsOffset) {
    volatile std::uint32_t *w = words();
    for (std::uint32_t off = 0; off < korvic::test::kWindowBytes; off += 4)
        regs.set(off, 0xA5000000u | off);
    for (std::uint32_t off = 0; off < korvic::test::kWindowBytes; off += 4)
        ASSERT_EQ(w[off / 4], 0xA5000000u | off) << "offset " << off;
    for (std::uint32_t off = 0; off < korvic::test::kWindowBytes; off += 4)
        w[off / 4] = ~off;
    ASSERT_EQ(regs.log().size(), 2u * korvic::test::kWindowBytes / 4);
    for (std::uint32_t i = 0; i < korvic::test::kWindowBytes / 4; ++i) {
        EXPECT_EQ(regs.log()[i], R(4 * i, 0xA5000000u | (4 * i)));
        EXPECT_EQ(regs.log()[128 + i], W(4 * i, ~(4 * i)));
    }
}

// A target whose word at 0x10 answers with its own state, not with what was written:
// a read after a write must see the board's answer, so nothing may be cached in the page.
class SelfClearing : public korvic::sim::MmioTarget {
  public:
    std::uint32_t load32(std::uint32_t offset) override {
        ++loads;
        return offset == 0x10 ? held & ~0x2u : 0x5A5A0000u | offset;
    }
    void store32(std::uint32_t offset, std::uint32_t value) override {
        ++stores;
        if (offset == 0x10)
            held = value;
    }
    std::uint32_t held = 0;
    int loads = 0, stores = 0;
};

TEST(TrapTarget, ReadAfterWriteSeesTheBoardsAnswer) {
    SelfClearing board;
    korvic::sim::TrapWindow window(board, 64);
    auto *w = static_cast<volatile std::uint32_t *>(window.base());
    w[0x10 / 4] = 0x7;
    EXPECT_EQ(w[0x10 / 4], 0x5u);
    EXPECT_EQ(w[0x24 / 4], 0x5A5A0024u);
    EXPECT_EQ(board.loads, 2);
    EXPECT_EQ(board.stores, 1);
}

TEST(TrapTarget, AdoptedPagesAreTrapped) {
    SelfClearing board;
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void *pages = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    {
        korvic::sim::TrapWindow window(board, pages, 128, false);
        EXPECT_EQ(window.base(), pages);
        auto *w = static_cast<volatile std::uint32_t *>(pages);
        EXPECT_EQ(w[0x4C / 4], 0x5A5A004Cu);
        w[0x10 / 4] = 3;
        EXPECT_EQ(board.stores, 1);
    }
    EXPECT_EQ(munmap(pages, page), 0);
}

// The registry grows past its first chunk of slots; each window keeps its own target, also
// after windows in between have gone.
TEST(TrapTarget, ManyWindowsEachReachTheirOwnTarget) {
    constexpr int kWindows = 100;
    std::vector<std::unique_ptr<SelfClearing>> boards;
    std::vector<std::unique_ptr<korvic::sim::TrapWindow>> windows;
    for (int i = 0; i < kWindows; ++i) {
        boards.push_back(std::make_unique<SelfClearing>());
        windows.push_back(std::make_unique<korvic::sim::TrapWindow>(*boards.back(), 64));
    }
    for (int i = 0; i < kWindows; i += 2)
        windows[i].reset();  // free slots in every chunk, reused below
    for (int i = 0; i < kWindows; i += 2)
        windows[i] = std::make_unique<korvic::sim::TrapWindow>(*boards[i], 64);
    for (int i = 0; i < kWindows; ++i) {
        auto *w = static_cast<volatile std::uint32_t *>(windows[i]->base());
        w[0x10 / 4] = static_cast<std::uint32_t>(i) << 4;
    }
    for (int i = 0; i < kWindows; ++i) {
        EXPECT_EQ(boards[i]->held, static_cast<std::uint32_t>(i) << 4) << "window " << i;
        EXPECT_EQ(boards[i]->stores, 1) << "window " << i;
    }
}

// ---------------------------------------------------------------------------------------
// The emulated mov forms, with the registers, prefixes and addressing modes compilers use.
// ---------------------------------------------------------------------------------------

std::uint32_t load_r10_via_r9_disp32(volatile std::uint32_t *p) {
    std::uint32_t v;
    asm volatile("mov %1, %%r9\n\tmovl 0x100(%%r9), %%r10d\n\tmovl %%r10d, %0"
                 : "=r"(v)
                 : "r"(p)
                 : "r9", "r10", "memory");
    return v;
}

std::uint32_t load_r15_via_r12_disp8(volatile std::uint32_t *p) {
    std::uint32_t v;
    asm volatile("mov %1, %%r12\n\tmovl 0x7c(%%r12), %%r15d\n\tmovl %%r15d, %0"
                 : "=r"(v)
                 : "r"(p)
                 : "r12", "r15", "memory");
    return v;
}

std::uint64_t load_zero_extends(volatile std::uint32_t *p) {
    std::uint64_t v;
    asm volatile("movabs $0xffffffffffffffff, %%rdx\n\tmovl (%1), %%edx\n\tmov %%rdx, %0"
                 : "=r"(v)
                 : "r"(p)
                 : "rdx", "memory");
    return v;
}

void store_r11_via_sib(volatile std::uint32_t *p, std::uint64_t index, std::uint32_t value) {
    asm volatile(
        "mov %0, %%rax\n\tmov %1, %%rcx\n\tmov %2, %%r11d\n\tmovl %%r11d, 0x20(%%rax,%%rcx,4)"
        :
        : "r"(p), "r"(index), "r"(value)
        : "rax", "rcx", "r11", "memory");
}

void store_imm_via_r13_negative_disp8(volatile std::uint32_t *p) {
    asm volatile("lea 0x40(%0), %%r13\n\tmovl $0xdeadbeef, -0x8(%%r13)"
                 :
                 : "r"(p)
                 : "r13", "memory");
}

void store_imm_via_rsi_no_disp(volatile std::uint32_t *p) {
    asm volatile("mov %0, %%rsi\n\tmovl $0x000000ff, (%%rsi)" : : "r"(p) : "rsi", "memory");
}

TEST_F(TrapTest, EmulatedMovFormsUseTheRightRegistersAndOffsets) {
    volatile std::uint32_t *w = words();
    regs.set(0x100, 0x12345678);
    regs.set(0x7C, 0x9ABCDEF0);
    regs.set(0x0, 0x00000001);
    const std::uint64_t emulated = korvic::sim::TrapWindow::emulated_count();
    EXPECT_EQ(load_r10_via_r9_disp32(w), 0x12345678u);
    EXPECT_EQ(load_r15_via_r12_disp8(w), 0x9ABCDEF0u);
    EXPECT_EQ(load_zero_extends(w), 1u);
    store_r11_via_sib(w, 5, 0xCAFEF00D);
    store_imm_via_r13_negative_disp8(w);
    store_imm_via_rsi_no_disp(w + 0xFC / 4);
    const std::vector<Access> want = {R(0x100, 0x12345678), R(0x7C, 0x9ABCDEF0), R(0x0, 1),
                                      W(0x34, 0xCAFEF00D),  W(0x38, 0xDEADBEEF), W(0xFC, 0xFF)};
    EXPECT_EQ(regs.log(), want);
    EXPECT_EQ(korvic::sim::TrapWindow::emulated_count() - emulated, want.size());
}

// ---------------------------------------------------------------------------------------
// Any other instruction is single-stepped and still seen as bus accesses.
// ---------------------------------------------------------------------------------------

void or_to_memory(volatile std::uint32_t *p) {
    asm volatile("orl $0x10, 0x118(%0)" : : "r"(p) : "memory", "cc");
}

void add_register_to_memory(volatile std::uint32_t *p, std::uint32_t v) {
    asm volatile("addl %1, 0x120(%0)" : : "r"(p), "r"(v) : "memory", "cc");
}

std::uint32_t sse_load_sum(volatile std::uint32_t *p) {
    std::uint32_t lanes[4];
    asm volatile("movdqu 0x100(%1), %%xmm0\n\tmovdqu %%xmm0, (%0)"
                 :
                 : "r"(lanes), "r"(p)
                 : "xmm0", "memory");
    return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

void byte_store(volatile std::uint32_t *p) {
    asm volatile("movb $0x5a, 0x11a(%0)" : : "r"(p) : "memory");
}

std::uint64_t load64(volatile std::uint32_t *p) {
    std::uint64_t v;
    asm volatile("movq 0x108(%1), %0" : "=r"(v) : "r"(p) : "memory");
    return v;
}

TEST_F(TrapTest, OtherInstructionsAreSteppedAsLoadsAndStores) {
    volatile std::uint32_t *w = words();
    regs.set(0x118, 0x01000001);
    regs.set(0x120, 40);
    for (std::uint32_t i = 0; i < 4; ++i)
        regs.set(0x100 + 4 * i, i + 1);
    regs.set(0x108, 0x11111111);
    regs.set(0x10C, 0x22222222);
    const std::uint64_t stepped = korvic::sim::TrapWindow::stepped_count();

    or_to_memory(w);
    add_register_to_memory(w, 2);
    EXPECT_EQ(sse_load_sum(w), 1u + 2 + 0x11111111 + 0x22222222);
    byte_store(w);
    EXPECT_EQ(load64(w), 0x2222222211111111u);
    const std::uint32_t after = w[0x118 / 4];  // emulated again afterwards

    const std::vector<Access> want = {R(0x118, 0x01000001), W(0x118, 0x01000011),  // orl
                                      R(0x120, 40),         W(0x120, 42),          // addl
                                      R(0x100, 1),          R(0x104, 2),
                                      R(0x108, 0x11111111), R(0x10C, 0x22222222),
                                      R(0x118, 0x01000011), W(0x118, 0x015A0011),  // movb
                                      R(0x108, 0x11111111), R(0x10C, 0x22222222),  // movq
                                      R(0x118, 0x015A0011)};
    EXPECT_EQ(regs.log(), want);
    EXPECT_EQ(after, 0x015A0011u);
    EXPECT_EQ(korvic::sim::TrapWindow::stepped_count() - stepped, 5u);
}

// ---------------------------------------------------------------------------------------
// Code as the library writes it: volatile word accesses through base_addr, at the build's
// optimisation level.
// ---------------------------------------------------------------------------------------

class FixtureTest : public korvic::test::TrapFixture {};

TEST_F(FixtureTest, LibraryAccessesAreRecordedAndGlobalsReset) {
    EXPECT_EQ(static_cast<void *>(const_cast<std::uint32_t *>(base_addr)), window.base());
    EXPECT_EQ(static_cast<void *>(const_cast<std::uint8_t *>(kv_mem)), window.base());
    EXPECT_EQ(g_byte_swap, 0);
    regs.set(0x108, 0x01020304);
    std::uint32_t pos[4] = {};
    read_position_freeze_reg(pos);
    const std::vector<Access> want = {W(0xFC, 255),         W(0xFC, 255), W(0xFC, 255),
                                      R(0x108, 0x01020304), R(0x10C, 0),  R(0x110, 0),
                                      R(0x114, 0)};
    EXPECT_EQ(regs.log(), want);
    EXPECT_EQ(pos[0], 0x01020304u);
    regs.clear_log();
    EXPECT_TRUE(regs.log().empty());
    EXPECT_EQ(::testing::PrintToString(want[0]), "W 0x0fc=0x000000ff");
}

TEST_F(FixtureTest, SwappedWordsAreLoggedAsOnTheBus) {
    g_byte_swap = 1;
    const std::uint32_t conf = 0x11223344;
    write_conf_reg(&conf);
    std::uint32_t back = 0;
    read_conf_reg(&back);
    EXPECT_EQ(back, conf);
    const std::vector<Access> want = {W(0x118, 0x44332211), R(0x118, 0x44332211)};
    EXPECT_EQ(regs.log(), want);
}

// ---------------------------------------------------------------------------------------
// The program's own disposition and mask (signal_guard.h), as the preload library records
// them: they never stand between the engine and an access.
// ---------------------------------------------------------------------------------------

void *volatile g_segv_addr = nullptr;
volatile int g_segv_calls = 0;
void *g_segv_page = nullptr;

// Records the fault and opens the page, so that the instruction runs again and succeeds.
void open_faulting_page(int, siginfo_t *info, void *) {
    g_segv_calls = g_segv_calls + 1;
    g_segv_addr = info->si_addr;
    mprotect(g_segv_page, static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), PROT_READ);
}

TEST(TrapProgramSignals, OwnSegvHandlerGetsFaultsOutsideWindowsOnly) {
    RecordingRegisters regs;
    korvic::sim::TrapWindow window(regs, 512);
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    g_segv_page = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(g_segv_page, MAP_FAILED);
    struct sigaction mine {
    }, before{}, reported{};
    mine.sa_sigaction = open_faulting_page;
    mine.sa_flags = SA_SIGINFO;
    sigemptyset(&mine.sa_mask);
    sigaddset(&mine.sa_mask, SIGTRAP);
    ASSERT_EQ(korvic::sim::program_sigaction(SIGSEGV, &mine, &before), 0);
    g_segv_calls = 0;

    auto *w = static_cast<volatile std::uint32_t *>(window.base());
    regs.set(0x10, 0xC0FFEE);
    EXPECT_EQ(w[0x10 / 4], 0xC0FFEEu);
    or_to_memory(w);  // single-stepped, with the program's handler masking SIGTRAP
    EXPECT_EQ(g_segv_calls, 0);
    EXPECT_EQ(regs.log().size(), 3u);

    auto *other = static_cast<volatile std::uint32_t *>(g_segv_page);
    EXPECT_EQ(other[3], 0u);
    EXPECT_EQ(g_segv_calls, 1);
    EXPECT_EQ(g_segv_addr, static_cast<void *>(const_cast<std::uint32_t *>(other + 3)));

    ASSERT_EQ(korvic::sim::program_sigaction(SIGSEGV, &before, &reported), 0);
    EXPECT_EQ(reported.sa_sigaction, open_faulting_page);
    EXPECT_EQ(reported.sa_flags, SA_SIGINFO);
    EXPECT_EQ(sigismember(&reported.sa_mask, SIGTRAP), 1);
    munmap(g_segv_page, page);
}

TEST(TrapProgramSignals, AccessesWorkWhileTheProgramBlocksEverySignal) {
    RecordingRegisters regs;
    korvic::sim::TrapWindow window(regs, 512);
    sigset_t all, old, now;
    sigfillset(&all);
    ASSERT_EQ(korvic::sim::program_sigmask(SIG_BLOCK, &all, &old), 0);
    auto *w = static_cast<volatile std::uint32_t *>(window.base());
    regs.set(0x118, 1);
    or_to_memory(w);
    EXPECT_EQ(w[0x118 / 4], 0x11u);
    ASSERT_EQ(korvic::sim::program_sigmask(SIG_SETMASK, &old, &now), 0);
    EXPECT_EQ(sigismember(&now, SIGSEGV), 1);  // the program's view: what it set
    EXPECT_EQ(sigismember(&now, SIGTRAP), 1);
    EXPECT_EQ(sigismember(&now, SIGINT), 1);
    ASSERT_EQ(korvic::sim::program_sigmask(SIG_BLOCK, nullptr, &now), 0);
    EXPECT_EQ(sigismember(&now, SIGSEGV), 0);
}

volatile int g_trap_calls = 0;
void count_trap(int) {
    g_trap_calls = g_trap_calls + 1;
}

TEST(TrapProgramSignals, SentTrapWaitsWhileBlockedAndArrivesOnUnblocking) {
    RecordingRegisters regs;
    korvic::sim::TrapWindow window(regs, 512);
    struct sigaction mine {
    }, before{};
    mine.sa_handler = count_trap;
    sigemptyset(&mine.sa_mask);
    ASSERT_EQ(korvic::sim::program_sigaction(SIGTRAP, &mine, &before), 0);
    g_trap_calls = 0;
    sigset_t trap, pending;
    sigemptyset(&trap);
    sigaddset(&trap, SIGTRAP);
    ASSERT_EQ(korvic::sim::program_sigmask(SIG_BLOCK, &trap, nullptr), 0);
    raise(SIGTRAP);
    EXPECT_EQ(g_trap_calls, 0);
    ASSERT_EQ(korvic::sim::program_sigpending(&pending), 0);
    EXPECT_EQ(sigismember(&pending, SIGTRAP), 1);
    ASSERT_EQ(korvic::sim::program_sigmask(SIG_UNBLOCK, &trap, nullptr), 0);
    EXPECT_EQ(g_trap_calls, 1);
    ASSERT_EQ(korvic::sim::program_sigpending(&pending), 0);
    EXPECT_EQ(sigismember(&pending, SIGTRAP), 0);
    korvic::sim::program_sigaction(SIGTRAP, &before, nullptr);
}

// A fault the processor raises while the program blocks or ignores SIGSEGV kills, as the
// kernel does without the engine.
TEST(TrapProgramSignalsDeathTest, FaultKillsWhileTheProgramBlocksOrIgnoresIt) {
    RecordingRegisters regs;
    korvic::sim::TrapWindow window(regs, 512);
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void *other = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(other, MAP_FAILED);
    auto *w = static_cast<volatile std::uint32_t *>(window.base());
    EXPECT_EXIT(
        {
            sigset_t segv;
            sigemptyset(&segv);
            sigaddset(&segv, SIGSEGV);
            korvic::sim::program_sigmask(SIG_BLOCK, &segv, nullptr);
            (void)w[0];
            static_cast<volatile std::uint32_t *>(other)[0] = 1;
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    EXPECT_EXIT(
        {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            korvic::sim::program_sigaction(SIGSEGV, &ignore, nullptr);
            (void)w[0];
            static_cast<volatile std::uint32_t *>(other)[0] = 1;
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    munmap(other, page);
}

// ---------------------------------------------------------------------------------------
// Faults that are not window accesses stay fatal.
// ---------------------------------------------------------------------------------------

TEST(TrapDeathTest, AccessBeyondTheWindowInItsPageIsFatal) {
    RecordingRegisters regs;
    korvic::sim::TrapWindow window(regs, 512);
    auto *w = static_cast<volatile std::uint32_t *>(window.base());
    EXPECT_DEATH((void)w[512 / 4], "");
}

TEST(TrapDeathTest, FaultOnOtherProtectedMemoryIsFatal) {
    RecordingRegisters regs;
    korvic::sim::TrapWindow window(regs, 512);
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void *other = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(other, MAP_FAILED);
    EXPECT_DEATH(static_cast<volatile std::uint32_t *>(other)[1] = 1, "");
    munmap(other, page);
}

TEST(TrapDeathTest, ForeignTrapIsNotSwallowed) {
    RecordingRegisters regs;
    korvic::sim::TrapWindow window(regs, 512);
    EXPECT_EXIT(raise(SIGTRAP), ::testing::KilledBySignal(SIGTRAP), "");
}

TEST(TrapDeathTest, DetachedWindowFaults) {
    RecordingRegisters regs;
    korvic::sim::TrapWindow window(regs, 512);
    window.detach();
    auto *w = static_cast<volatile std::uint32_t *>(window.base());
    EXPECT_DEATH((void)w[0], "");
}

}  // namespace
