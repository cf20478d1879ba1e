#include "outputs.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace korvicd {

SockOutput::SockOutput(const std::string &path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw std::system_error(errno, std::generic_category(), "korvicd: SOCK socket");
    addr_.sun_family = AF_UNIX;
    std::strncpy(addr_.sun_path, path.c_str(), sizeof(addr_.sun_path) - 1);
}

SockOutput::~SockOutput() {
    if (fd_ >= 0)
        ::close(fd_);
}

SendResult SockOutput::send(const SockSample &s, std::vector<std::string> &log) {
    const ssize_t n = ::sendto(fd_, &s, sizeof s, MSG_DONTWAIT | MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr *>(&addr_), sizeof addr_);
    if (n == static_cast<ssize_t>(sizeof s)) {
        if (away_)
            log.push_back("chronyd takes samples again at " + path_ + " (" + std::to_string(lost_) +
                          " lost while it was away)");
        away_ = false;
        lost_ = 0;
        return SendResult::sent;
    }
    const int err = n < 0 ? errno : EMSGSIZE;
    if (err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS)
        return SendResult::queue_full;
    if (!away_)
        log.push_back("chronyd not reachable at " + path_ + " (" + std::strerror(err) +
                      "): samples are dropped until it is back");
    away_ = true;
    ++lost_;
    return SendResult::away;
}

ShmOutput::ShmOutput(key_t key, int perm) {
    char name[32];
    std::snprintf(name, sizeof name, "0x%08x", static_cast<unsigned>(key));
    id_ = ::shmget(key, sizeof(ShmTime), IPC_CREAT | (perm & 0777));
    if (id_ < 0) {
        const int err = errno;
        throw std::system_error(err, std::generic_category(),
                                std::string("korvicd: NTP shared memory segment ") + name +
                                    (err == EINVAL ? " (it exists with another size)" : ""));
    }
    void *p = ::shmat(id_, nullptr, 0);
    if (p == reinterpret_cast<void *>(-1))
        throw std::system_error(errno, std::generic_category(),
                                std::string("korvicd: attach NTP shared memory segment ") + name);
    segment_ = static_cast<ShmTime *>(p);
}

ShmOutput::~ShmOutput() {
    if (segment_ != nullptr)
        ::shmdt(segment_);
}

}  // namespace korvicd
