// MMIO trap engine (x86-64 Linux): a window of pages mapped PROT_NONE whose every access
// faults, is served by an MmioTarget and resumed, so that code written for device memory
// (one volatile 32-bit load or store per register access) runs unchanged against a model.
//
// How an access is served:
//  - the 32-bit `mov` forms compilers emit for volatile word accesses (8B /r load, 89 /r
//    store, C7 /0 imm32 store; any REX, ModRM, SIB, disp8/disp32) are decoded and emulated
//    in the SIGSEGV handler: one target call, RIP advanced, one signal per access;
//  - any other instruction (an `orl` to memory, a byte or SSE access, a misaligned word) is
//    single-stepped: the words it touches are loaded from the target into the page, the page
//    is made accessible, the trap flag is set, and on SIGTRAP the words it may have written
//    are stored to the target and the page is protected again. A read-modify-write is then
//    one load and one store per word; a store narrower than a word loads the word first.
//
// SIGSEGV and SIGTRAP are guarded signals (signal_guard.h): the engine's handlers stay in
// the kernel whatever the program does through program_sigaction() and program_sigmask(),
// which the preload library puts in place of sigaction(), signal(), sigprocmask() and the
// rest. Faults outside every window, and SIGTRAPs that are not the engine's single steps,
// go to the program's disposition of them. Windows are served one access at a time: the
// engine is meant for the single-threaded programs that drive the board.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvic::sim {

struct TrapSlot;

// Takes SIGSEGV and SIGTRAP over for the engine, once per process; the first window does
// it too. The preload library calls it at load time, so that the program's own handlers and
// masks are recorded from the start. Throws std::system_error when the signals cannot be
// taken.
void install_trap_handlers();

// Serves the accesses of a trapped window. `offset` is the byte offset of the word in the
// window, always a multiple of 4. Called from a signal handler, synchronously, in the
// program's own thread and in program order: one call per access.
class MmioTarget {
  public:
    virtual ~MmioTarget() = default;
    virtual std::uint32_t load32(std::uint32_t offset) = 0;
    virtual void store32(std::uint32_t offset, std::uint32_t value) = 0;
};

class TrapWindow {
  public:
    // Maps `bytes` (rounded up to whole pages) PROT_NONE at an address chosen by the system
    // and traps every access to its first `bytes` bytes; accesses to the rest of the last
    // page are faults outside the window. Throws std::system_error when out of resources
    // (mappings or memory; there is no fixed limit on the number of windows).
    TrapWindow(MmioTarget &target, std::size_t bytes);

    // Traps pages that the caller has mapped itself (page-aligned `pages`, `bytes` long; the
    // preload shim hands such a mapping to the program). They are set PROT_NONE now, and
    // unmapped by the destructor only when `take_ownership` is true.
    TrapWindow(MmioTarget &target, void *pages, std::size_t bytes, bool take_ownership);

    ~TrapWindow();
    TrapWindow(const TrapWindow &) = delete;
    TrapWindow &operator=(const TrapWindow &) = delete;

    void *base() const { return base_; }
    std::size_t size() const { return bytes_; }

    // Stops trapping the window now (the pages stay mapped and PROT_NONE, so a later access
    // is a plain fault). The destructor does this too.
    void detach();

    // Accesses served so far in this process, by the way they were served.
    static std::uint64_t emulated_count();
    static std::uint64_t stepped_count();

  private:
    void attach(MmioTarget &target);

    void *base_ = nullptr;
    std::size_t bytes_ = 0;
    std::size_t mapped_ = 0;
    bool owned_ = false;
    TrapSlot *slot_ = nullptr;
};

}  // namespace korvic::sim
