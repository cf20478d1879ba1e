// korvicd's outputs against real sockets and real System V segments: what arrives, what a
// missing or full receiver does, the log lines of an outage, the SHM record's valid flag, a
// segment removed and made anew, its permissions; and the lock that keeps a second korvicd
// off an output, held by another process.
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "output_lock.h"
#include "outputs.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

using korvicd_test::TempDir;

// A bound datagram socket, as chronyd makes for refclock SOCK.
int bind_receiver(const fs::path &path) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        ADD_FAILURE() << "bind " << path << ": " << std::strerror(errno);
    return fd;
}

korvicd::SockSample some_sample(int n) {
    korvicd::SockSample s{};
    s.tv.tv_sec = 1'796'000'000 + n;
    s.tv.tv_usec = 250;
    s.offset = 0.25 + n;
    s.magic = korvicd::kSockMagic;
    return s;
}

TEST(SockOutput, OneDatagramOfFortyBytesPerSample) {
    TempDir dir;
    const int rx = bind_receiver(dir / "korvic.sock");
    korvicd::SockOutput out((dir / "korvic.sock").string());
    std::vector<std::string> log;
    ASSERT_EQ(out.send(some_sample(1), log), korvicd::SendResult::sent);
    ASSERT_EQ(out.send(some_sample(2), log), korvicd::SendResult::sent);
    EXPECT_TRUE(log.empty());
    for (int n = 1; n <= 2; ++n) {
        unsigned char buf[64];
        const ssize_t got = recv(rx, buf, sizeof buf, MSG_DONTWAIT);
        ASSERT_EQ(got, 40);
        const korvicd::SockSample want = some_sample(n);
        EXPECT_EQ(std::memcmp(buf, &want, 40), 0);
    }
    close(rx);
}

TEST(SockOutput, AnOutageIsLoggedOnceAndItsEndOnce) {
    TempDir dir;
    const fs::path path = dir / "korvic.sock";
    korvicd::SockOutput out(path.string());
    std::vector<std::string> log;
    // No chronyd yet: ENOENT.
    EXPECT_EQ(out.send(some_sample(1), log), korvicd::SendResult::away);
    EXPECT_EQ(out.send(some_sample(2), log), korvicd::SendResult::away);
    // chronyd binds, then dies leaving its socket file: ECONNREFUSED, still the same outage.
    close(bind_receiver(path));
    EXPECT_EQ(out.send(some_sample(3), log), korvicd::SendResult::away);
    // chronyd back: it removes the stale file and binds anew.
    fs::remove(path);
    const int rx = bind_receiver(path);
    EXPECT_EQ(out.send(some_sample(4), log), korvicd::SendResult::sent);
    EXPECT_EQ(out.send(some_sample(5), log), korvicd::SendResult::sent);
    EXPECT_THAT(log, ElementsAre("chronyd not reachable at " + path.string() +
                                     " (No such file or directory): samples are dropped until "
                                     "it is back",
                                 "chronyd takes samples again at " + path.string() +
                                     " (3 lost while it was away)"));
    // A second outage, now with a stale socket file: refused.
    close(rx);
    log.clear();
    EXPECT_EQ(out.send(some_sample(6), log), korvicd::SendResult::away);
    EXPECT_THAT(log, ElementsAre(HasSubstr("(Connection refused)")));
}

