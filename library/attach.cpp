// Attachment: korvic_cfg.dat, the bridge's interrupt enable and the register window; the
// pieces of attach.h, and init_847 and close_847 over the C API's globals.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "attach.h"
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

namespace korvic::attach {

ConfigFile read_config(const char *path) {
    ConfigFile out;
    const int f = open(path, O_RDONLY | O_CLOEXEC);
    if (f == -1) {
        out.failure = ConfigFailure::Open;
        out.error = errno;
        return out;
    }
    // A directory opens for reading, but holds no lines: say so rather than read nothing.
    struct stat st {};
    if (fstat(f, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(f);
        out.failure = ConfigFailure::Open;
        out.error = EISDIR;
        return out;
    }
    // One byte more than allowed tells a file that is too long from one that fits exactly.
    std::vector<char> text(config::kMaxFileBytes + 1);
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = read(f, text.data() + got, text.size() - got);
        if (n == 0)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            out.failure = ConfigFailure::Read;
            out.error = errno;
            close(f);
            return out;
        }
        got += static_cast<std::size_t>(n);
    }
    close(f);
    if (got > config::kMaxFileBytes) {
        out.failure = ConfigFailure::TooLong;
        out.error = EFBIG;
        return out;
    }

    // Each line as a read into the 128-byte buffer takes it: up to and including its
    // newline, at most 127 characters (the rest of a longer line is the next line).
    constexpr std::size_t kReadChars = config::kLineBuffer - 1;
    for (std::size_t at = 0; at < got;) {
        const char *begin = text.data() + at;
        const char *limit = begin + std::min(kReadChars, got - at);
        const char *end = std::find(begin, limit, '\n');
        if (end != limit)
            ++end;  // the newline stays in the line
        const auto n = static_cast<std::size_t>(end - begin);
        char line[config::kLineBuffer];
        std::memcpy(line, begin, n);
        line[n] = '\0';
        at += n;
        const config::Setting s = config::parse_line(line);
        if (s.key != config::Key::None && s.converted)
            out.settings.push_back(s);
    }
    return out;
}

DeviceWindow open_window(const char *path, std::size_t bytes) {
    DeviceWindow w;
    w.fd = open(path, O_RDWR);
    if (w.fd == -1) {
        w.failed = WindowStep::Open;
        w.error = errno;
        return w;
    }
    // A regular file (a device image, a sysfs resource file, which reports the size of its
    // region, or the memory file the simulator hands out in place of a device) must cover
    // the window. Device nodes report no size of their own: they are mapped as they are.
    struct stat st {};
    if (fstat(w.fd, &st) == 0 && S_ISREG(st.st_mode)) {
        w.file_size = static_cast<std::int64_t>(st.st_size);
        if (static_cast<std::uint64_t>(st.st_size) < bytes) {
            w.failed = WindowStep::Size;
            w.error = ENXIO;  // the window's range is not all in the file
            return w;
        }
    }
    void *address = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, w.fd, 0);
    if (address == MAP_FAILED) {
        w.failed = WindowStep::Map;
        w.error = errno;
        return w;
    }
    w.address = address;
    return w;
}

void enable_bridge_interrupts(void *bridge_window) {
    auto *csr = static_cast<volatile std::uint32_t *>(bridge_window) + regs::kBridgeIntCsr / 4;
    const std::uint32_t word = *csr;
    *csr = word | regs::kBridgeIntEnable;
}

}  // namespace korvic::attach

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

// The report of a regular file too short for its window, after the fixed text of the step.
void report_short_file(const char *text, const char *device, const char *path,
                       const korvic::attach::DeviceWindow &w, std::size_t bytes) {
    std::fprintf(stderr, "%s: %s device %s is %lld bytes, the window needs %zu\n", text, device,
                 path, static_cast<long long>(w.file_size), bytes);
}

// "ENABLE_INT": switch the board's interrupts on at the PLX bridge. The descriptor and
// mapping are deliberately kept for the life of the process; a failure ends the process.
void enable_bridge_interrupts() {
    using korvic::attach::WindowStep;
    const korvic::attach::DeviceWindow bridge =
        korvic::attach::open_window(int_path, korvic::regs::kBridgeBytes);
    switch (bridge.failed) {
        case WindowStep::None:
            break;
        case WindowStep::Open:
            errno = bridge.error;
            std::perror("open interrupt fail");
            std::exit(-1);
        case WindowStep::Size:
            report_short_file("mmap plx", "bridge", int_path, bridge, korvic::regs::kBridgeBytes);
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
        case Key::None:
            break;
    }
}

// The reports of a configuration file that cannot be read, all under the fixed text.
void report_config(const korvic::attach::ConfigFile &cfg) {
    if (cfg.failure == korvic::attach::ConfigFailure::TooLong) {
        std::fprintf(stderr, "fopen config file: %s is longer than %zu bytes\n",
                     korvic::config::kFileName, korvic::config::kMaxFileBytes);
        return;
    }
    errno = cfg.error;
    std::perror("fopen config file");
}

}  // namespace

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

    const korvic::attach::DeviceWindow w =
        korvic::attach::open_window(mem_path, korvic::regs::kWindowBytes);
    fd = w.fd;
    switch (w.failed) {
        case WindowStep::None:
            break;
        case WindowStep::Open:
            errno = w.error;
            std::perror("open mempath");
            return -1;
        case WindowStep::Size:
        case WindowStep::Map: {
            if (w.failed == WindowStep::Size) {
                report_short_file("memmap mempath", "register", mem_path, w,
                                  korvic::regs::kWindowBytes);
            } else {
                errno = w.error;
                std::perror("memmap mempath");
            }
            // fd keeps this descriptor for close_847; one kept by an earlier failed call is
            // no longer reachable through fd and goes now.
            const int earlier = unmapped_fd.exchange(w.fd);
            if (earlier != -1)
                close(earlier);
            return -1;
        }
    }

    if (owned_window != nullptr)
        munmap(owned_window, korvic::regs::kWindowBytes);
    owned_window = w.address;
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
