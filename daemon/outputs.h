// korvicd's outputs: chrony's SOCK reference clock socket and the NTP shared-memory
// segment. Both are written without waiting: a sample that cannot go out is dropped.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cstdint>
#include <optional>
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

// "0x4e545032": a segment's key as messages and ipcs(1) show it.
std::string shm_key_name(key_t key);

// The NTP shared-memory segment of one key (0x4e545030 + unit), attached for writing.
class ShmOutput {
  public:
    // Attaches the key's segment, made with `perm` (0600 when not given) when there is
    // none. An existing one keeps its permissions unless `perm` is given: then they are set
    // (IPC_SET), and when that is refused (not its owner), `log` gets one line saying so and
    // the segment is used as it is; a change made gets one line too. Throws
    // std::system_error naming the key when the segment cannot be had.
    ShmOutput(key_t key, std::optional<int> perm, std::vector<std::string> &log);
    // Marks the record invalid (readers take no sample from it) and detaches.
    ~ShmOutput();
    ShmOutput(const ShmOutput &) = delete;
    ShmOutput &operator=(const ShmOutput &) = delete;

    // Writes one record (write_shm). First it looks up the key: a segment removed (ipcrm,
    // or a restarted chronyd that made a new one) is noticed, and the key's segment now,
    // made anew when there is none, is attached in its place with one log line. While no
    // segment can be had, the record goes nowhere, with one line when that starts.
    void write(const ShmRecord &r, std::vector<std::string> &log);
    // valid = 0: readers take no sample from the record until the next write (for a board
    // that is not trusted).
    void invalidate();
    int id() const { return id_; }

  private:
    bool reattach(std::vector<std::string> &log);

    key_t key_;
    std::optional<int> perm_;
    int id_ = -1;
    ShmTime *segment_ = nullptr;
    bool lost_ = false;  // the segment is gone and no other could be had
};

}  // namespace korvicd
