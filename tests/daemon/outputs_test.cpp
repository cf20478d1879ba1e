// korvicd's outputs against real sockets and a real System V segment: what arrives, what
// a missing or full receiver does, and the log lines of an outage; and the lock that keeps
// a second korvicd off an output, held by another process.
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

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class TempDir {
  public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "korvicd-out-XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr)
            std::abort();
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    fs::path operator/(const char *name) const { return path_ / name; }

  private:
    fs::path path_;
};

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

TEST(ShmOutput, TheSegmentHoldsTheLastRecord) {
    korvicd::ShmOutput out(IPC_PRIVATE, 0600);
    shmid_ds ds{};
    ASSERT_EQ(shmctl(out.id(), IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_segsz, sizeof(korvicd::ShmTime));
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0600u);
    out.write({1'796'000'000, 250'123, 250'123'456, 1'796'000'000, 9, 9'999, -17});
    auto *seen = static_cast<korvicd::ShmTime *>(shmat(out.id(), nullptr, SHM_RDONLY));
    ASSERT_NE(seen, reinterpret_cast<korvicd::ShmTime *>(-1));
    EXPECT_EQ(seen->mode, 1);
    EXPECT_EQ(seen->valid, 1);
    EXPECT_EQ(seen->count, 2);
    EXPECT_EQ(seen->clockTimeStampNSec, 250'123'456);
    EXPECT_EQ(seen->receiveTimeStampUSec, 9);
    EXPECT_EQ(seen->precision, -17);
    shmdt(seen);
    shmctl(out.id(), IPC_RMID, nullptr);
}

TEST(ShmOutput, AnExistingSegmentOfAnotherSizeIsNamedInTheError) {
    // A key of its own for this process, far from the NTP units.
    const key_t key = static_cast<key_t>(0x4b520000 + (getpid() & 0xffff));
    const int other = shmget(key, 16, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(other, 0) << std::strerror(errno);
    try {
        korvicd::ShmOutput out(key, 0600);
        ADD_FAILURE() << "a 16-byte segment was taken";
    } catch (const std::system_error &e) {
        EXPECT_THAT(e.what(), HasSubstr("NTP shared memory segment 0x4b52"));
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