TEST(SockOutput, AFullQueueDropsWithoutWaitingOrLogging) {
    TempDir dir;
    const int rx = bind_receiver(dir / "korvic.sock");
    korvicd::SockOutput out((dir / "korvic.sock").string());
    std::vector<std::string> log;
    int sent = 0;
    korvicd::SendResult r = korvicd::SendResult::sent;
    // A receiver that never reads: the queue fills after a bounded number of datagrams
    // (net.unix.max_dgram_qlen, 512 by default), and MSG_DONTWAIT returns at once.
    while (sent < 100'000 && (r = out.send(some_sample(sent), log)) == korvicd::SendResult::sent)
        ++sent;
    EXPECT_EQ(r, korvicd::SendResult::queue_full);
    EXPECT_GT(sent, 0);
    EXPECT_TRUE(log.empty());
    // Once the receiver reads, samples go through again.
    unsigned char buf[64];
    ASSERT_EQ(recv(rx, buf, sizeof buf, MSG_DONTWAIT), 40);
    EXPECT_EQ(out.send(some_sample(0), log), korvicd::SendResult::sent);
    close(rx);
}

// A key of this process's own, far from the NTP units: `n` tells a test's keys apart.
key_t own_key(int n) {
    return static_cast<key_t>(0x4b520000 + n * 0x10000 + (getpid() & 0xffff));
}

void remove_segment(key_t key) {
    const int id = shmget(key, 0, 0);
    if (id >= 0)
        shmctl(id, IPC_RMID, nullptr);
}

// A reader's view of the key's segment, as ntpshmmon or chronyd has it.
class Reader {
  public:
    explicit Reader(int id)
        : seen_(static_cast<korvicd::ShmTime *>(shmat(id, nullptr, SHM_RDONLY))) {
        if (seen_ == reinterpret_cast<korvicd::ShmTime *>(-1))
            ADD_FAILURE() << "attach " << id << ": " << std::strerror(errno);
    }
    ~Reader() { shmdt(seen_); }
    const korvicd::ShmTime &operator*() const { return *seen_; }
    const korvicd::ShmTime *operator->() const { return seen_; }

  private:
    korvicd::ShmTime *seen_;
};

const korvicd::ShmRecord kRecord{1'796'000'000, 250'123, 250'123'456, 1'796'000'000, 9, 9'999,
                                 -17,           1};

TEST(ShmOutput, TheSegmentHoldsTheLastRecordUntilKorvicdGoes) {
    const key_t key = own_key(1);
    remove_segment(key);
    std::vector<std::string> log;
    int id = -1;
    {
        korvicd::ShmOutput out(key, std::nullopt, log);
        id = out.id();
        shmid_ds ds{};
        ASSERT_EQ(shmctl(id, IPC_STAT, &ds), 0);
        EXPECT_EQ(ds.shm_segsz, sizeof(korvicd::ShmTime));
        EXPECT_EQ(ds.shm_perm.mode & 0777, 0600u);
        out.write(kRecord, log);
        const Reader seen(id);
        EXPECT_EQ(seen->mode, 1);
        EXPECT_EQ(seen->valid, 1);
        EXPECT_EQ(seen->count, 2);
        EXPECT_EQ(seen->clockTimeStampNSec, 250'123'456);
        EXPECT_EQ(seen->receiveTimeStampUSec, 9);
        EXPECT_EQ(seen->precision, -17);
        EXPECT_EQ(seen->leap, 1);
        // Not trusted: the record stays, but readers take nothing from it until the next.
        out.invalidate();
        EXPECT_EQ(seen->valid, 0);
        out.write(kRecord, log);
        EXPECT_EQ(seen->valid, 1);
        EXPECT_EQ(seen->count, 4);
    }
    // korvicd gone: the record is no sample any more.
    const Reader seen(id);
    EXPECT_EQ(seen->valid, 0);
    EXPECT_EQ(seen->count, 4);
    EXPECT_TRUE(log.empty());
    shmctl(id, IPC_RMID, nullptr);
}

// Removed under korvicd (ipcrm), the segment is noticed at the next write: korvicd makes
// the key's segment anew, or attaches the one a restarted reader made, one line each time.
TEST(ShmOutput, ARemovedSegmentIsNoticedAndTheNewOneWritten) {
    const key_t key = own_key(2);
    remove_segment(key);
    std::vector<std::string> log;
    korvicd::ShmOutput out(key, std::nullopt, log);
    const int first = out.id();
    out.write(kRecord, log);
    ASSERT_EQ(shmctl(first, IPC_RMID, nullptr), 0);
    out.write(kRecord, log);
    out.write(kRecord, log);
    const int second = shmget(key, 0, 0);
    ASSERT_GE(second, 0);
    EXPECT_NE(second, first);
    EXPECT_EQ(out.id(), second);
    EXPECT_EQ(Reader(second)->count, 4) << "both records after the removal in the new one";
    // Removed again, and a reader makes its own at once, of the mode it wants.
    ASSERT_EQ(shmctl(second, IPC_RMID, nullptr), 0);
    const int third = shmget(key, sizeof(korvicd::ShmTime), IPC_CREAT | IPC_EXCL | 0640);
    ASSERT_GE(third, 0);
    out.write(kRecord, log);
    EXPECT_EQ(out.id(), third);
    EXPECT_EQ(Reader(third)->valid, 1);
    EXPECT_THAT(
        log, ElementsAre("NTP shared memory segment " + korvicd::shm_key_name(key) +
                             " was removed: writing to a new one made (id " +
                             std::to_string(second) + ", was " + std::to_string(first) + ")",
                         "NTP shared memory segment " + korvicd::shm_key_name(key) +
                             " was removed: writing to the new one (id " + std::to_string(third) +
                             ", was " + std::to_string(second) + ")"));
    remove_segment(key);
}

// --shm-perm on a segment that exists: set when given (one line), left alone when not;
// refused to a user who does not own it, said, and the segment used as it is.
TEST(ShmOutput, PermissionsOfAnExistingSegment) {
    const key_t key = own_key(3);
    remove_segment(key);
    const int id = shmget(key, sizeof(korvicd::ShmTime), IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(id, 0) << std::strerror(errno);
    const auto mode = [id] {
        shmid_ds ds{};
        shmctl(id, IPC_STAT, &ds);
        return ds.shm_perm.mode & 0777;
    };
    std::vector<std::string> log;
    { korvicd::ShmOutput out(key, std::nullopt, log); }
    EXPECT_EQ(mode(), 0600u);
    EXPECT_TRUE(log.empty());
    { korvicd::ShmOutput out(key, 0666, log); }
    EXPECT_EQ(mode(), 0666u);
    EXPECT_THAT(log, ElementsAre("NTP shared memory segment " + korvicd::shm_key_name(key) +
                                 ": permissions set from 0600 to 0666 (--shm-perm)"));
    if (geteuid() != 0)
        GTEST_SKIP() << "the refusal needs another user, which only root can become";
    // A user that does not own the segment (nobody) asks for 0644.
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(pipe_fds[0]);
        std::vector<std::string> lines;
        std::string said = "no line";
        if (setgid(65534) == 0 && setuid(65534) == 0) {
            korvicd::ShmOutput out(key, 0644, lines);
            if (lines.size() == 1)
                said = lines[0];
        }
        (void)!write(pipe_fds[1], said.data(), said.size());
        _exit(0);
    }
    close(pipe_fds[1]);
    char buf[512];
    const ssize_t n = read(pipe_fds[0], buf, sizeof buf);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0),
              "NTP shared memory segment " + korvicd::shm_key_name(key) +
                  ": cannot set --shm-perm 0644 on it (it is 0666, owned by uid " +
                  std::to_string(geteuid()) + ": Operation not permitted): used as it is");
    EXPECT_EQ(mode(), 0666u);
    shmctl(id, IPC_RMID, nullptr);
}

