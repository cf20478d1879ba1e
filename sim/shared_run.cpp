#include "shared_run.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>
#include <stdexcept>
#include <system_error>
#include <type_traits>

#include "clock.h"
#include "settings.h"

namespace korvic::sim {
namespace {

constexpr char kMagic[16] = "korvic_sim run";
constexpr std::uint32_t kLayout =
    static_cast<std::uint32_t>(sizeof(RunHeader) * 1000 + sizeof(BoardSlot));

static_assert(std::is_standard_layout_v<RunHeader> && std::is_standard_layout_v<BoardSlot>);
static_assert(std::atomic<std::uint64_t>::is_always_lock_free &&
                  std::atomic<std::int64_t>::is_always_lock_free &&
                  std::atomic<std::uint32_t>::is_always_lock_free &&
                  sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t),
              "the counters are shared by processes");

[[noreturn]] void fail(const std::string &what, const std::string &path, int err) {
    throw std::system_error(err, std::generic_category(), what + " " + path);
}

std::size_t slots_offset() {
    return (sizeof(RunHeader) + alignof(BoardSlot) - 1) / alignof(BoardSlot) * alignof(BoardSlot);
}

}  // namespace

std::size_t SharedRun::size_for(int boards) {
    return slots_offset() + sizeof(BoardSlot) * static_cast<std::size_t>(boards);
}

void SharedRun::initialise(void *base, std::size_t bytes, int boards) {
    auto *h = new (base) RunHeader;
    std::memcpy(h->magic, kMagic, sizeof kMagic);
    h->layout = kLayout;
    h->boards = static_cast<std::uint32_t>(boards);
    h->bytes = bytes;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&h->lock, &attr);
    pthread_mutexattr_destroy(&attr);
    new (&h->sequence) std::atomic<std::uint64_t>(0);
    h->origin = HostOrigin::now();
    new (&h->trace_failed) std::atomic<std::uint32_t>(0);
    new (&h->interrupts) InterruptWake;
    auto *slots = reinterpret_cast<BoardSlot *>(static_cast<char *>(base) + slots_offset());
    for (int i = 0; i < boards; ++i)
        new (&slots[i]) BoardSlot;
}

bool run_trace_failed(int dirfd) {
    const int fd = ::openat(dirfd, kStateName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    // A shared mapping of the file and its pages as read(2) sees them are one: the flag as
    // the processes of the run have stored it.
    std::uint32_t failed = 0;
    const bool read_it = ::pread(fd, &failed, sizeof failed, offsetof(RunHeader, trace_failed)) ==
                         static_cast<ssize_t>(sizeof failed);
    ::close(fd);
    return read_it && failed != 0;
}

SharedRun SharedRun::create(const std::string &path, int boards) {
    const std::size_t bytes = size_for(boards);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("cannot create", path, errno);
    if (ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        const int e = errno;
        ::close(fd);
        fail("cannot size", path, e);
    }
    void *base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int e = errno;
    ::close(fd);
    if (base == MAP_FAILED)
        fail("cannot map", path, e);
    initialise(base, bytes, boards);
    return {base, bytes};
}

SharedRun SharedRun::open(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        fail("cannot open the shared board state", path, errno);
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        fail("cannot look at", path, e);
    }
    const auto bytes = static_cast<std::size_t>(st.st_size);
    void *base = bytes >= sizeof(RunHeader)
                     ? mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                     : MAP_FAILED;
    const int e = errno;
    ::close(fd);
    if (bytes < sizeof(RunHeader))
        throw std::runtime_error(path + " is not the state of a korvic_sim run");
    if (base == MAP_FAILED)
        fail("cannot map", path, e);
    SharedRun run(base, bytes);
    const RunHeader &h = run.header();
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0 || h.layout != kLayout || h.boards < 1 ||
        h.bytes != bytes || size_for(static_cast<int>(h.boards)) != bytes)
        throw std::runtime_error(path + " is not the state of a run of this korvic_sim");
    return run;
}

SharedRun SharedRun::local(int boards) {
    const std::size_t bytes = size_for(boards);
    // cppcheck-suppress invalidFunctionArg ; an anonymous mapping takes descriptor -1
    void *base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED)
        throw std::system_error(errno, std::generic_category(), "cannot map the board state");
    initialise(base, bytes, boards);
    return {base, bytes};
}

