// The console's frame on a regular file as the register window: start-up, the menu, the
// register items 1, 5 and 8, the pause, SIGINT and end of input, and the refusal of typed
// values that do not convert. The file holds whatever the console last wrote, so an
// unchanged file proves that nothing was written.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ostream>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "console_fixture.h"

namespace {

using korvic::testing::ConsoleDir;
using korvic::testing::kBanner;
using korvic::testing::kClear;
using korvic::testing::kMenu;
using korvic::testing::kPause;
using korvic::testing::kRefused;
using korvic::testing::PtySession;

constexpr std::uint32_t kHwControl = 0xF8;
constexpr std::uint32_t kConfig = 0x118;
constexpr std::uint32_t kDiag = 0x11C;

const std::string kRedraw = std::string(kClear) + kMenu;

class Frame : public ::testing::Test {
  protected:
    void SetUp() override { dir_.make_file_window(); }
    // Starts the console and waits for its first menu.
    void start() {
        console_ = dir_.start_console();
        ASSERT_TRUE(console_->wait_for(kRedraw)) << console_->output();
    }
    // Leaves through item 20 and expects status 0.
    void finish() {
        console_->send("20\n");
        EXPECT_EQ(console_->wait_exit(), 0) << console_->output() << console_->error_output();
    }
    PtySession &con() { return *console_; }

