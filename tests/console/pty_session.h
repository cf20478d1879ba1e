// Runs a program on a pseudo-terminal, the way a user at a terminal runs the console:
// keys are typed on the master side, ^C and ^D go through the terminal's line discipline
// (ISIG, ICANON), and everything the program writes to its terminal is collected.
//
// The terminal is set up for exact comparisons: no echo of the typed keys and no output
// post-processing ("\n" stays "\n"). Standard error goes to a pipe of its own, so that the
// library's perror reports can be told apart from the console's output.
//
// Every wait is bounded: a program that hangs makes the wait fail, never the test hang.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace korvic::testing {

class PtySession {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kDefaultWait{15000};

    static constexpr int kTimedOut = -1;
    static constexpr int kSignalled = 1000;  // plus the signal number

    // Starts argv[0] (a path) with argv, in workdir, with the given environment entries
    // ("NAME=value") replacing or adding to the test's own environment.
    PtySession(const std::vector<std::string> &argv, const std::string &workdir,
               const std::vector<std::string> &env);
    ~PtySession();
    PtySession(const PtySession &) = delete;
    PtySession &operator=(const PtySession &) = delete;

    // Types keys on the terminal.
    void send(std::string_view keys);
    // The terminal's interrupt character: SIGINT to the foreground process group.
    void send_interrupt() { send("\x03"); }
    // SIGINT sent straight to the program, and a bounded wait until it is no longer
    // pending, that is until the program has taken it. Two SIGINTs sent back to back could
    // otherwise merge into one while the first is still pending. False on time-out.
    bool interrupt_taken(std::chrono::milliseconds limit = kDefaultWait);
    // The terminal's end-of-file character; at the start of a line, the read sees the end.
    void send_end_of_input() { send("\x04"); }
    // Closes the master side, as a terminal window that is closed or a line that drops:
    // the program's terminal hangs up. Nothing more is collected from it.
    void hang_up();

    // Waits until text appears in the output after the cursor, then moves the cursor past
    // it. False when it has not appeared within the limit or the program closed the
    // terminal first.
    bool wait_for(std::string_view text, std::chrono::milliseconds limit = kDefaultWait);
    // As wait_for, but counts n appearances (each after the previous one).
    bool wait_for_count(std::string_view text, std::size_t n,
                        std::chrono::milliseconds limit = kDefaultWait);

    // Collects what the program writes for `duration` (less if it closes the terminal),
    // then moves the cursor past it all: for a display that runs until it is stopped.
    void collect_for(std::chrono::milliseconds duration);

    // Waits for the program to end; its exit status (0 to 255), kSignalled + signal, or
    // kTimedOut (the program is then killed).
    int wait_exit(std::chrono::milliseconds limit = kDefaultWait);

    // Everything written to the terminal / to standard error so far.
    const std::string &output() const { return out_; }
    const std::string &error_output() const { return err_; }
    // Output position just after the last match of wait_for.
    std::size_t cursor() const { return cursor_; }
    std::string output_since(std::size_t pos) const { return out_.substr(pos); }

    pid_t pid() const { return pid_; }

  private:
    // Reads whatever is available, waiting at most until deadline. False once nothing
    // more can come (terminal closed) or the deadline passed.
    bool pump(Clock::time_point deadline);
    void reap(bool kill_first);

    int master_ = -1;
    int err_fd_ = -1;
    pid_t pid_ = -1;
    bool terminal_closed_ = false;
    bool exited_ = false;
    int status_ = 0;
    std::string out_;
    std::string err_;
    std::size_t cursor_ = 0;
};

}  // namespace korvic::testing
