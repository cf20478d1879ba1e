// The board's interrupt node (interrupt_node.h): opening it under the window's rules,
// finding it from the register device, re-arming it and waiting on it.
#include "interrupt_node.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <system_error>
#include <utility>

#include "attach.h"
#include "board_lock.h"

namespace korvic::irq {
namespace {

namespace fs = std::filesystem;

// "uio3" -> "3", "uio" -> "": the number after `prefix`, or nothing when `name` is not the
// prefix and digits.
bool numbered(std::string_view name, std::string_view prefix, std::string_view &number) {
    if (!name.starts_with(prefix))
        return false;
    number = name.substr(prefix.size());
    return number.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

NodeOpen open_node(const char *path) {
    NodeOpen n;
    const auto refuse = [&n](int error) {
        n.failed = NodeStep::Refused;
        n.error = error;
        return n;
    };
    struct stat st {};
    if (stat(path, &st) == 0 && !S_ISCHR(st.st_mode))
        return refuse(ENODEV);
    const int f = open(path, O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (f < 0) {
        n.failed = NodeStep::Open;
        n.error = errno;
        return n;
    }
    if (f <= 2) {
        close(f);
        n.standard = f;
        return refuse(EBADF);
    }
    if (fstat(f, &st) != 0 || !attach::is_interrupt_node(f, st)) {
        close(f);
        return refuse(ENODEV);
    }
    n.fd = f;
    return n;
}

std::string node_problem(const NodeOpen &n) {
    if (n.failed != NodeStep::Refused)
        return "";
    if (n.standard >= 0)
        return "would become descriptor " + std::to_string(n.standard) +
               ", a standard stream that is closed (open /dev/null on it first)";
    return "is not an interrupt node (a UIO node of korvic_uio, or the simulator's)";
}

fs::path sysfs_node(const fs::path &device_dir) {
    std::error_code ec;
    for (fs::directory_iterator it(device_dir / "uio", ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string_view number;
        const std::string name = it->path().filename().string();
        if (numbered(name, "uio", number) && !number.empty())
            return fs::path("/dev") / name;
    }
    return {};
}

Location find_node(const fs::path &register_device) {
    std::error_code ec;
    const fs::path real = fs::canonical(register_device, ec);
    std::string_view number;
    const std::string real_name = real.filename().string();
    if (!ec && real.string().starts_with("/sys/") && numbered(real_name, "resource", number) &&
        number.size() == 1) {
        fs::path node = sysfs_node(real.parent_path());
        const bool bound = !node.empty();
        return {std::move(node), bound};
    }
    const std::string name = register_device.filename().string();
    if (numbered(name, "board", number))
        return {register_device.parent_path() / ("uio" + std::string(number)), false};
    return {};
}

Node::Node(int fd, fs::path path)
    : fd_(fd), path_(std::move(path)), generation_(lock::fork_generation()) {}

Node::~Node() {
    if (fd_ >= 0)
        close(fd_);
}

bool Node::own() {
    if (generation_ == lock::fork_generation())
        return true;
    const NodeOpen again = open_node(path_.c_str());
    if (again.failed != NodeStep::None) {
        errno = again.error;
        return false;
    }
    close(fd_);
    fd_ = again.fd;
    generation_ = lock::fork_generation();
    return true;
}

bool Node::arm() {
    if (!own())
        return false;
    const std::int32_t one = 1;
    const ssize_t n = write(fd_, &one, sizeof one);
    if (n == static_cast<ssize_t>(sizeof one))
        return true;
    if (n >= 0)
        errno = EIO;
    return false;
}

Wake Node::wait(std::chrono::nanoseconds up_to) {
    if (!own())
        return Wake::Failed;
    const auto ms =
        std::chrono::ceil<std::chrono::milliseconds>(std::max(up_to, std::chrono::nanoseconds{0}));
    pollfd p{fd_, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::min<std::int64_t>(ms.count(), 1 << 30)));
    if (ready < 0)
        return errno == EINTR ? Wake::Signal : Wake::Failed;
    if (ready == 0)
        return Wake::Slice;
    if ((p.revents & POLLIN) == 0) {
        errno = (p.revents & POLLNVAL) != 0 ? EBADF : EIO;
        return Wake::Failed;
    }
    std::uint32_t count = 0;
    const ssize_t n = read(fd_, &count, sizeof count);
    if (n == static_cast<ssize_t>(sizeof count))
        return Wake::Interrupt;
    if (n < 0 && errno == EINTR)
        return Wake::Signal;
    if (n < 0 && errno == EAGAIN)
        return Wake::Slice;
    if (n >= 0)
        errno = EIO;
    return Wake::Failed;
}

}  // namespace korvic::irq
