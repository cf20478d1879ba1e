// The C API's attachment: its process-wide state (the globals of korvic_api.h), init_847
// and close_847, over the pieces of attach.h. In an object file of its own, so that a
// program that uses korvic::Board alone links none of these globals and may have an fd of
// its own.
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "attach.h"
#include "board_lock.h"
#include "config.h"
#include "korvic_api.h"
#include "mmio.h"
#include "regmap.h"

extern "C" {
volatile uint32_t *base_addr = nullptr;
volatile uint8_t *kv_mem = nullptr;
int fd = 0;
char mem_path[256] = {};
char int_path[256] = {};
int32_t g_day_offset = 0;
int32_t g_tz_offset = 0;
int32_t g_time_offset = 0;
int32_t g_byte_swap = 0;
}

namespace {

// The register descriptors that init_847 opened and close_847 has not closed yet: the one
// behind the current window, and the one of a later call whose mapping failed (fd holds
// it). close_847 runs in the console's signal handlers, so these are lock-free atomics, and
// taking a descriptor out of them (exchange or compare-exchange to -1) is what makes a
// close happen once only.
static_assert(std::atomic<int>::is_always_lock_free, "close_847 must stay async-signal-safe");
std::atomic<int> window_fd{-1};
std::atomic<int> unmapped_fd{-1};
void *owned_window = nullptr;   // the window, base_addr
void *owned_mapping = nullptr;  // and the mapping that holds it, for munmap
std::size_t owned_bytes = 0;

// The board lock of the window that init_847 mapped, on the descriptor it opened. The C
// API has no error to return from most calls: a lock not had within the wait (a holder
// stopped or gone astray) is said once on standard error, and the sequence runs without
// it, as it always did.
class CApiLock final : public korvic::lock::BoardLock {
  public:
    CApiLock() noexcept = default;

  private:
    int descriptor() override { return current_descriptor(); }
    int current_descriptor() const override { return window_fd.load(std::memory_order_relaxed); }
    void busy(const korvic::lock::Attempt &a) override {
        if (reported_)
            return;
        reported_ = true;
        if (a.outcome == korvic::lock::Outcome::Busy)
            std::fprintf(
                stderr,
                "lock mempath: %s is held by another process for over %lld ms; going "
                "on without the board lock (said once)\n",
                mem_path,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(wait()).count()));
        else
            std::fprintf(stderr,
                         "lock mempath: %s: %s; going on without the board lock (said once)\n",
                         mem_path, std::strerror(a.error));
    }
    bool reported_ = false;
};
CApiLock c_api_lock;

// Takes d out of slot if the slot holds it; true when it did.
bool take(std::atomic<int> &slot, int d) {
    int expected = d;
    return d >= 0 && slot.compare_exchange_strong(expected, -1);
}

// The report of a window refused before it was mapped, after the fixed text of the step.
void report_refused(const char *text, const char *device, const char *path,
                    const korvic::attach::DeviceWindow &w, std::size_t bytes) {
    std::fprintf(stderr, "%s: %s device %s %s\n", text, device, path,
                 korvic::attach::window_problem(w, bytes).c_str());
}

// "ENABLE_INT": switch the board's interrupts on at the PLX bridge. The descriptor and
// mapping are deliberately kept for the life of the process; a failure ends the process.
void enable_bridge_interrupts() {
    using korvic::attach::WindowStep;
    const korvic::attach::DeviceWindow bridge =
        korvic::attach::open_window(int_path, korvic::regs::kBridgeBytes, false);
    switch (bridge.failed) {
        case WindowStep::None:
            break;
        case WindowStep::Open:
            errno = bridge.error;
            std::perror("open interrupt fail");
            std::exit(-1);
        case WindowStep::Refused:
            report_refused("mmap plx", "bridge", int_path, bridge, korvic::regs::kBridgeBytes);
            std::exit(-1);
        case WindowStep::Map:
            errno = bridge.error;
            std::perror("mmap plx");
            std::exit(-1);
    }
    korvic::attach::enable_bridge_interrupts(bridge.address);
    // cppcheck-suppress resourceLeak ; bridge descriptor and mapping stay for the process
}

