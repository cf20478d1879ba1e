// Attachment's pieces (attach.h): korvic_cfg.dat read and parsed, a device window judged,
// opened and mapped, the bridge's interrupts switched on. No globals here: the C API's state
// and init_847 live in c_api_attach.cpp, so that a program using korvic::Board alone links
// none of them.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/magic.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "attach.h"
#include "config.h"
#include "regmap.h"

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
// matches a line. UIO_PATH= (the interrupt node, read by korvic::Board) comes last: a line
// that init_847 has always ignored is still ignored by it.
constexpr KeyEntry kKeys[] = {
    {"DAY_OFF=", Key::DayOff, Format::Signed},     {"MEM_PATH=", Key::MemPath, Format::Path},
    {"INT_PATH=", Key::IntPath, Format::Path},     {"SEC_OFF=", Key::SecOff, Format::Unsigned},
    {"TZ_OFF=", Key::TzOff, Format::Unsigned},     {"ENABLE_INT", Key::EnableInt, Format::None},
    {"BYTE_SWAP=", Key::ByteSwap, Format::Signed}, {"UIO_PATH=", Key::UioPath, Format::Path},
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
namespace {

// The wait for a pipe or FIFO in words: "1 s", or "250 ms" for a part of a second.
std::string wait_text() {
    const auto ms = kConfigWait.count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// What a file that cannot be a configuration file is, for a report: "a character device".
const char *type_text(mode_t mode) {
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "a file of another type";
}

enum class PipeRead : std::uint8_t { Done, Timeout, Error };

// Reads what a pipe or FIFO (opened without blocking) delivers until its last writer closes
// it or `text` is full, for at most kConfigWait. poll() waits for the writer; on Linux it
// does not report a FIFO that never had a writer as ended.
PipeRead read_pipe(int f, std::vector<char> &text, std::size_t &got) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + kConfigWait;
    while (got < text.size()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return PipeRead::Timeout;
        pollfd p{f, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready == 0)
            return PipeRead::Timeout;
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return PipeRead::Error;
        }
        const ssize_t n = read(f, text.data() + got, text.size() - got);
        if (n == 0)
            return PipeRead::Done;
        if (n > 0)
            got += static_cast<std::size_t>(n);
        else if (errno != EAGAIN && errno != EINTR)
            return PipeRead::Error;
    }
    return PipeRead::Done;
}

// Reads a regular file to its end or until `text` is full.
bool read_file(int f, std::vector<char> &text, std::size_t &got) {
    while (got < text.size()) {
        const ssize_t n = read(f, text.data() + got, text.size() - got);
        if (n == 0)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

ConfigFile read_config(const char *path) {
    ConfigFile out;
    const auto fail = [&out](ConfigFailure failure, int error) {
        out.failure = failure;
        out.error = error;
        return out;
    };
    // A device or socket is refused unopened: opening a device can act by itself (a tape
    // rewinds, a terminal becomes the controlling one). A path that cannot be looked at is
    // left to open(), which says why.
    struct stat st {};
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode) &&
        !S_ISDIR(st.st_mode)) {
        out.mode = st.st_mode;
        return fail(ConfigFailure::NotAFile, EINVAL);
    }
    // Without blocking: a FIFO opens at once, whether a writer has it open or not.
    const int f = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (f == -1)
        return fail(ConfigFailure::Open, errno);
    const struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{f};
    if (fstat(f, &st) != 0)
        return fail(ConfigFailure::Read, errno);
    // A directory opens for reading, but holds no lines: say so rather than read nothing.
    if (S_ISDIR(st.st_mode))
        return fail(ConfigFailure::Open, EISDIR);
    if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode)) {
        out.mode = st.st_mode;
        return fail(ConfigFailure::NotAFile, EINVAL);
    }
    // One byte more than allowed tells a file that is too long from one that fits exactly.
    std::vector<char> text(config::kMaxFileBytes + 1);
    std::size_t got = 0;
    if (S_ISFIFO(st.st_mode)) {
        switch (read_pipe(f, text, got)) {
            case PipeRead::Done:
                break;
            case PipeRead::Timeout:
                out.received = got;
                return fail(ConfigFailure::Timeout, ETIMEDOUT);
            case PipeRead::Error:
                return fail(ConfigFailure::Read, errno);
        }
    } else if (!read_file(f, text, got)) {
        return fail(ConfigFailure::Read, errno);
    }
    if (got > config::kMaxFileBytes)
        return fail(ConfigFailure::TooLong, EFBIG);

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

std::string config_problem(const ConfigFile &file) {
    switch (file.failure) {
        case ConfigFailure::NotAFile:
            return std::string(type_text(file.mode)) + ", not a configuration file";
        case ConfigFailure::Timeout:
            return file.received == 0
                       ? "a pipe or FIFO that delivered nothing within " + wait_text()
                       : "a pipe or FIFO whose writer did not finish within " + wait_text();
        default:
            return "";
    }
}