    ConsoleDir dir_;
    std::unique_ptr<PtySession> console_;
};

TEST_F(Frame, StartsWithTheBannerAndShowsTheMenuExactly) {
    start();
    EXPECT_EQ(con().output(), std::string(kBanner) + kRedraw);
    finish();
    EXPECT_EQ(con().error_output(), "");
}

struct RegisterCase {
    const char *name;
    std::uint32_t offset;
    std::uint32_t word;
    const char *choice;
    std::string shown;
};

// Test names and failure messages show the case's name, not its bytes.
void PrintTo(const RegisterCase &c, std::ostream *os) {
    *os << c.name;
}

const RegisterCase kRegisterCases[] = {
    {"diag_bytes_without_leading_zeros", kDiag, 0x0A000B05, "1\n",
     "Diagnostic reg: err_stat: a\n oscillator stat: b5\n"},
    {"diag_bits_23_to_16_not_shown", kDiag, 0xFFFF00FF, "1\n",
     "Diagnostic reg: err_stat: ff\n oscillator stat: 0ff\n"},
    {"diag_zero", kDiag, 0, "1\n", "Diagnostic reg: err_stat: 0\n oscillator stat: 00\n"},
    {"config_right_aligned", kConfig, 0x1F, "8\n", "config register =       1f\n"},
    {"config_full_width", kConfig, 0xDEADBEEF, "8\n", "config register = deadbeef\n"},
};

class RegisterItem : public Frame, public ::testing::WithParamInterface<RegisterCase> {};

TEST_P(RegisterItem, ShowsTheWordThenPausesForReturn) {
    const RegisterCase &c = GetParam();
    dir_.set_word(c.offset, c.word);
    start();
    const std::size_t from = con().cursor();
    con().send(c.choice);
    ASSERT_TRUE(con().wait_for(kPause)) << con().output();
    EXPECT_EQ(con().output_since(from), c.shown + kPause);
    con().send("\n");
    ASSERT_TRUE(con().wait_for(kRedraw)) << con().output();
    finish();
}

INSTANTIATE_TEST_SUITE_P(Words, RegisterItem, ::testing::ValuesIn(kRegisterCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Frame, PauseTakesTheRestOfTheMenuLineThenOneMoreWholeLine) {
    dir_.set_word(kConfig, 0x1F);
    start();
    // The rest of the menu line is long; the pause must take it whole as its first line
    // and still wait for the next one, which here is "8" and must not run item 8.
    con().send("1 " + std::string(1000, 'x') + "\n");
    ASSERT_TRUE(con().wait_for(kPause));
    con().send("8\n");
    ASSERT_TRUE(con().wait_for(kRedraw)) << con().output();
    con().send("8\n");
    ASSERT_TRUE(con().wait_for(kPause));
    con().send("\n");
    ASSERT_TRUE(con().wait_for(kRedraw));
    finish();
    const std::string out = con().output();
    std::size_t shown = 0;
    for (std::size_t at = out.find("config register"); at != std::string::npos;
         at = out.find("config register", at + 1))
        ++shown;
    EXPECT_EQ(shown, 1u) << out;
}

TEST_F(Frame, ClearConfigRegisterWritesZeroAndPrintsNothing) {
    dir_.set_word(kConfig, 0xFFFFFFFF);
    start();
    const std::size_t from = con().cursor();
    con().send("5\n");
    ASSERT_TRUE(con().wait_for(kRedraw));
    EXPECT_EQ(con().output_since(from), kRedraw);
    finish();
    EXPECT_EQ(dir_.word(kConfig), 0u);
}

// Menu input that selects no item: the menu is cleared and shown once again, nothing else
// is printed and nothing is written to the board.
class NoItem : public Frame, public ::testing::WithParamInterface<const char *> {};

TEST_P(NoItem, RunsNothingAndRedrawsOnce) {
    dir_.set_word(kConfig, 0x12345678);
    dir_.set_word(kHwControl, 0x00FF00FF);
    const std::vector<unsigned char> before = dir_.window_bytes();
    start();
    const std::size_t from = con().cursor();
    con().send(std::string(GetParam()) + "\n");
    ASSERT_TRUE(con().wait_for(kRedraw)) << con().output();
    EXPECT_EQ(con().output_since(from), kRedraw);
    finish();
    EXPECT_EQ(dir_.window_bytes(), before);
}

INSTANTIATE_TEST_SUITE_P(Choices, NoItem,
                         ::testing::Values("0", "12", "14", "15", "16", "17", "18", "19", "-3",
                                           "21", "2147483647", "99999999999", "word", "x20", "+",
                                           "- 5", "-"),
                         [](const auto &info) { return "case_" + std::to_string(info.index); });

TEST_F(Frame, EmptyLinesAtTheMenuSelectNothingAndDoNotRedraw) {
    dir_.set_word(kConfig, 0x1F);
    start();
    const std::size_t from = con().cursor();
    con().send("\n\n   \n\t\n8\n");
    ASSERT_TRUE(con().wait_for(kPause));
    EXPECT_EQ(con().output_since(from), std::string("config register =       1f\n") + kPause);
    con().send("\n");
    finish();
}

TEST_F(Frame, RawTimeDisplayPrintsEveryGroupInDecimal) {
    // On a file window the snapshot strobe leaves all ones in the word at 0xFC, so its
    // groups read 15; the other two words hold groups of 12 (hours units, status nibble).
    dir_.set_word(0x100, 0x7856341C);
    dir_.set_word(0x104, 0x00C00000);
    start();
    con().send("10\n");
    ASSERT_TRUE(con().wait_for("\nEnter CTRL-C for new menu\n")) << con().output();
    const std::size_t from = con().cursor();
    ASSERT_TRUE(con().wait_for("\r"));
    EXPECT_EQ(con().output_since(from).substr(0, con().cursor() - from),
              "time is 112 hours 34 min 56 sec 7815 ms 151515 us  status is c\r");
    con().send_interrupt();
    ASSERT_TRUE(con().wait_for(kRedraw));
    finish();
}

TEST_F(Frame, NoConfigurationFileEndsWith255AndTheLibraryReport) {
    // No make_file_window(): the working directory has no korvic_cfg.dat.
    ConsoleDir empty;
    auto console = empty.start_console();
    EXPECT_EQ(console->wait_exit(), 255);
    EXPECT_EQ(console->output(), kBanner);  // and no clear
    EXPECT_EQ(console->error_output().rfind("fopen config file: ", 0), 0u)
        << console->error_output();
}

// "clear" runs while SIGINT still reaches the console: an interrupt during the redraw
// counts, so two of them end the program as anywhere else.
TEST_F(Frame, InterruptsWhileClearRunsAreCounted) {
    start();
    dir_.set_clear_script("printf '%s' '[slow clear]'\nexec sleep 60\n");
    con().send("5\n");
    ASSERT_TRUE(con().wait_for("[slow clear]")) << con().output();
    ASSERT_TRUE(con().interrupt_taken());  // the console alone
    con().send_interrupt();                // ^C: the console and the running clear
    EXPECT_EQ(con().wait_exit(), 0) << con().output();
}

TEST_F(Frame, WithoutClearTheMenuStillShows) {
    dir_.remove_clear();
    console_ = dir_.start_console();
    ASSERT_TRUE(con().wait_for(kMenu)) << con().output();
    EXPECT_EQ(con().output(), std::string(kBanner) + kMenu);
    con().send("5\n");
    ASSERT_TRUE(con().wait_for(kMenu)) << con().output();
    finish();
    EXPECT_NE(con().error_output().find("clear"), std::string::npos) << con().error_output();
}

// Where the console waits for input, how to get there from the menu, and how to get back.
struct Place {
    const char *name;
    const char *keys;    // typed at the menu
    const char *prompt;  // shown when it waits there
    const char *back;    // typed there to return to the menu
};

void PrintTo(const Place &c, std::ostream *os) {
    *os << c.name;
}

const Place kPlaces[] = {
    {"menu", "", "", ""},  // start() has waited for the menu's prompt
    // Selector 6 of the hardware control register is out of range: nothing is written.
    {"item_prompt", "3\n", "Enter BIT NUMBER and VALUE:\n", "6 1\n"},
    {"pause", "8\n", kPause, "\n"},
};

class Waiting : public Frame, public ::testing::WithParamInterface<Place> {
  protected:
    void go_there() {
        start();
        con().send(GetParam().keys);
        ASSERT_TRUE(con().wait_for(GetParam().prompt)) << con().output();
    }
};

TEST_P(Waiting, TwoInterruptsEndWithStatusZero) {
    const std::vector<unsigned char> before = dir_.window_bytes();
    go_there();
    ASSERT_TRUE(con().interrupt_taken());
    con().send_interrupt();
    EXPECT_EQ(con().wait_exit(), 0) << con().output();
    EXPECT_EQ(dir_.window_bytes(), before);
}

TEST_P(Waiting, OneInterruptDoesNotEndIt) {
    dir_.set_word(kConfig, 0x1F);
    go_there();
    con().send_interrupt();
    // The interrupted read goes on: finish what was waiting, then use the menu.
    con().send(GetParam().back);
    if (std::string(GetParam().back) != "") {
        ASSERT_TRUE(con().wait_for(kRedraw)) << con().output();
    }
    con().send("8\n");
    ASSERT_TRUE(con().wait_for("config register =       1f\n")) << con().output();
    ASSERT_TRUE(con().wait_for(kPause));
    con().send("\n");
    ASSERT_TRUE(con().wait_for(kRedraw));
    finish();
}

TEST_P(Waiting, EndOfInputEndsWithStatusZero) {
    const std::vector<unsigned char> before = dir_.window_bytes();
    go_there();
    con().send_end_of_input();
    EXPECT_EQ(con().wait_exit(), 0) << con().output();
    EXPECT_EQ(dir_.window_bytes(), before);
}

INSTANTIATE_TEST_SUITE_P(Places, Waiting, ::testing::ValuesIn(kPlaces),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Frame, EndOfInputRightAfterANumberStillRunsTheItem) {
    dir_.set_word(kConfig, 0x1F);
    start();
    // "8" without a line end: the first end-of-file character hands it over as it is, the
    // second one, at the start of a line, is the end of input.
    con().send("8");
    con().send_end_of_input();
    con().send_end_of_input();
    ASSERT_TRUE(con().wait_for("config register =       1f\n")) << con().output();
    EXPECT_EQ(con().wait_exit(), 0);
}

// A console whose terminal is gone ends, wherever it is, instead of running on without it:
// a hang-up (or a SIGHUP sent to it) releases the board and ends it as a hang-up ends a
// process, also when it was started with SIGHUP ignored.
enum class Gone { HangUp, HangUpWithSighupIgnored, Sighup };

struct GoneCase {
    const char *name;
    const char *keys;   // typed at the menu to get there
    const char *shown;  // shown once it is there
    Gone how;
};

void PrintTo(const GoneCase &c, std::ostream *os) {
    *os << c.name;
}

// On the file window the compare-event flag never rises: item 11 waits for ever.
constexpr const char *kLiveDisplay = "13\n";
constexpr const char *kEventWait = "11\n0\n0\n";

const GoneCase kGoneCases[] = {
    {"menu_hang_up", "", "", Gone::HangUp},
    {"menu_hang_up_sighup_ignored", "", "", Gone::HangUpWithSighupIgnored},
    {"menu_sighup", "", "", Gone::Sighup},
    {"live_display_hang_up", kLiveDisplay, "us\r", Gone::HangUp},
    {"live_display_hang_up_sighup_ignored", kLiveDisplay, "us\r", Gone::HangUpWithSighupIgnored},
    {"live_display_sighup", kLiveDisplay, "us\r", Gone::Sighup},
    {"event_wait_hang_up", kEventWait, "waiting...\r", Gone::HangUp},
    {"event_wait_hang_up_sighup_ignored", kEventWait, "waiting...\r",
     Gone::HangUpWithSighupIgnored},
    {"event_wait_sighup", kEventWait, "waiting...\r", Gone::Sighup},
};

class TerminalGone : public Frame, public ::testing::WithParamInterface<GoneCase> {};

TEST_P(TerminalGone, EndsTheConsoleAsAHangUp) {
    const GoneCase &c = GetParam();
    console_ = dir_.start_console(c.how == Gone::HangUpWithSighupIgnored);
    ASSERT_TRUE(con().wait_for(kRedraw)) << con().output();
    con().send(c.keys);
    ASSERT_TRUE(con().wait_for(c.shown)) << con().output();
    if (c.how == Gone::Sighup)
        kill(con().pid(), SIGHUP);
    else
        con().hang_up();
    EXPECT_EQ(con().wait_exit(), PtySession::kSignalled + SIGHUP);
}

INSTANTIATE_TEST_SUITE_P(Places, TerminalGone, ::testing::ValuesIn(kGoneCases),
                         [](const auto &info) { return std::string(info.param.name); });

// The console with its standard output on a pipe and SIGPIPE ignored (so that writes fail
// with EPIPE instead of killing it), its input on a pipe that stays open.
class PipedConsole {
  public:
    PipedConsole(const ConsoleDir &dir, const std::string &keys) {
        int in[2], out[2], err[2];
        if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0)
            throw std::runtime_error("pipe failed");
        const std::vector<std::string> argv_strings = dir.console_argv();
        std::vector<char *> argv;
        for (const std::string &a : argv_strings)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        const std::vector<std::string> env = dir.environment();
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            for (int f : {in[0], in[1], out[0], out[1], err[0], err[1]})
                close(f);
            signal(SIGPIPE, SIG_IGN);
            for (const std::string &e : env)
                putenv(const_cast<char *>(e.c_str()));
            if (chdir(dir.work().c_str()) != 0)
                _exit(126);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        close(err[1]);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
        if (write(in_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
            throw std::runtime_error("cannot type the keys");
    }
    ~PipedConsole() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int f : {in_, out_, err_})
            if (f >= 0)
                close(f);
    }

    // Reads the output until text has appeared (bounded).
    bool wait_for(const std::string &text) {
        std::string seen;
        const auto deadline = PtySession::Clock::now() + PtySession::kDefaultWait;
        while (seen.find(text) == std::string::npos) {
            pollfd p{out_, POLLIN, 0};
            if (PtySession::Clock::now() >= deadline || poll(&p, 1, 100) < 0)
                return false;
            char buf[4096];
            const ssize_t n = p.revents != 0 ? read(out_, buf, sizeof buf) : 0;
            if (n < 0 || (n == 0 && p.revents != 0))
                return false;
            seen.append(buf, static_cast<std::size_t>(n));
        }
        return true;
    }
    // No one reads the output any more.
    void close_output() {
        close(out_);
        out_ = -1;
    }
    // The exit status, or PtySession::kTimedOut (bounded; the console is then killed).
    int wait_exit() {
        const auto deadline = PtySession::Clock::now() + PtySession::kDefaultWait;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (PtySession::Clock::now() >= deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                exited_ = true;
                return PtySession::kTimedOut;
            }
            usleep(2000);
        }
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : PtySession::kSignalled + WTERMSIG(status);
    }
    std::string error_output() {
        std::string text;
        char buf[4096];
        ssize_t n;
        while ((n = read(err_, buf, sizeof buf)) > 0)
            text.append(buf, static_cast<std::size_t>(n));
        return text;
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    bool exited_ = false;
};

struct OutputCase {
    const char *name;
    const char *keys;
    const char *shown;
};

void PrintTo(const OutputCase &c, std::ostream *os) {
    *os << c.name;
}

class OutputGone : public Frame, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(OutputGone, EndsTheLoopWithStatusOne) {
    PipedConsole console(dir_, GetParam().keys);
    ASSERT_TRUE(console.wait_for(GetParam().shown));
    console.close_output();
    EXPECT_EQ(console.wait_exit(), 1);
    EXPECT_EQ(console.error_output(), "korvic_test: standard output: Broken pipe\n");
}

INSTANTIATE_TEST_SUITE_P(Loops, OutputGone,
                         ::testing::Values(OutputCase{"raw_display", "10\n", "status is"},
                                           OutputCase{"gps_display", kLiveDisplay, "us\r"},
                                           OutputCase{"event_wait", kEventWait, "waiting...\r"}),
                         [](const auto &info) { return std::string(info.param.name); });

// Typed values that do not convert: the item says so and writes nothing.
struct RefusedCase {
    const char *name;
    std::string keys;
};

void PrintTo(const RefusedCase &c, std::ostream *os) {
    *os << c.name;
}

const RefusedCase kRefusedCases[] = {
    {"hw_bit_number_word", "3\nx 1\n"},
    {"hw_bit_value_word", "3\n1 x\n"},
    {"hw_bit_value_too_large", "3\n1 4294967297\n"},
    {"conf_bit_number_too_large", "9\n99999999999 1\n"},
    {"conf_bit_value_word", "9\n4\nnone\n"},
    {"preset_format_word", "7\ntimespec\n"},
    {"preset_timespec_nanoseconds", "7\n1\n1692740265 fast\n"},
    {"preset_microseconds_beyond_64_bits", "7\n2\n99999999999999999999\n"},
    {"preset_gps_days_word", "7\n3\n2026\nmonday\n"},
    {"compare_format_word", "11\nx\n"},
    {"compare_mask_word", "11\n1\nall\n"},
    {"compare_seconds_too_large", "11\n1\n1\n3000000000 0\n"},
    {"compare_gps_milliseconds_word", "11\n3\n0\n2026\n1\n2\n3\n4\nmany\n"},
};

class Refused : public Frame, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(Refused, SaysSoAndWritesNothing) {
    dir_.set_word(kConfig, 0x0F0F0F0F);
    dir_.set_word(kHwControl, 0x0000FFFF);
    const std::vector<unsigned char> before = dir_.window_bytes();
    start();
    con().send(GetParam().keys);
    ASSERT_TRUE(con().wait_for(kRefused)) << con().output();
    ASSERT_TRUE(con().wait_for(kRedraw)) << con().output();
    finish();
    EXPECT_EQ(dir_.window_bytes(), before);
}

INSTANTIATE_TEST_SUITE_P(Values, Refused, ::testing::ValuesIn(kRefusedCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