void apply(const korvic::config::Setting &s) {
    using korvic::config::Key;
    if (!s.converted)
        return;
    switch (s.key) {
        case Key::DayOff:
            g_day_offset = s.number;
            break;
        case Key::SecOff:
            g_time_offset = s.number;
            break;
        case Key::TzOff:
            g_tz_offset = s.number;
            break;
        case Key::ByteSwap:
            g_byte_swap = s.number;
            break;
        case Key::MemPath:
            std::memcpy(mem_path, s.path, sizeof mem_path);
            break;
        case Key::IntPath:
            std::memcpy(int_path, s.path, sizeof int_path);
            break;
        case Key::EnableInt:
            enable_bridge_interrupts();
            break;
        case Key::UioPath:  // the interrupt node is korvic::Board's; the C API waits on none
        case Key::None:
            break;
    }
}

// The reports of a configuration file that cannot be read, all under the fixed text.
void report_config(const korvic::attach::ConfigFile &cfg) {
    using korvic::attach::ConfigFailure;
    switch (cfg.failure) {
        case ConfigFailure::TooLong:
            std::fprintf(stderr, "fopen config file: %s is longer than %zu bytes\n",
                         korvic::config::kFileName, korvic::config::kMaxFileBytes);
            return;
        case ConfigFailure::NotAFile:
        case ConfigFailure::Timeout:
            std::fprintf(stderr, "fopen config file: %s is %s\n", korvic::config::kFileName,
                         korvic::attach::config_problem(cfg).c_str());
            return;
        default:
            errno = cfg.error;
            std::perror("fopen config file");
    }
}

}  // namespace

korvic::lock::BoardLock *korvic::capi::lock_of(const volatile uint32_t *window) {
    const bool own = window != nullptr && window == owned_window &&
                     window_fd.load(std::memory_order_relaxed) >= 0;
    return own ? &c_api_lock : nullptr;
}

extern "C" int init_847(void) {
    using korvic::attach::WindowStep;
    g_time_offset = 0;

    const korvic::attach::ConfigFile cfg = korvic::attach::read_config(korvic::config::kFileName);
    if (cfg.failure != korvic::attach::ConfigFailure::None) {
        report_config(cfg);
        return -1;
    }
    for (const korvic::config::Setting &s : cfg.settings)
        apply(s);

    // The descriptor keeps the flags the C API has always opened it with (O_RDWR alone).
    const korvic::attach::DeviceWindow w =
        korvic::attach::open_window(mem_path, korvic::regs::kWindowBytes, false);
    fd = w.fd;
    switch (w.failed) {
        case WindowStep::None:
            break;
        case WindowStep::Open:
            errno = w.error;
            std::perror("open mempath");
            return -1;
        case WindowStep::Refused:
            // Nothing was mapped, and nothing stays open: fd is -1.
            report_refused("memmap mempath", "register", mem_path, w, korvic::regs::kWindowBytes);
            return -1;
        case WindowStep::Map: {
            errno = w.error;
            std::perror("memmap mempath");
            // fd keeps this descriptor for close_847; one kept by an earlier failed call is
            // no longer reachable through fd and goes now.
            const int earlier = unmapped_fd.exchange(w.fd);
            if (earlier != -1)
                close(earlier);
            return -1;
        }
    }

    if (owned_mapping != nullptr)
        munmap(owned_mapping, owned_bytes);
    owned_window = w.address;
    owned_mapping = w.mapping;
    owned_bytes = w.mapped_bytes;
    const int earlier = window_fd.exchange(w.fd);
    if (earlier != -1)
        close(earlier);
    const int unmapped = unmapped_fd.exchange(-1);
    if (unmapped != -1)
        close(unmapped);

    kv_mem = static_cast<volatile uint8_t *>(w.address);
    base_addr = static_cast<volatile uint32_t *>(w.address);
    return 0;
}

// Closes the register descriptor in fd if init_847 opened it and it is still open: never
// standard input (fd starts at 0), never a number since given to another file. Also called
// from the console's signal handlers: close() and lock-free atomics only.
extern "C" void close_847(void) {
    const int d = fd;
    if (take(window_fd, d) || take(unmapped_fd, d))
        close(d);
}
