// korvic_test: interactive test console for the korvic board.
//
// Attaches to the board through korvic_api, then shows a numbered menu over and over; each
// item reads or writes one register, bit field or time and shows the result. All input is
// typed on standard input. SIGINT leaves the live time displays; a second SIGINT before a
// display has taken the first one releases the board and ends the program. A hang-up, or
// an output that fails, ends it too (status 1), as does a standard output closed at start.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "console.h"
#include "input.h"
#include "items.h"
#include "korvic_api.h"
#include "standard_streams.h"

volatile std::sig_atomic_t sigIntCnt = 0;

// Runs between any two steps of the program, blocking reads and busy waits included. The
// second SIGINT ends the program from here with async-signal-safe calls only: close_847
// does nothing but close(2), and _exit skips the stdio and atexit work that exit would do.
extern "C" void signal_handler(int sig) {
    if (sig != SIGINT)
        return;
    sigIntCnt = sigIntCnt + 1;
    if (sigIntCnt == 2) {
        close_847();
        _exit(0);
    }
}

// The terminal has hung up: nothing typed can arrive and nothing shown can be seen. The
// board is released, and the program ends by SIGHUP itself, as an unhandled hang-up ends a
// process, so that the parent sees why (a shell shows status 129). Only async-signal-safe
// calls: close_847, sigaction, sigprocmask, raise, _exit.
extern "C" void hangup_handler(int sig) {
    close_847();
    struct sigaction deflt {};
    deflt.sa_handler = SIG_DFL;
    sigemptyset(&deflt.sa_mask);
    sigaction(sig, &deflt, nullptr);
    sigset_t only{};
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
    // The default action has ended the process; should raise ever come back, end anyway.
    // cppcheck-suppress unreachableCode ; raise is not noreturn, whatever cppcheck assumes
    _exit(128 + sig);
}

