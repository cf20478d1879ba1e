#include "output_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace korvicd {

std::string lock_directory(const char *runtime_directory, const char *xdg_runtime_dir, uid_t euid) {
    if (runtime_directory != nullptr && *runtime_directory != '\0') {
        const std::string dirs = runtime_directory;
        return dirs.substr(0, dirs.find(':'));
    }
    if (euid != 0 && xdg_runtime_dir != nullptr && *xdg_runtime_dir != '\0')
        return std::string(xdg_runtime_dir) + "/korvicd";
    return "/run/korvicd";
}

std::string sock_lock_name(const std::string &path) {
    const std::string key = std::filesystem::absolute(path).lexically_normal().string();
    // FNV-1a, 64 bits: a file name of fixed length for any path a socket may have.
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const char c : key) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001b3ULL;
    }
    char name[40];
    std::snprintf(name, sizeof name, "sock-%016llx.lock", static_cast<unsigned long long>(h));
    return name;
}

std::string shm_lock_name(int unit) {
    return "shm-" + std::to_string(unit) + ".lock";
}

OutputTaken::OutputTaken(const std::string &output, pid_t holder)
    : std::runtime_error(output + " is fed by another korvicd (pid " + std::to_string(holder) +
                         ")"),
      holder_(holder) {}

OutputLocks::~OutputLocks() {
    for (const int fd : fds_)
        ::close(fd);
}

void OutputLocks::take(const std::string &dir, const std::string &name, const std::string &output) {
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        throw std::system_error(errno, std::generic_category(), "lock directory " + dir);
    const std::string file = dir + "/" + name;
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0644);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "lock file " + file);
    // A holder that ends between the refused lock and the question leaves nothing to name:
    // try again, a few times.
    for (int attempt = 0; attempt < 5; ++attempt) {
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (::fcntl(fd, F_SETLK, &lock) == 0) {
            const std::string text = std::to_string(::getpid()) + "\n" + output + "\n";
            if (::ftruncate(fd, 0) != 0 ||
                ::pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
                const int err = errno;
                ::close(fd);
                throw std::system_error(err, std::generic_category(), "lock file " + file);
            }
            fds_.push_back(fd);
            return;
        }
        if (errno != EACCES && errno != EAGAIN) {
            const int err = errno;
            ::close(fd);
            throw std::system_error(err, std::generic_category(), "lock file " + file);
        }
        struct flock holder {};
        holder.l_type = F_WRLCK;
        holder.l_whence = SEEK_SET;
        if (::fcntl(fd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK) {
            ::close(fd);
            throw OutputTaken(output, holder.l_pid);
        }
    }
    ::close(fd);
    throw std::system_error(EAGAIN, std::generic_category(), "lock file " + file);
}

}  // namespace korvicd
