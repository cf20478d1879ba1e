// MMIO trap engine: SIGSEGV/SIGTRAP handlers that serve accesses to PROT_NONE windows.
#include "trap.h"

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>
#include <system_error>

#include "signal_guard.h"

#if !defined(__x86_64__) || !defined(__linux__)
#error "the MMIO trap engine decodes x86-64 Linux signal frames"
#endif

namespace korvic::sim {

// ---------------------------------------------------------------------------------------
// Registry of live windows, read by the handlers without locks. A slot is published by
// storing `begin` last (release) and withdrawn by clearing it first. Slots come in chunks
// that are appended as windows are added and never freed, so a handler walking the list
// never meets freed memory, whatever the number of windows.
// ---------------------------------------------------------------------------------------

struct TrapSlot {
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::size_t> bytes{0};   // trapped bytes from begin
    std::atomic<std::size_t> mapped{0};  // whole pages from begin
    std::atomic<MmioTarget *> target{nullptr};
};

namespace {

constexpr int kSlotsPerChunk = 16;

struct SlotChunk {
    TrapSlot slots[kSlotsPerChunk];
    std::atomic<SlotChunk *> next{nullptr};
};

SlotChunk g_first_chunk;
std::mutex g_registry_mutex;  // taken by constructors and destructors only, never by handlers

std::atomic<std::uint64_t> g_emulated{0};
std::atomic<std::uint64_t> g_stepped{0};

std::once_flag g_install_once;
int g_install_error = 0;

// One access is served at a time; a single-step holds this from the fault to the trap.
std::atomic_flag g_busy = ATOMIC_FLAG_INIT;

void lock_busy() {
    while (g_busy.test_and_set(std::memory_order_acquire)) {
    }
}
void unlock_busy() {
    g_busy.clear(std::memory_order_release);
}

// State of the single-step in progress (between the fault and its SIGTRAP).
constexpr int kMaxStepWords = 10;  // a 32-byte access, misaligned, touches 9 words
struct StepState {
    std::atomic<bool> active{false};
    pid_t thread = 0;  // the thread whose instruction is stepped
    TrapSlot *slot = nullptr;
    std::uint32_t first_offset = 0;  // of the first word touched
    int words = 0;
    bool store_back = false;
    bool had_trap_flag = false;
    std::uint64_t mask = 0;  // the stepped code's signal mask, signal n at bit n - 1
};
StepState g_step;

constexpr greg_t kTrapFlag = 0x100;
constexpr greg_t kPageFaultWrite = 0x2;  // bit 1 of the page-fault error code

TrapSlot *find_slot(std::uintptr_t addr) {
    for (SlotChunk *c = &g_first_chunk; c != nullptr; c = c->next.load(std::memory_order_acquire)) {
        for (TrapSlot &s : c->slots) {
            const std::uintptr_t b = s.begin.load(std::memory_order_acquire);
            if (b != 0 && addr >= b && addr - b < s.bytes.load(std::memory_order_relaxed))
                return &s;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// Instruction decoding.
// ---------------------------------------------------------------------------------------

// Signal-frame index of general register n as encoded in ModRM/REX (0 = rax ... 15 = r15).
int greg_index(unsigned n) {
    static constexpr int kMap[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP,
                                     REG_RSI, REG_RDI, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                     REG_R12, REG_R13, REG_R14, REG_R15};
    return kMap[n & 15];
}

enum class MovKind : std::uint8_t { None, Load, StoreReg, StoreImm };

struct MovInsn {
    MovKind kind = MovKind::None;
    unsigned reg = 0;       // ModRM.reg with REX.R, for Load and StoreReg
    std::uint32_t imm = 0;  // StoreImm
    unsigned length = 0;    // bytes from RIP
};

// Length of a ModRM memory operand (ModRM, SIB, displacement) starting at p; 0 for a
// register operand.
unsigned modrm_length(const std::uint8_t *p) {
    const unsigned mod = p[0] >> 6;
    const unsigned rm = p[0] & 7;
    if (mod == 3)
        return 0;
    unsigned len = 1;
    if (rm == 4) {
        const unsigned base = p[1] & 7;
        ++len;
        if (mod == 0 && base == 5)
            len += 4;
    } else if (mod == 0 && rm == 5) {
        len += 4;  // RIP-relative disp32
    }
    if (mod == 1)
        len += 1;
    else if (mod == 2)
        len += 4;
    return len;
}

// The three 32-bit mov forms, with an optional REX prefix (REX.W excluded: that is a 64-bit
// access) and no other prefix.
MovInsn decode_mov32(const std::uint8_t *rip) {
    MovInsn out;
    const std::uint8_t *p = rip;
    unsigned rex = 0;
    if ((*p & 0xF0) == 0x40)
        rex = *p++;
    if (rex & 0x8)
        return out;
    const std::uint8_t op = *p++;
    if (op != 0x8B && op != 0x89 && op != 0xC7)
        return out;
    const unsigned reg_field = (p[0] >> 3) & 7;
    const unsigned mlen = modrm_length(p);
    if (mlen == 0)
        return out;
    if (op == 0xC7) {
        if (reg_field != 0)
            return out;
        const std::uint8_t *imm = p + mlen;
        out.imm = std::uint32_t{imm[0]} | std::uint32_t{imm[1]} << 8 | std::uint32_t{imm[2]} << 16 |
                  std::uint32_t{imm[3]} << 24;
        out.kind = MovKind::StoreImm;
        out.length = static_cast<unsigned>(p - rip) + mlen + 4;
        return out;
    }
    out.reg = reg_field | ((rex & 0x4) << 1);
    out.kind = op == 0x8B ? MovKind::Load : MovKind::StoreReg;
    out.length = static_cast<unsigned>(p - rip) + mlen;
    return out;
}

struct AccessShape {
    unsigned bytes = 4;       // size of the memory operand
    bool pure_store = false;  // writes the operand without reading it
};

// Size of the memory operand of an instruction that the emulator does not handle, for the
// single-step path: the common integer, SSE and AVX moves and ALU forms. Unknown forms are
// taken as a word (or as 2/8 bytes with an operand-size prefix / REX.W).
AccessShape access_shape(const std::uint8_t *p) {
    AccessShape s;
    bool opsize16 = false, rep_f3 = false, rep_f2 = false;
    for (;; ++p) {
        const std::uint8_t b = *p;
        if (b == 0x66)
            opsize16 = true;
        else if (b == 0xF3)
            rep_f3 = true;
        else if (b == 0xF2)
            rep_f2 = true;
        else if (b == 0x67 || b == 0xF0 || b == 0x2E || b == 0x36 || b == 0x3E || b == 0x26 ||
                 b == 0x64 || b == 0x65)
            continue;
        else
            break;
    }
    if (*p == 0xC5 || *p == 0xC4) {  // VEX: vector moves, 16 or 32 bytes by VEX.L
        const bool three = *p == 0xC4;
        const std::uint8_t last = three ? p[2] : p[1];
        const std::uint8_t op = three ? p[3] : p[2];
        s.bytes = (last & 0x4) ? 32 : 16;
        if (op == 0x11 || op == 0x29 || op == 0x7F || op == 0xE7 || op == 0x2B)
            s.pure_store = true;
        return s;
    }
    unsigned rex = 0;
    if ((*p & 0xF0) == 0x40)
        rex = *p++;
    const unsigned word = (rex & 0x8) ? 8 : (opsize16 ? 2 : 4);
    s.bytes = word;
    const std::uint8_t op = *p++;
    if (op == 0x0F) {
        const std::uint8_t op2 = *p;
        switch (op2) {
            case 0x10:
            case 0x11:
                s.bytes = rep_f3 ? 4 : (rep_f2 ? 8 : 16);
                s.pure_store = op2 == 0x11;
                break;
            case 0x28:
            case 0x29:
            case 0xE7:
            case 0x2B:
                s.bytes = 16;
                s.pure_store = op2 != 0x28;
                break;
            case 0x6F:
            case 0x7F:
                s.bytes = (opsize16 || rep_f3) ? 16 : 8;
                s.pure_store = op2 == 0x7F;
                break;
            case 0x6E:
                s.bytes = (rex & 0x8) ? 8 : 4;
                break;
            case 0x7E:
                s.bytes = rep_f3 ? 8 : ((rex & 0x8) ? 8 : 4);
                s.pure_store = !rep_f3;
                break;
            case 0xD6:
            case 0x12:
            case 0x13:
            case 0x16:
            case 0x17:
                s.bytes = 8;
                s.pure_store = op2 == 0xD6 || op2 == 0x13 || op2 == 0x17;
                break;
            case 0xC3:
                s.pure_store = true;
                break;
            case 0xB6:
            case 0xBE:
                s.bytes = 1;
                break;
            case 0xB7:
            case 0xBF:
                s.bytes = 2;
                break;
            default:
                break;
        }
        return s;
    }
    switch (op) {
        case 0x00:
        case 0x02:
        case 0x08:
        case 0x0A:
        case 0x10:
        case 0x12:
        case 0x18:
        case 0x1A:
        case 0x20:
        case 0x22:
        case 0x28:
        case 0x2A:
        case 0x30:
        case 0x32:
        case 0x38:
        case 0x3A:
        case 0x80:
        case 0x84:
        case 0x86:
        case 0x8A:
        case 0xC0:
        case 0xD0:
        case 0xD2:
        case 0xF6:
        case 0xFE:
            s.bytes = 1;
            break;
        case 0x88:
        case 0xC6:
            s.bytes = 1;
            s.pure_store = true;
            break;
        case 0x89:
        case 0xC7:
            s.pure_store = true;
            break;
        default:
            break;
    }
    return s;
}

// ---------------------------------------------------------------------------------------
// Handlers.
// ---------------------------------------------------------------------------------------

pid_t this_thread() {
    return gettid();
}

void protect(TrapSlot *slot, int prot) {
    void *b = reinterpret_cast<void *>(slot->begin.load(std::memory_order_relaxed));
    mprotect(b, slot->mapped.load(std::memory_order_relaxed), prot);
}

bool emulate(TrapSlot *slot, std::uint32_t offset, greg_t *gregs) {
    const MovInsn insn = decode_mov32(reinterpret_cast<const std::uint8_t *>(gregs[REG_RIP]));
    if (insn.kind == MovKind::None || offset % 4 != 0 ||
        offset + 4 > slot->bytes.load(std::memory_order_relaxed))
        return false;
    MmioTarget *target = slot->target.load(std::memory_order_relaxed);
    switch (insn.kind) {
        case MovKind::Load:
            // A 32-bit destination is zero-extended into the 64-bit register.
            gregs[greg_index(insn.reg)] = static_cast<greg_t>(target->load32(offset));
            break;
        case MovKind::StoreReg:
            target->store32(offset, static_cast<std::uint32_t>(gregs[greg_index(insn.reg)]));
            break;
        case MovKind::StoreImm:
            target->store32(offset, insn.imm);
            break;
        case MovKind::None:
            break;
    }
    gregs[REG_RIP] += insn.length;
    g_emulated.fetch_add(1, std::memory_order_relaxed);
    return true;
}

// Anything else: load the words the instruction touches into the page, open the page and
// let the processor run this one instruction; on_trap finishes the access. While it runs,
// every signal but the synchronous ones waits: no handler may run while the page is open.
void begin_step(TrapSlot *slot, std::uintptr_t addr, ucontext_t *uc) {
    greg_t *gregs = uc->uc_mcontext.gregs;
    const std::uintptr_t begin = slot->begin.load(std::memory_order_relaxed);
    const std::size_t bytes = slot->bytes.load(std::memory_order_relaxed);
    const AccessShape shape = access_shape(reinterpret_cast<const std::uint8_t *>(gregs[REG_RIP]));
    const bool write = (gregs[REG_ERR] & kPageFaultWrite) != 0;

    std::uintptr_t first = (addr - begin) & ~std::uintptr_t{3};
    std::uintptr_t end = (addr - begin + shape.bytes + 3) & ~std::uintptr_t{3};
    if (end > bytes)
        end = bytes;
    int words = static_cast<int>((end - first) / 4);
    if (words > kMaxStepWords)
        words = kMaxStepWords;
    // A pure store of whole words needs no load; one narrower than the words it touches, or
    // misaligned, keeps the other bytes as the board holds them.
    const bool whole_words = (addr - begin) % 4 == 0 && shape.bytes % 4 == 0;
    const bool load_first = !(write && shape.pure_store && whole_words);

    g_step.thread = this_thread();
    g_step.slot = slot;
    g_step.first_offset = static_cast<std::uint32_t>(first);
    g_step.words = words;
    g_step.store_back = write;
    g_step.had_trap_flag = (gregs[REG_EFL] & kTrapFlag) != 0;
    // Only the kernel's 64 signals: the frame holds no more of the C library's sigset_t.
    g_step.mask = 0;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sigismember(&uc->uc_sigmask, sig) == 1)
            g_step.mask |= std::uint64_t{1} << (sig - 1);
        if (sig != SIGSEGV && sig != SIGTRAP && sig != SIGBUS && sig != SIGILL && sig != SIGFPE)
            sigaddset(&uc->uc_sigmask, sig);
    }

    protect(slot, PROT_READ | PROT_WRITE);
    MmioTarget *target = slot->target.load(std::memory_order_relaxed);
    auto *page = reinterpret_cast<volatile std::uint32_t *>(begin);
    for (int i = 0; i < words; ++i) {
        const std::uint32_t off = static_cast<std::uint32_t>(first) + 4u * i;
        page[off / 4] = load_first ? target->load32(off) : 0u;
    }
    g_step.active.store(true, std::memory_order_release);
    gregs[REG_EFL] |= kTrapFlag;
}

// SIGSEGV: true when the fault was an access to a window, now served. Anything else (a
// fault elsewhere, a SIGSEGV sent by a program, a fault of the instruction being stepped)
// is the program's.
bool on_segv(int, siginfo_t *info, void *ctx) {
    if (info == nullptr || info->si_code <= 0)
        return false;
    const auto addr = reinterpret_cast<std::uintptr_t>(info->si_addr);
    TrapSlot *slot = find_slot(addr);
    if (slot == nullptr)
        return false;
    if (g_step.active.load(std::memory_order_acquire) && g_step.thread == this_thread())
        return false;
    auto *uc = static_cast<ucontext_t *>(ctx);
    lock_busy();
    const auto offset =
        static_cast<std::uint32_t>(addr - slot->begin.load(std::memory_order_relaxed));
    if (emulate(slot, offset, uc->uc_mcontext.gregs)) {
        unlock_busy();
    } else {
        begin_step(slot, addr, uc);  // unlocked by on_trap
    }
    return true;
}

// SIGTRAP: true when it ends this thread's single step. Anything else (an int3, a SIGTRAP
// sent by a program, the trace trap of a program that sets the trap flag itself) is the
// program's.
bool on_trap(int, siginfo_t *info, void *ctx) {
    if (!g_step.active.load(std::memory_order_acquire) || info == nullptr ||
        info->si_code != TRAP_TRACE || g_step.thread != this_thread())
        return false;
    auto *uc = static_cast<ucontext_t *>(ctx);
    TrapSlot *slot = g_step.slot;
    const std::uintptr_t begin = slot->begin.load(std::memory_order_relaxed);
    if (g_step.store_back) {
        MmioTarget *target = slot->target.load(std::memory_order_relaxed);
        auto *page = reinterpret_cast<volatile std::uint32_t *>(begin);
        for (int i = 0; i < g_step.words; ++i) {
            const std::uint32_t off = g_step.first_offset + 4u * i;
            target->store32(off, page[off / 4]);
        }
    }
    protect(slot, PROT_NONE);
    if (!g_step.had_trap_flag)
        uc->uc_mcontext.gregs[REG_EFL] &= ~kTrapFlag;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (g_step.mask & (std::uint64_t{1} << (sig - 1)))
            sigaddset(&uc->uc_sigmask, sig);
        else
            sigdelset(&uc->uc_sigmask, sig);
    }
    g_stepped.fetch_add(1, std::memory_order_relaxed);
    g_step.active.store(false, std::memory_order_release);
    unlock_busy();
    return true;
}

void install_handlers() {
    g_install_error = guard_signal(SIGSEGV, GuardKind::Fault, on_segv);
    if (g_install_error == 0)
        g_install_error = guard_signal(SIGTRAP, GuardKind::Fault, on_trap);
}

std::size_t page_round(std::size_t bytes) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

}  // namespace

TrapWindow::TrapWindow(MmioTarget &target, std::size_t bytes)
    : bytes_(bytes), mapped_(page_round(bytes == 0 ? 1 : bytes)), owned_(true) {
    // cppcheck-suppress invalidFunctionArg ; an anonymous mapping takes descriptor -1
    base_ = mmap(nullptr, mapped_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base_ == MAP_FAILED) {
        base_ = nullptr;
        throw std::system_error(errno, std::generic_category(), "mmap trap window");
    }
    try {
        attach(target);
    } catch (...) {
        munmap(base_, mapped_);
        throw;
    }
}

TrapWindow::TrapWindow(MmioTarget &target, void *pages, std::size_t bytes, bool take_ownership)
    : base_(pages),
      bytes_(bytes),
      mapped_(page_round(bytes == 0 ? 1 : bytes)),
      owned_(take_ownership) {
    if (mprotect(base_, mapped_, PROT_NONE) != 0)
        throw std::system_error(errno, std::generic_category(), "mprotect trap window");
    attach(target);
}

void install_trap_handlers() {
    std::call_once(g_install_once, install_handlers);
    if (g_install_error != 0)
        throw std::system_error(g_install_error, std::generic_category(),
                                "cannot take SIGSEGV and SIGTRAP over");
}

void TrapWindow::attach(MmioTarget &target) {
    install_trap_handlers();
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    TrapSlot *free_slot = nullptr;
    SlotChunk *last = &g_first_chunk;
    for (SlotChunk *c = &g_first_chunk; c != nullptr && free_slot == nullptr;
         c = c->next.load(std::memory_order_relaxed)) {
        last = c;
        for (TrapSlot &s : c->slots) {
            if (s.begin.load(std::memory_order_relaxed) == 0 &&
                s.target.load(std::memory_order_relaxed) == nullptr) {
                free_slot = &s;
                break;
            }
        }
    }
    if (free_slot == nullptr) {
        auto *fresh = new (std::nothrow) SlotChunk;
        if (fresh == nullptr)
            throw std::system_error(std::make_error_code(std::errc::not_enough_memory),
                                    "no memory for another trapped window");
        last->next.store(fresh, std::memory_order_release);  // never freed: see above
        free_slot = &fresh->slots[0];
    }
    free_slot->target.store(&target, std::memory_order_relaxed);
    free_slot->bytes.store(bytes_, std::memory_order_relaxed);
    free_slot->mapped.store(mapped_, std::memory_order_relaxed);
    free_slot->begin.store(reinterpret_cast<std::uintptr_t>(base_), std::memory_order_release);
    slot_ = free_slot;
}

void TrapWindow::detach() {
    if (slot_ == nullptr)
        return;
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    // Wait out an access in progress before the target may go away.
    lock_busy();
    slot_->begin.store(0, std::memory_order_release);
    slot_->target.store(nullptr, std::memory_order_relaxed);
    unlock_busy();
    slot_ = nullptr;
}

TrapWindow::~TrapWindow() {
    detach();
    if (owned_ && base_ != nullptr)
        munmap(base_, mapped_);
}

std::uint64_t TrapWindow::emulated_count() {
    return g_emulated.load(std::memory_order_relaxed);
}
std::uint64_t TrapWindow::stepped_count() {
    return g_stepped.load(std::memory_order_relaxed);
}

}  // namespace korvic::sim