namespace korvic::console {

void end_session() {
    flush_or_end();  // what was shown must have reached the screen
    close_847();
    std::exit(0);
}

void flush_or_end() {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    if (flushed && std::ferror(stdout) == 0)
        return;
    const int error = flushed ? 0 : errno;
    if (error == EINTR || error == EAGAIN) {
        std::clearerr(stdout);  // nothing is lost for good: go on
        return;
    }
    close_847();
    // An error seen earlier, by a write of a full buffer, lost its data and its reason.
    std::fprintf(stderr, "korvic_test: standard output: %s\n",
                 error != 0 ? std::strerror(error) : "a write failed, output was lost");
    std::_Exit(kOutputGone);  // exit() would only try the failing output once more
}

namespace {

bool report_unconverted(Read r) {
    if (r == Read::end_of_input)
        end_session();
    if (r == Read::value)
        return true;
    std::printf("not a number: nothing written\n");
    return false;
}

}  // namespace

bool typed(Console &c, std::int32_t &out) {
    std::int32_t value = 0;
    if (!report_unconverted(c.in.read_int(value)))
        return false;
    out = value;
    return true;
}

bool typed(Console &c, std::int64_t &out) {
    std::int64_t value = 0;
    if (!report_unconverted(c.in.read_long_long(value)))
        return false;
    out = value;
    return true;
}

namespace {

// Items 1 and 8 end with this: the first line read takes the rest of the line that held
// the menu number, the second waits for the user's return key.
void pause(Console &c) {
    std::printf("press <return> for new menu\n");
    for (int i = 0; i < 2; ++i) {
        if (!c.in.read_line())
            end_session();
    }
}

void read_diagnostic_register(Console &c) {
    read_diag_reg(&c.v.diag_word);
    const std::uint32_t w = c.v.diag_word;
    std::printf("Diagnostic reg: err_stat: %x\n oscillator stat: %x%x\n", (w >> 24) & 0xFFu,
                (w >> 8) & 0xFFu, w & 0xFFu);
    pause(c);
}

void clear_config_register(Console &c) {
    c.v.zero_word = 0;
    write_conf_reg(&c.v.zero_word);
}

void read_config_register(Console &c) {
    read_conf_reg(&c.v.conf_word);
    std::printf("config register = %8x\n", c.v.conf_word);
    pause(c);
}

void exit_console(Console &) {
    end_session();
}

struct Item {
    std::int32_t number;
    void (*run)(Console &);
};

// Numbers without an entry (0, 12, 14 to 19, negative, above 20) run nothing.
constexpr Item kItems[] = {
    {1, read_diagnostic_register},
    {2, start_timer},
    {3, set_hw_control_bit},
    {4, stop_timer},
    {5, clear_config_register},
    {6, reset_board_time},
    {7, preset_time},
    {8, read_config_register},
    {9, set_config_bit},
    {10, show_time_and_status},
    {11, test_time_compare_event},
    {13, show_time_broken_down},
    {20, exit_console},
};

// The screen is cleared by the "clear" command, whatever the terminal; its result does not
// matter. It runs as a child of its own and not through system(), which ignores SIGINT in
// the console while the command runs: a Ctrl-C during the redraw would be lost. The wait is
// taken up again after a signal, so a SIGINT counts here as anywhere else. Without a
// "clear" the menu is shown all the same, after one line on standard error.
void clear_screen() {
    static bool reported = false;
    char name[] = "clear";
    char *argv[] = {name, nullptr};
    pid_t child = -1;
    int status = 0;
    const int error = posix_spawnp(&child, name, nullptr, nullptr, argv, environ);
    if (error == 0) {
        while (waitpid(child, &status, 0) == -1 && errno == EINTR) {
        }
    }
    // 127: the child could not run the command (where the spawn cannot tell it).
    const bool missing = error != 0 || (WIFEXITED(status) && WEXITSTATUS(status) == 127);
    if (missing && !reported) {
        reported = true;
        std::fprintf(stderr, "korvic_test: cannot run clear: %s\n",
                     std::strerror(error != 0 ? error : ENOENT));
    }
}

void show_menu() {
    std::printf("\n\n");
    std::printf("    Select from the following functions:\n\n");
    std::printf("    1   Read diagnostic register           8 Read Config register\n\n");
    std::printf("    2   Start timer                        9 Set Config register bits\n\n");
    std::printf("    3   Set hardware control Register     10 Read Time and Status\n\n");
    std::printf("    4   stop timer                        11 Test Time Compare Event\n\n");
    std::printf("    5   Clear Config register             12 Reserved\n\n");
    std::printf("    6   reset time                        13 Read Time GPS\n\n");
    std::printf("    7   preset a time                     14 Reserved\n\n");
    std::printf("    20  exit \n\n    > ");
}

[[noreturn]] void menu_loop() {
    Input in(stdin, stdout, flush_or_end);
    WorkingValues v;
    Console c{in, v};
    for (;;) {
        // Whatever is still buffered must reach the terminal before "clear" does.
        flush_or_end();
        clear_screen();
        show_menu();

        v.choice = 0;
        std::int32_t choice = 0;
        const Read r = in.read_int(choice);
        if (r == Read::end_of_input)
            end_session();
        if (r == Read::value)
            v.choice = choice;

        const Item *item = std::find_if(std::begin(kItems), std::end(kItems),
                                        [&](const Item &i) { return i.number == v.choice; });
        if (item != std::end(kItems))
            item->run(c);

        in.discard_rest_of_line();
        flush_or_end();
    }
}

}  // namespace
}  // namespace korvic::console

int main() {
    // The console talks on standard output: a closed one ends it before the board is
    // attached, and a closed standard input or error gets /dev/null, so that the register
    // device never takes their number.
    if (!korvic::program::standard_descriptors_ready("korvic_test"))
        return korvic::console::kOutputGone;
    // sigaction rather than the System V sigset: the same persistent handler, and
    // SA_RESTART lets a blocking read go on after a first SIGINT.
    struct sigaction action {};
    action.sa_handler = signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGINT, &action, nullptr) != 0) {
        std::perror("sigset SIGINT");
        std::exit(-1);
    }
    // Installed whatever the disposition inherited: a console left running with SIGHUP
    // ignored (as nohup leaves it) has no terminal to talk to.
    struct sigaction hangup {};
    hangup.sa_handler = hangup_handler;
    sigemptyset(&hangup.sa_mask);
    if (sigaction(SIGHUP, &hangup, nullptr) != 0) {
        std::perror("sigaction SIGHUP");
        std::exit(-1);
    }

    std::printf("...Beginning test....\n");
    if (init_847() != 0)
        std::exit(-1);

    korvic::console::menu_loop();
}