namespace {

#if defined(__linux__)
// The file systems whose regular files can be a window: files in memory (the simulator's
// memfds are tmpfs files) and the PCI resource files of sysfs.
struct KnownFileSystem {
    std::uint32_t magic;
    FileSystem kind;
};
constexpr KnownFileSystem kFileSystems[] = {
    {TMPFS_MAGIC, FileSystem::Memory},
    {RAMFS_MAGIC, FileSystem::Memory},
    {HUGETLBFS_MAGIC, FileSystem::Memory},
    {SYSFS_MAGIC, FileSystem::Sysfs},
};

FileSystem file_system_of(int f) {
    struct statfs sf {};
    if (fstatfs(f, &sf) != 0)
        return FileSystem::Disk;
    const auto *known = std::find_if(
        std::begin(kFileSystems), std::end(kFileSystems),
        [&](const KnownFileSystem &k) { return static_cast<std::uint32_t>(sf.f_type) == k.magic; });
    return known == std::end(kFileSystems) ? FileSystem::Disk : known->kind;
}

// The path after its symbolic links: a link in /dev may name a sysfs resource file. Empty
// when the path cannot be resolved.
std::string real_path(const char *path) {
    const std::unique_ptr<char, void (*)(void *)> real(realpath(path, nullptr), std::free);
    return real ? std::string(real.get()) : std::string();
}

// Where the symbolic link `link` points; empty when it cannot be read.
std::string link_target(const char *link) {
    char target[4096];
    const ssize_t n = readlink(link, target, sizeof target);
    return n > 0 && static_cast<std::size_t>(n) < sizeof target
               ? std::string(target, static_cast<std::size_t>(n))
               : std::string();
}
#endif

bool is_resource_name(std::string_view name) {
    return name.size() == 9 && name.starts_with("resource") && name[8] >= '0' && name[8] <= '5';
}

const char *const kStandardNames[] = {"standard input", "standard output", "standard error"};

}  // namespace

bool is_interrupt_node(int fd, const struct stat &st) {
#if defined(__linux__)
    char link[64];
    if (S_ISCHR(st.st_mode)) {
        // A character device's class, as sysfs lists it: .../class/uio for a UIO node.
        std::snprintf(link, sizeof link, "/sys/dev/char/%u:%u/subsystem", major(st.st_rdev),
                      minor(st.st_rdev));
        return std::string_view(link_target(link)).ends_with("/uio");
    }
    if ((st.st_mode & S_IFMT) == 0) {
        // An anonymous inode has no file type; /proc names what it is.
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        return link_target(link) == "anon_inode:[eventfd]";
    }
#else
    (void)fd;
    (void)st;
#endif
    return false;
}

std::optional<std::uint64_t> resource_start(std::string_view text, int bar) {
    for (int line = 0; !text.empty(); ++line) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        if (line == bar) {
            const std::string first(text.substr(0, std::min(end, text.find(' '))));
            if (first.size() < 3 || first.size() > 18 || !first.starts_with("0x") ||
                first.find_first_not_of("0123456789abcdefABCDEF", 2) != std::string::npos)
                return std::nullopt;
            return std::strtoull(first.c_str() + 2, nullptr, 16);
        }
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return std::nullopt;
}

