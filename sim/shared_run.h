// The boards of one run, in memory that every process of the run maps: like a real board,
// one simulated board is one board for every program that opens it.
//
// The launcher creates the run's file (in its private directory; see launcher.cpp), powers
// the boards up in it and names it to the programs in KORVIC_SIM_SHARED; each process's
// preload library maps it. Without a file (tests, the preload library set up by hand), a
// process keeps a run of its own in private memory, shared with nobody.
//
// The file holds a header (an identification, the number of boards, the lock, the trace's
// sequence count, the moment the run started, the interrupt nodes' wake word) and one slot
// per board: the board's state, the bridge's words, the board's virtual clock and its
// count of interrupts. Accesses are serialised by one
// process-shared robust mutex: a process killed while it holds it (even by SIGKILL, in the
// middle of an access) leaves it to the next process, which takes it over; nobody waits
// for a dead process.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "board.h"
#include "clock.h"
#include "interrupt_line.h"

namespace korvic::sim {

// The run's private directory (korvic_sim.XXXXXX under $TMPDIR) holds these two files: the
// owner record (locked while the run lives, naming its program) and the boards' state.
inline constexpr const char *kOwnerName = ".korvic_sim.owner";
inline constexpr const char *kStateName = ".korvic_sim.state";

// Each korvic_cfg file that the launcher writes starts with this line; a file without it
// is the user's own and is left alone.
inline constexpr std::string_view kCfgMarker = "# korvic_cfg.dat written by korvic_sim";
// True when the file `name` in `dirfd` starts with kCfgMarker (and a newline).
bool cfg_written_by_launcher(int dirfd, const char *name);

// Each board's register device is a file in memory of the window's size, one per board of
// the run, that every open() of the simulated device opens anew (the preload library's
// mappings of it are trapped windows; its bytes are never used). Being one file, like a
// device node, it carries the board lock: flock() on two opens of it excludes, across the
// processes of the run as within one. The files live in /dev/shm (a file on disk is no
// board's window) under names made from the identity of the run's state file:
// "/dev/shm/korvic_sim.DEV.INO.K" (hexadecimal), unique while the run lives.
inline constexpr std::size_t kDeviceFileNameSize = 80;
// Writes board k's name into `out`, without allocation (called at a process's exit too).
void device_file_name(char (&out)[kDeviceFileNameSize], dev_t dev, ino_t ino, int k);
// Creates the device files of boards 1 to `boards` for the run whose state file is `state`
// (mode 0600, 512 bytes; a leftover of that name is replaced). Throws std::system_error
// naming the file.
void create_device_files(const std::string &state, int boards);

// Removes the run's files (and the korvic_cfg files the launcher wrote) from its directory `dirfd`,
// then the directory itself (`name` under `parent_fd`) if it is still that directory and nothing
// else was put there; and the run's device files. Files that are already gone are no error.
// No allocation: called at a process's exit too.
void remove_run_files(int parent_fd, const char *name, int dirfd);

struct RunHeader {
    char magic[16];
    std::uint32_t layout;  // the sizes below: another build's file is refused
    std::uint32_t boards;
    std::uint64_t bytes;
    pthread_mutex_t lock;
    std::atomic<std::uint64_t> sequence;      // of the trace: one count for the whole run
    HostOrigin origin;                        // when the boards were powered up
    std::atomic<std::uint32_t> trace_failed;  // 1 once a process could not write a trace line
    InterruptWake interrupts;                 // the interrupt nodes' helpers sleep on it
};

// True when the run whose directory is `dirfd` has lost a trace line (RunHeader's
// trace_failed), read from its state file without mapping it: no allocation, called at a
// process's exit too.
bool run_trace_failed(int dirfd);

struct BoardSlot {
    BoardState board;
    BridgeState bridge;
    std::atomic<std::int64_t> virtual_now{0};  // the board's virtual clock, if it has one
    std::int64_t virtual_origin = 0;           // that clock's reading at power-up
    std::atomic<std::uint32_t> interrupts{0};  // the bridge's interrupts counted (the node's)
};

class SharedRun {
  public:
    // Creates the file `path` (it must not exist; mode 0600) for `boards` boards and maps
    // it. The boards are not powered up yet (Simulator does that). Throws
    // std::system_error naming the file.
    static SharedRun create(const std::string &path, int boards);
    // Maps the run file `path` that a launcher created. Throws std::system_error, or
    // std::runtime_error for a file that is not a run of this build.
    static SharedRun open(const std::string &path);
    // A run of this process's own, in private memory (a forked child gets a copy).
    static SharedRun local(int boards);

    SharedRun(SharedRun &&other) noexcept;
    SharedRun &operator=(SharedRun &&) = delete;
    SharedRun(const SharedRun &) = delete;
    SharedRun &operator=(const SharedRun &) = delete;
    ~SharedRun();

    int boards() const { return static_cast<int>(header().boards); }
    RunHeader &header() const { return *static_cast<RunHeader *>(base_); }
    // Board k's slot, counted from 1.
    BoardSlot &slot(int k) const;

  private:
    SharedRun(void *base, std::size_t bytes) : base_(base), bytes_(bytes) {}
    static std::size_t size_for(int boards);
    static void initialise(void *base, std::size_t bytes, int boards);

    void *base_ = nullptr;
    std::size_t bytes_ = 0;
};

// Holds the run's lock for one access. A lock whose holder died is taken over (the board
// state is as that access left it). Taken inside the trap engine's signal handler: it
// allocates nothing, and a thread never takes it twice.
class RunLock {
  public:
    explicit RunLock(RunHeader &h);
    ~RunLock();
    RunLock(const RunLock &) = delete;
    RunLock &operator=(const RunLock &) = delete;

  private:
    pthread_mutex_t *lock_;
};

}  // namespace korvic::sim
