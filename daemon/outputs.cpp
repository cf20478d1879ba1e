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
        throw std::system_error(errno, std::generic_category(), "SOCK socket");
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

std::string shm_key_name(key_t key) {
    char name[16];
    std::snprintf(name, sizeof name, "0x%08x", static_cast<unsigned>(key));
    return name;
}

namespace {

constexpr int kNewSegmentPerm = 0600;

// Sets `perm` on the segment `id` when it has others: a line for the change, or for the
// refusal (then the segment is used as it is).
void set_perm(int id, key_t key, int perm, std::vector<std::string> &log) {
    shmid_ds ds{};
    const std::string name = "NTP shared memory segment " + shm_key_name(key);
    char wanted[8], had[8];
    std::snprintf(wanted, sizeof wanted, "%04o", static_cast<unsigned>(perm));
    if (shmctl(id, IPC_STAT, &ds) != 0) {
        log.push_back(name + ": cannot read its permissions to set " + wanted + " (" +
                      std::strerror(errno) + "): used as it is");
        return;
    }
    const unsigned mode = ds.shm_perm.mode & 0777u;
    if (mode == static_cast<unsigned>(perm))
        return;
    std::snprintf(had, sizeof had, "%04o", mode);
    ds.shm_perm.mode = (ds.shm_perm.mode & ~0777u) | static_cast<unsigned>(perm);
    if (shmctl(id, IPC_SET, &ds) != 0) {
        log.push_back(name + ": cannot set --shm-perm " + wanted + " on it (it is " + had +
                      ", owned by uid " + std::to_string(ds.shm_perm.uid) + ": " +
                      std::strerror(errno) + "): used as it is");
        return;
    }
    log.push_back(name + ": permissions set from " + had + " to " + wanted + " (--shm-perm)");
}

}  // namespace

ShmOutput::ShmOutput(key_t key, std::optional<int> perm, std::vector<std::string> &log)
    : key_(key), perm_(perm) {
    const std::string name = "NTP shared memory segment " + shm_key_name(key);
    const int mode = perm.value_or(kNewSegmentPerm) & 0777;
    // Made here, it has the mode asked for; found, it is set when --shm-perm says so.
    id_ = key == IPC_PRIVATE ? -1 : ::shmget(key, sizeof(ShmTime), IPC_CREAT | IPC_EXCL | mode);
    const bool made = id_ >= 0;
    if (!made)
        id_ = ::shmget(key, sizeof(ShmTime), IPC_CREAT | mode);
    if (id_ < 0) {
        const int err = errno;
        throw std::system_error(err, std::generic_category(),
                                name + (err == EINVAL ? " (it exists with another size)" : ""));
    }
    if (!made && perm && key != IPC_PRIVATE)
        set_perm(id_, key, *perm, log);
    void *p = ::shmat(id_, nullptr, 0);
    if (p == reinterpret_cast<void *>(-1))
        throw std::system_error(errno, std::generic_category(), "attach " + name);
    segment_ = static_cast<ShmTime *>(p);
}

ShmOutput::~ShmOutput() {
    if (segment_ == nullptr)
        return;
    invalidate();
    ::shmdt(segment_);
}

void ShmOutput::invalidate() {
    segment_->valid = 0;
}

bool ShmOutput::reattach(std::vector<std::string> &log) {
    const std::string name = "NTP shared memory segment " + shm_key_name(key_);
    const int mode = perm_.value_or(kNewSegmentPerm) & 0777;
    const int made = ::shmget(key_, sizeof(ShmTime), IPC_CREAT | IPC_EXCL | mode);
    const int found = made >= 0 ? made : ::shmget(key_, sizeof(ShmTime), IPC_CREAT | mode);
    void *p = found >= 0 ? ::shmat(found, nullptr, 0) : reinterpret_cast<void *>(-1);
    if (p == reinterpret_cast<void *>(-1)) {
        const int err = errno;
        if (!lost_)
            log.push_back(name + " was removed, and no new one can be had (" + std::strerror(err) +
                          (err == EINVAL ? ", one exists with another size" : "") +
                          "): SHM samples are lost until it can");
        lost_ = true;
        return false;
    }
    if (made < 0 && perm_)
        set_perm(found, key_, *perm_, log);
    // The old segment may still be attached by a reader of the old one: it takes no more.
    invalidate();
    ::shmdt(segment_);
    segment_ = static_cast<ShmTime *>(p);
    log.push_back(name + " was removed: writing to " +
                  (made >= 0 ? "a new one made" : "the new one") + " (id " + std::to_string(found) +
                  ", was " + std::to_string(id_) + ")");
    id_ = found;
    lost_ = false;
    return true;
}

void ShmOutput::write(const ShmRecord &r, std::vector<std::string> &log) {
    // The key names another segment, or none, once the one attached has been removed.
    if (key_ != IPC_PRIVATE && ::shmget(key_, 0, 0) != id_ && !reattach(log))
        return;
    write_shm(*segment_, r);
}

}  // namespace korvicd