std::size_t resource_page_offset(const std::string &resource_path) {
    const std::size_t slash = resource_path.rfind('/');
    if (slash == std::string::npos || !is_resource_name(resource_path.substr(slash + 1)))
        return 0;
    const std::string table = resource_path.substr(0, slash + 1) + "resource";
    const int f = open(table.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (f < 0)
        return 0;
    std::vector<char> text(4096);
    std::size_t got = 0;
    struct stat st {};
    const bool read_it = fstat(f, &st) == 0 && S_ISREG(st.st_mode) && read_file(f, text, got);
    close(f);
    const std::optional<std::uint64_t> start =
        read_it ? resource_start(std::string_view(text.data(), got), resource_path.back() - '0')
                : std::nullopt;
    const long page = sysconf(_SC_PAGESIZE);
    return start && page > 0 ? page_offset(*start, static_cast<std::size_t>(page)) : 0;
}

Refusal judge(const FileFacts &file, std::size_t bytes) {
    if (file.interrupt_node)
        return Refusal::InterruptNode;
    if (S_ISCHR(file.mode))
        return Refusal::None;
    if (S_ISBLK(file.mode))
        return Refusal::BlockDevice;
    if (S_ISFIFO(file.mode))
        return Refusal::Fifo;
    if (S_ISSOCK(file.mode))
        return Refusal::Socket;
    if (!S_ISREG(file.mode))
        return Refusal::OtherType;
    switch (file.fs) {
        case FileSystem::Memory:
            return file.size == static_cast<std::int64_t>(bytes) ? Refusal::None
                                                                 : Refusal::MemorySize;
        case FileSystem::Sysfs:
            if (!is_resource_name(file.name))
                return Refusal::SysfsFile;
            return file.size >= static_cast<std::int64_t>(bytes) ? Refusal::None
                                                                 : Refusal::ShortResource;
        case FileSystem::Disk:
            break;
    }
    return Refusal::DiskFile;
}

DeviceWindow open_window(const char *path, std::size_t bytes, bool close_on_exec) {
    DeviceWindow w;
    const auto refuse = [&w](Refusal why, int error) {
        w.failed = WindowStep::Refused;
        w.refusal = why;
        w.error = error;
        return w;
    };
    // A block device, FIFO or socket is refused unopened (opening a FIFO read-write would
    // release a writer waiting for a reader). A path that cannot be looked at goes on to
    // open(), which says why; the simulator's devices exist for open() alone.
    struct stat st {};
    if (stat(path, &st) == 0 && !S_ISCHR(st.st_mode) && !S_ISREG(st.st_mode) &&
        !S_ISDIR(st.st_mode))
        return refuse(judge({st.st_mode, FileSystem::Disk, 0, {}}, bytes), ENODEV);

    const int f = open(path, O_RDWR | (close_on_exec ? O_CLOEXEC : 0));
    if (f == -1) {
        w.failed = WindowStep::Open;
        w.error = errno;
        return w;
    }
    // Descriptors 0 to 2 are the program's standard streams: one of them is closed, and
    // whatever the program writes to it would land in the board.
    if (f <= 2) {
        close(f);
        w.standard = f;
        return refuse(Refusal::StandardStream, EBADF);
    }
    if (fstat(f, &st) != 0) {
        w.failed = WindowStep::Open;
        w.error = errno;
        close(f);
        return w;
    }
    FileFacts facts{st.st_mode,
                    FileSystem::Disk,
                    static_cast<std::int64_t>(st.st_size),
                    {},
                    is_interrupt_node(f, st)};
    std::string real;
    if (S_ISREG(st.st_mode)) {
        w.file_size = facts.size;
#if defined(__linux__)
        facts.fs = file_system_of(f);
        if (facts.fs == FileSystem::Sysfs) {
            real = real_path(path);
            facts.name = std::string_view(real).substr(real.rfind('/') + 1);
        }
#endif
    }
    if (const Refusal why = judge(facts, bytes); why != Refusal::None) {
        close(f);
        return refuse(why, ENODEV);
    }
    w.fd = f;
    // A resource file maps from the page that holds its region: a region that does not
    // start a page lies further in.
    const std::size_t offset = facts.fs == FileSystem::Sysfs ? resource_page_offset(real) : 0;
    void *mapping = mmap(nullptr, offset + bytes, PROT_READ | PROT_WRITE, MAP_SHARED, f, 0);
    if (mapping == MAP_FAILED) {
        w.failed = WindowStep::Map;
        w.error = errno;
        return w;
    }
    w.mapping = mapping;
    w.mapped_bytes = offset + bytes;
    w.page_offset = offset;
    w.address = static_cast<char *>(mapping) + offset;
    return w;
}

std::string window_problem(const DeviceWindow &w, std::size_t bytes) {
    const std::string window = std::to_string(bytes) + " bytes";
    switch (w.refusal) {
        case Refusal::None:
            return "";
        case Refusal::StandardStream: {
            const char *stream = w.standard >= 0 && w.standard <= 2 ? kStandardNames[w.standard]
                                                                    : "a standard stream";
            return "would become descriptor " + std::to_string(w.standard) + ", and " + stream +
                   " is closed: what the program writes there would go into the board (open "
                   "/dev/null on it first)";
        }
        case Refusal::BlockDevice:
            return "is a block device, not a board: its disk would be written";
        case Refusal::Fifo:
        case Refusal::Socket:
        case Refusal::OtherType:
            return std::string("is ") +
                   (w.refusal == Refusal::Fifo     ? "a FIFO"
                    : w.refusal == Refusal::Socket ? "a socket"
                                                   : "of another file type") +
                   ", not a board";
        case Refusal::DiskFile:
#if defined(__linux__)
            return "is a regular file on a disk file system, not a board (a board is a character "
                   "device, a PCI resource file of sysfs, or a file in memory of exactly " +
                   window + ")";
#else
            return "is a regular file, not a board (a board is a character device)";
#endif
        case Refusal::MemorySize:
            return "is a file in memory of " + std::to_string(w.file_size) +
                   " bytes; a window in memory has exactly " + window;
        case Refusal::SysfsFile:
            return "is a sysfs file other than a PCI resource file (resource0 to resource5), not "
                   "a board";
        case Refusal::ShortResource:
            return "is " + std::to_string(w.file_size) + " bytes, the window needs " +
                   std::to_string(bytes);
        case Refusal::InterruptNode:
            return "is the board's interrupt node, not a window (name it in UIO_PATH=)";
    }
    return "";
}

void enable_bridge_interrupts(void *bridge_window) {
    auto *csr = static_cast<volatile std::uint32_t *>(bridge_window) + regs::kBridgeIntCsr / 4;
    const std::uint32_t word = *csr;
    *csr = word | regs::kBridgeIntEnable;
}

}  // namespace korvic::attach
