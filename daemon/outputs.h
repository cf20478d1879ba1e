// korvicd's outputs: chrony's SOCK reference clock socket and the NTP shared-memory
// segment. Both are written without waiting: a sample that cannot go out is dropped.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core.h"

namespace korvicd {

enum class SendResult { sent, queue_full, away };

// An unbound AF_UNIX datagram socket that sends each sample to the path chronyd binds
// (refclock SOCK PATH). Every sample is one sendto() with MSG_DONTWAIT, so a chronyd that
// restarts (and binds the path anew) gets samples again at once. A full receive queue
// drops that sample. Any other failure (ENOENT while chronyd is away, ECONNREFUSED while
// a stale socket file is left, EACCES, ...) starts an outage: one log line when it
// starts, one when samples go through again, nothing in between. Never fatal.
class SockOutput {
  public:
    // Throws std::system_error when no socket can be made.
    explicit SockOutput(const std::string &path);
    ~SockOutput();
    SockOutput(const SockOutput &) = delete;
    SockOutput &operator=(const SockOutput &) = delete;

    SendResult send(const SockSample &s, std::vector<std::string> &log);
    const std::string &path() const { return path_; }
    // Whether the last send found chronyd away (an outage that has not ended).
    bool away() const { return away_; }

  private:
    std::string path_;
    int fd_ = -1;
    sockaddr_un addr_{};
    bool away_ = false;
    std::uint64_t lost_ = 0;
};

// The NTP shared-memory segment of one key (0x4e545030 + unit), attached for writing.
// Created with `perm` when absent; an existing one is used as it is.
class ShmOutput {
  public:
    // Throws std::system_error naming the key when the segment cannot be had.
    ShmOutput(key_t key, int perm);
    ~ShmOutput();
    ShmOutput(const ShmOutput &) = delete;
    ShmOutput &operator=(const ShmOutput &) = delete;

    void write(const ShmRecord &r) { write_shm(*segment_, r); }
    int id() const { return id_; }

  private:
    int id_ = -1;
    ShmTime *segment_ = nullptr;
};

}  // namespace korvicd