SharedRun::SharedRun(SharedRun &&other) noexcept : base_(other.base_), bytes_(other.bytes_) {
    other.base_ = nullptr;
    other.bytes_ = 0;
}

SharedRun::~SharedRun() {
    if (base_ != nullptr)
        munmap(base_, bytes_);
}

BoardSlot &SharedRun::slot(int k) const {
    auto *slots = reinterpret_cast<BoardSlot *>(static_cast<char *>(base_) + slots_offset());
    return slots[k - 1];
}

void device_file_name(char (&out)[kDeviceFileNameSize], dev_t dev, ino_t ino, int k) {
    char *p = out;
    const auto add = [&](const char *text) {
        while (*text != '\0')
            *p++ = *text++;
    };
    const auto hex = [&](std::uint64_t v) {
        char digits[16];
        int n = 0;
        do {
            digits[n++] = "0123456789abcdef"[v % 16];
            v /= 16;
        } while (v != 0);
        while (n > 0)
            *p++ = digits[--n];
    };
    add("/dev/shm/korvic_sim.");
    hex(static_cast<std::uint64_t>(dev));
    add(".");
    hex(static_cast<std::uint64_t>(ino));
    add(".");
    hex(static_cast<std::uint64_t>(k));
    *p = '\0';
}

void create_device_files(const std::string &state, int boards) {
    struct stat st {};
    if (::stat(state.c_str(), &st) != 0)
        fail("cannot look at", state, errno);
    for (int k = 1; k <= boards; ++k) {
        char name[kDeviceFileNameSize];
        device_file_name(name, st.st_dev, st.st_ino, k);
        // A file of this name is a leftover of a run whose state file had the same identity
        // and was removed by hand.
        unlink(name);
        const int fd = ::open(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 || ftruncate(fd, kBoardWindowBytes) != 0) {
            const int e = errno;
            if (fd >= 0)
                ::close(fd);
            fail("cannot create the board's device file", name, e);
        }
        ::close(fd);
    }
}

bool cfg_written_by_launcher(int dirfd, const char *name) {
    const int fd = openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[64] = {};
    const ssize_t n = read(fd, buf, kCfgMarker.size() + 1);
    ::close(fd);
    return n == static_cast<ssize_t>(kCfgMarker.size() + 1) &&
           std::string_view(buf, kCfgMarker.size()) == kCfgMarker && buf[kCfgMarker.size()] == '\n';
}

void remove_run_files(int parent_fd, const char *name, int dirfd) {
    static_assert(kMaxBoards < 100, "two digits of a board number");
    for (int k = 1; k <= kMaxBoards; ++k) {
        // "korvic_cfg.dat", "korvic_cfg.K.dat", built without the C library's formatting.
        char cfg[32] = "korvic_cfg.";
        char *p = cfg + 11;
        if (k >= 10)
            *p++ = static_cast<char>('0' + k / 10);
        if (k >= 2) {
            *p++ = static_cast<char>('0' + k % 10);
            *p++ = '.';
        }
        std::memcpy(p, "dat", 4);
        if (cfg_written_by_launcher(dirfd, cfg))
            unlinkat(dirfd, cfg, 0);
    }
    struct stat state {};
    if (fstatat(dirfd, kStateName, &state, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(state.st_mode)) {
        for (int k = 1; k <= kMaxBoards; ++k) {
            char device[kDeviceFileNameSize];
            device_file_name(device, state.st_dev, state.st_ino, k);
            unlink(device);
        }
    }
    unlinkat(dirfd, kStateName, 0);
    unlinkat(dirfd, kOwnerName, 0);
    struct stat here {
    }, there{};
    if (fstat(dirfd, &here) == 0 && fstatat(parent_fd, name, &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        here.st_dev == there.st_dev && here.st_ino == there.st_ino)
        unlinkat(parent_fd, name, AT_REMOVEDIR);
}

RunLock::RunLock(RunHeader &h) : lock_(&h.lock) {
    const int e = pthread_mutex_lock(lock_);
    if (e == EOWNERDEAD) {
        // The holder died in the middle of an access: the board keeps what it did so far.
        pthread_mutex_consistent(lock_);
    } else if (e != 0) {
        // Never met (the lock is always made consistent again): serve the access unlocked
        // rather than hang.
        lock_ = nullptr;
    }
}

RunLock::~RunLock() {
    if (lock_ != nullptr)
        pthread_mutex_unlock(lock_);
}

}  // namespace korvic::sim