TEST(ShmOutput, AnExistingSegmentOfAnotherSizeIsNamedInTheError) {
    const key_t key = own_key(4);
    remove_segment(key);
    const int other = shmget(key, 16, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(other, 0) << std::strerror(errno);
    std::vector<std::string> log;
    try {
        korvicd::ShmOutput out(key, std::nullopt, log);
        ADD_FAILURE() << "a 16-byte segment was taken";
    } catch (const std::system_error &e) {
        // korvicd's log line puts the one "korvicd: " in front.
        EXPECT_THAT(e.what(), ::testing::StartsWith("NTP shared memory segment 0x4b5"));
        EXPECT_THAT(e.what(), HasSubstr("(it exists with another size)"));
    }
    shmctl(other, IPC_RMID, nullptr);
}

// ---------------------------------------------------------------------------------------
// One korvicd per output.
// ---------------------------------------------------------------------------------------

TEST(OutputLock, WhereTheLockFilesLiveAndTheirNames) {
    const struct {
        const char *runtime, *xdg;
        uid_t euid;
        const char *dir;
    } dirs[] = {
        {"/run/korvicd", nullptr, 0, "/run/korvicd"},
        {"/run/korvicd:/run/other", nullptr, 0, "/run/korvicd"},
        {nullptr, nullptr, 0, "/run/korvicd"},
        {"", "/run/user/0", 0, "/run/korvicd"},
        {nullptr, "/run/user/1000", 1000, "/run/user/1000/korvicd"},
        {nullptr, "", 1000, "/run/korvicd"},
        {"/tmp/t", "/run/user/1000", 1000, "/tmp/t"},
    };
    for (const auto &d : dirs)
        EXPECT_EQ(korvicd::lock_directory(d.runtime, d.xdg, d.euid), d.dir);
    const std::string cwd = fs::current_path().string();
    const std::string name = korvicd::sock_lock_name("/run/chrony.korvicd.sock");
    EXPECT_THAT(name, ::testing::MatchesRegex("sock-[0-9a-f]{16}\\.lock"));
    EXPECT_EQ(korvicd::sock_lock_name("/run/./x/../chrony.korvicd.sock"), name);
    EXPECT_NE(korvicd::sock_lock_name("/run/chrony.korvicd2.sock"), name);
    EXPECT_EQ(korvicd::sock_lock_name("k.sock"), korvicd::sock_lock_name(cwd + "/k.sock"));
    EXPECT_EQ(korvicd::shm_lock_name(2), "shm-2.lock");
}

// The lock held by another process: the second take names its pid; once it is gone, the
// lock is had, and the file says who holds it. The directory is made when missing.
TEST(OutputLock, HeldByAnotherProcessItsPidIsNamed) {
    TempDir dir;
    const std::string run = (dir / "run").string();
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t child = fork();
    if (child == 0) {
        korvicd::OutputLocks held;
        held.take(run, "shm-2.lock", "--shm 2");
        (void)!write(ready[1], "x", 1);
        char c = 0;
        (void)!read(done[0], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    {
        korvicd::OutputLocks mine;
        try {
            mine.take(run, "shm-2.lock", "--shm 2");
            ADD_FAILURE() << "the lock was had twice";
        } catch (const korvicd::OutputTaken &e) {
            EXPECT_EQ(e.holder(), child);
            EXPECT_EQ(std::string(e.what()),
                      "--shm 2 is fed by another korvicd (pid " + std::to_string(child) + ")");
        }
        mine.take(run, "shm-3.lock", "--shm 3");  // another output is free
    }
    EXPECT_EQ(write(done[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    korvicd::OutputLocks mine;
    mine.take(run, "shm-2.lock", "--shm 2");
    std::ifstream in(run + "/shm-2.lock");
    std::string pid, output;
    std::getline(in, pid);
    std::getline(in, output);
    EXPECT_EQ(pid, std::to_string(getpid()));
    EXPECT_EQ(output, "--shm 2");
    for (const int fd : {ready[0], ready[1], done[0], done[1]})
        close(fd);
    // A directory that cannot be made is named.
    try {
        mine.take((dir / "no/such/dir").string(), "x.lock", "--shm 4");
        ADD_FAILURE() << "a lock in a missing directory";
    } catch (const std::system_error &e) {
        EXPECT_THAT(e.what(), HasSubstr("lock directory " + (dir / "no/such/dir").string()));
    }
}

}  // namespace
