// One korvicd per output. Two korvicd feeding one socket or one SHM unit would give chronyd
// two clocks under one name, so each output has a lock file in korvicd's runtime
// directory, locked with fcntl for as long as korvicd runs: a second korvicd finds it
// locked and learns the holder's pid from F_GETLK. The lock dies with its process (even by
// SIGKILL); the file stays for the next one. Neither a socket file (chronyd makes it anew)
// nor an abstract socket (one per network namespace, and the unit has its own) could
// carry the lock.
#pragma once

#include <sys/types.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvicd {

// Where the lock files live: $RUNTIME_DIRECTORY (what systemd sets for the unit's
// RuntimeDirectory=korvicd; the first of a colon-separated list), else /run/korvicd for
// root, else $XDG_RUNTIME_DIR/korvicd when set, else /run/korvicd. The arguments are the
// two variables (nullptr when unset) and the effective user id.
std::string lock_directory(const char *runtime_directory, const char *xdg_runtime_dir, uid_t euid);

// The lock file of a socket path: "sock-" and 16 hexadecimal digits of a hash of the path
// made absolute (from the working directory) and lexically normal; of an SHM unit, "shm-N".
// Both end in ".lock".
std::string sock_lock_name(const std::string &path);
std::string shm_lock_name(int unit);

// Thrown when another process holds an output's lock: what() names the output and the pid.
class OutputTaken : public std::runtime_error {
  public:
    OutputTaken(const std::string &output, pid_t holder);
    pid_t holder() const { return holder_; }

  private:
    pid_t holder_;
};

// The locks of one korvicd's outputs, held until it is destroyed.
class OutputLocks {
  public:
    OutputLocks() = default;
    ~OutputLocks();
    OutputLocks(const OutputLocks &) = delete;
    OutputLocks &operator=(const OutputLocks &) = delete;

    // Locks the file `name` in `dir` (the directory made, 0755, when missing; the file
    // 0644 less the umask) for `output` ("--sock /run/chrony.korvicd.sock"), and writes
    // this process's pid and `output` into it for whoever looks. Throws OutputTaken when
    // another process holds it, std::system_error naming the file when it cannot be had.
    void take(const std::string &dir, const std::string &name, const std::string &output);

  private:
    std::vector<int> fds_;
};

}  // namespace korvicd
