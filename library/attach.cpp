// Attachment: korvic_cfg.dat, the bridge's interrupt enable and the register window.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config.h"
#include "korvic_api.h"
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

namespace korvic::config {
namespace {

static_assert(sizeof(int) == sizeof(std::int32_t), "the \"%d\" and \"%u\" values are 32-bit");

enum class Format : std::uint8_t { Signed, Unsigned, Path, None };

struct KeyEntry {
    const char *text;
    Key key;
    Format kind;
};

// In the order the keys are compared. No key is a prefix of another, so at most one
// matches a line.
constexpr KeyEntry kKeys[] = {
    {"DAY_OFF=", Key::DayOff, Format::Signed},     {"MEM_PATH=", Key::MemPath, Format::Path},
    {"INT_PATH=", Key::IntPath, Format::Path},     {"SEC_OFF=", Key::SecOff, Format::Unsigned},
    {"TZ_OFF=", Key::TzOff, Format::Unsigned},     {"ENABLE_INT", Key::EnableInt, Format::None},
    {"BYTE_SWAP=", Key::ByteSwap, Format::Signed},
};

// A decimal number as the "%d" and "%u" conversions read it: white space skipped, an
// optional sign, then digits. "%u" takes a leading minus as the unsigned conversion does:
// -3600 is stored as its 32-bit two's complement and counts as -3600 in the time
// conversions. A number beyond 32 bits does not convert (the global keeps its value)
// instead of becoming whatever the C library makes of an overflow.
bool convert_number(const char *p, bool is_signed, std::int32_t &out) {
    while (std::isspace(static_cast<unsigned char>(*p)) != 0)
        ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    if (std::isdigit(static_cast<unsigned char>(*p)) == 0)
        return false;
    constexpr std::uint64_t kTooBig = std::uint64_t{1} << 33;
    std::uint64_t magnitude = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)) != 0; ++p) {
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(*p - '0');
        if (magnitude > kTooBig)
            magnitude = kTooBig;  // stays out of range, however many digits follow
    }
    const std::uint64_t limit = !is_signed ? 0xFFFFFFFFu : negative ? 0x80000000u : 0x7FFFFFFFu;
    if (magnitude > limit)
        return false;
    const auto low = static_cast<std::uint32_t>(magnitude);
    out = static_cast<std::int32_t>(negative ? 0u - low : low);
    return true;
}

bool convert(const KeyEntry &entry, const char *line, Setting &out) {
    const char *value = line + std::strlen(entry.text);
    switch (entry.kind) {
        case Format::Signed:
        case Format::Unsigned:
            return convert_number(value, entry.kind == Format::Signed, out.number);
        case Format::Path:
            // The characters up to the next white space; a line holds at most 127, so the
            // buffer cannot overflow, and the width says so anyway.
            return std::sscanf(value, "%255s", out.path) == 1;
        case Format::None:
            return true;
    }
    return false;
}

}  // namespace

Setting parse_line(const char *line) {
    Setting out;
    if (line[0] == '#' || line[0] == '\0')
        return out;
    for (const KeyEntry &entry : kKeys) {
        if (std::strncmp(line, entry.text, std::strlen(entry.text)) != 0)
            continue;
        out.key = entry.key;
        out.converted = convert(entry, line, out);
    }
    return out;
}

}  // namespace korvic::config

namespace {

// The register descriptors that init_847 opened and close_847 has not closed yet: the one
// behind the current window, and the one of a later call whose mapping failed (fd holds
// it). close_847 runs in the console's signal handlers, so these are lock-free atomics, and
// taking a descriptor out of them (exchange or compare-exchange to -1) is what makes a
// close happen once only.
static_assert(std::atomic<int>::is_always_lock_free, "close_847 must stay async-signal-safe");
std::atomic<int> window_fd{-1};
std::atomic<int> unmapped_fd{-1};
void *owned_window = nullptr;

// Takes d out of slot if the slot holds it; true when it did.
bool take(std::atomic<int> &slot, int d) {
    int expected = d;
    return d >= 0 && slot.compare_exchange_strong(expected, -1);
}

// "ENABLE_INT": switch the board's interrupts on at the PLX bridge. The descriptor and
// mapping are deliberately kept for the life of the process.
void enable_bridge_interrupts() {
    const int bridge = open(int_path, O_RDWR);
    if (bridge == -1) {
        std::perror("open interrupt fail");
        std::exit(-1);
    }
    void *plx =
        mmap(nullptr, korvic::regs::kBridgeBytes, PROT_READ | PROT_WRITE, MAP_SHARED, bridge, 0);
    if (plx == MAP_FAILED) {
        std::perror("mmap plx");
        std::exit(-1);
    }
    // One load and one store, the word as the processor sees it: no byte_swap.
    auto *csr = static_cast<volatile std::uint32_t *>(plx) + korvic::regs::kBridgeIntCsr / 4;
    const std::uint32_t word = *csr;
    *csr = word | korvic::regs::kBridgeIntEnable;
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
        case Key::None:
            break;
    }
}

}  // namespace

extern "C" int init_847(void) {
    g_time_offset = 0;

    std::FILE *cfg = std::fopen(korvic::config::kFileName, "rt");
    if (cfg == nullptr) {
        std::perror("fopen config file");
        return -1;
    }
    char line[korvic::config::kLineBuffer];
    while (std::fgets(line, sizeof line, cfg) != nullptr)
        apply(korvic::config::parse_line(line));
    std::fclose(cfg);

    const int opened = open(mem_path, O_RDWR);
    fd = opened;
    if (opened == -1) {
        std::perror("open mempath");
        return -1;
    }
    void *window =
        mmap(nullptr, korvic::regs::kWindowBytes, PROT_READ | PROT_WRITE, MAP_SHARED, opened, 0);
    if (window == MAP_FAILED) {
        std::perror("memmap mempath");
        // fd keeps this descriptor for close_847; one kept by an earlier failed call is no
        // longer reachable through fd and goes now.
        const int earlier = unmapped_fd.exchange(opened);
        if (earlier != -1)
            close(earlier);
        return -1;
    }

    if (owned_window != nullptr)
        munmap(owned_window, korvic::regs::kWindowBytes);
    owned_window = window;
    const int earlier = window_fd.exchange(opened);
    if (earlier != -1)
        close(earlier);
    const int unmapped = unmapped_fd.exchange(-1);
    if (unmapped != -1)
        close(unmapped);

    kv_mem = static_cast<volatile uint8_t *>(window);
    base_addr = static_cast<volatile uint32_t *>(window);
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
