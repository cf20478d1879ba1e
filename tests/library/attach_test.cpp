// init_847 and close_847 against real files: korvic_cfg.dat in a scratch working directory,
// files in memory standing in for the register and bridge devices.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <unistd.h>
#include <ostream>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "attach.h"
#include "config.h"
#include "interrupt_node.h"
#include "korvic_api.h"
#include "regmap.h"
#include "scratch_dir.h"

namespace {

using korvic::test::ScratchDir;
using korvic::test::StderrCapture;
namespace fs = std::filesystem;

void reset_globals() {
    g_day_offset = g_tz_offset = g_time_offset = g_byte_swap = 0;
    mem_path[0] = int_path[0] = '\0';
}

class Attach : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_globals();
        dir_.write_device("regs", 512);
        dir_.write_device("plx", 128);
    }
    ScratchDir dir_;
};

struct ConfigCase {
    const char *name;
    std::string config;
    int result;
    const char *report;  // start of what stderr holds; "" for nothing
    std::int32_t day, tz, sec, swap;
    const char *mem;
};

// Test names and failure messages show the case's name, not its bytes.
void PrintTo(const ConfigCase &c, std::ostream *os) {
    *os << c.name;
}

const std::string kLong127 = "#" + std::string(126, 'x');  // one whole read of 127 characters

class ConfigFiles : public Attach, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(ConfigFiles, SetsGlobalsAndResult) {
    const ConfigCase &c = GetParam();
    dir_.write_device("my", 512);
    dir_.write_config(c.config);
    StderrCapture err;
    EXPECT_EQ(init_847(), c.result);
    const std::string text = err.text();
    if (*c.report == '\0') {
        EXPECT_EQ(text, "");
    } else {
        EXPECT_EQ(text.rfind(c.report, 0), 0u) << text;
    }
    EXPECT_EQ(g_day_offset, c.day);
    EXPECT_EQ(g_tz_offset, c.tz);
    EXPECT_EQ(g_time_offset, c.sec);
    EXPECT_EQ(g_byte_swap, c.swap);
    EXPECT_STREQ(mem_path, c.mem);
    if (c.result == 0)
        close_847();
}

const ConfigCase kConfigCases[] = {
    {"Empty", "", -1, "open mempath: No such file or directory", 0, 0, 0, 0, ""},
    {"CommentsOnly", "# korvic\n#MEM_PATH=regs\n\n", -1, "open mempath: ", 0, 0, 0, 0, ""},
    {"AllKeys", "DAY_OFF=-1\nMEM_PATH=regs\nSEC_OFF=30\nTZ_OFF=2\nBYTE_SWAP=1\n", 0, "", -1, 2, 30,
     1, "regs"},
    {"MinusThroughUnsignedFormat", "TZ_OFF=-2\nSEC_OFF=-3600\nMEM_PATH=regs\n", 0, "", 0, -2, -3600,
     0, "regs"},
    {"NegativeByteSwap", "BYTE_SWAP=-7\nMEM_PATH=regs\n", 0, "", 0, 0, 0, -7, "regs"},
    {"BlankBeforeNumber", "DAY_OFF=   7\nMEM_PATH=\tregs\n", 0, "", 7, 0, 0, 0, "regs"},
    {"BlankBeforeEquals", "DAY_OFF =5\nMEM_PATH=regs\n", 0, "", 0, 0, 0, 0, "regs"},
    {"IndentedKey", " MEM_PATH=regs\n", -1, "open mempath: ", 0, 0, 0, 0, ""},
    {"KeysAreCaseSensitive", "mem_path=regs\nday_off=3\n", -1, "open mempath: ", 0, 0, 0, 0, ""},
    {"ValueThatDoesNotConvert", "DAY_OFF=3\nDAY_OFF=x\nTZ_OFF=\nMEM_PATH=regs\n", 0, "", 3, 0, 0, 0,
     "regs"},
    {"ValueBeyond32BitsDoesNotConvert", "TZ_OFF=5\nTZ_OFF=99999999999\nMEM_PATH=regs\n", 0, "", 0,
     5, 0, 0, "regs"},
    {"LastValueWins", "MEM_PATH=nothing\nDAY_OFF=1\nDAY_OFF=2\nMEM_PATH=regs\n", 0, "", 2, 0, 0, 0,
     "regs"},
    {"PathEndsAtBlank", "MEM_PATH=my regs\n", 0, "", 0, 0, 0, 0, "my"},
    {"PathWithoutValueKeepsEarlier", "MEM_PATH=regs\nMEM_PATH=   \n", 0, "", 0, 0, 0, 0, "regs"},
    {"NoNewlineAtEnd", "MEM_PATH=regs", 0, "", 0, 0, 0, 0, "regs"},
    {"LongLineReadInPieces", kLong127 + "MEM_PATH=regs\n", 0, "", 0, 0, 0, 0, "regs"},
    {"LongCommentRestIgnored", kLong127 + "xMEM_PATH=regs\n", -1, "open mempath: ", 0, 0, 0, 0, ""},
    {"DirectoryIsNoDevice", "MEM_PATH=.\n", -1, "open mempath: Is a directory", 0, 0, 0, 0, "."},
    {"DeviceThatCannotBeMapped", "MEM_PATH=/dev/null\n", -1, "memmap mempath: ", 0, 0, 0, 0,
     "/dev/null"},
    // The interrupt node is korvic::Board's: init_847 ignores its line, whatever it names.
    {"InterruptNodeLineIgnored", "UIO_PATH=/dev/uio0\nMEM_PATH=regs\nUIO_PATH=regs\n", 0, "", 0, 0,
     0, 0, "regs"},
};

INSTANTIATE_TEST_SUITE_P(Korvic, ConfigFiles, ::testing::ValuesIn(kConfigCases),
                         [](const auto &info) { return std::string(info.param.name); });

// What "dev" is in a FileCase.
enum class Dev : std::uint8_t { None, Disk, Memory, Fifo };

// Files that cannot serve: refused with -1 and a report that begins with the usual text and
// names the real cause; and their neighbours that must keep working.
struct FileCase {
    const char *name;
    std::string config;  // korvic_cfg.dat
    bool directory;      // korvic_cfg.dat is a directory instead
    Dev device;          // "dev": a file on disk or in memory of device_bytes bytes, a FIFO
    std::size_t device_bytes;
    int result;
    const char *report;
};

void PrintTo(const FileCase &c, std::ostream *os) {
    *os << c.name;
}

const std::string kConfigOf64KiB = [] {
    std::string text = "MEM_PATH=regs\n";
    while (text.size() + 100 <= 65536)
        text += "#" + std::string(98, '-') + "\n";
    return text + "#" + std::string(65536 - text.size() - 2, '-') + "\n";
}();

const FileCase kFileCases[] = {
    {"RegisterFileOnDisk", "MEM_PATH=dev\n", false, Dev::Disk, 512, -1,
     "memmap mempath: register device dev is a regular file on a disk file system, not a board "
     "(a board is a character device, a PCI resource file of sysfs, or a file in memory of "
     "exactly 512 bytes)\n"},
    {"MemoryFileOneByteShort", "MEM_PATH=dev\n", false, Dev::Memory, 511, -1,
     "memmap mempath: register device dev is a file in memory of 511 bytes; a window in memory "
     "has exactly 512 bytes\n"},
    {"MemoryFileOfTheWindowsSize", "MEM_PATH=dev\n", false, Dev::Memory, 512, 0, ""},
    {"Fifo", "MEM_PATH=dev\n", false, Dev::Fifo, 0, -1,
     "memmap mempath: register device dev is a FIFO, not a board\n"},
    {"CharacterDeviceReportsNoSize", "MEM_PATH=/dev/zero\n", false, Dev::None, 0, 0, ""},
    {"ConfigurationIsADirectory", "", true, Dev::None, 0, -1,
     "fopen config file: Is a directory\n"},
    {"ConfigurationOf64KiB", kConfigOf64KiB, false, Dev::None, 0, 0, ""},
    {"ConfigurationBeyond64KiB", kConfigOf64KiB + "\n", false, Dev::None, 0, -1,
     "fopen config file: korvic_cfg.dat is longer than 65536 bytes\n"},
};

class Files : public Attach, public ::testing::WithParamInterface<FileCase> {};

TEST_P(Files, AreRefusedWithTheirCause) {
    const FileCase &c = GetParam();
    ASSERT_EQ(kConfigOf64KiB.size(), 65536u);
    if (c.directory)
        std::filesystem::create_directory("korvic_cfg.dat");
    else
        dir_.write_config(c.config);
    switch (c.device) {
        case Dev::None:
            break;
        case Dev::Disk:
            if (dir_.in_memory())
                GTEST_SKIP() << dir_.path() << " is in memory, not on a disk file system";
            dir_.write_file("dev", std::string(c.device_bytes, '\0'));
            break;
        case Dev::Memory:
            dir_.write_device("dev", c.device_bytes);
            break;
        case Dev::Fifo:
            ASSERT_EQ(mkfifo("dev", 0600), 0);
            break;
    }
    if (c.config == "MEM_PATH=/dev/zero\n" && korvic::test::shared_map_errno("/dev/zero", 512) != 0)
        GTEST_SKIP() << "this system cannot map /dev/zero shared";
    StderrCapture err;
    EXPECT_EQ(init_847(), c.result);
    EXPECT_EQ(err.text(), c.report);
    if (c.result == 0) {
        close_847();
    } else if (*c.report == 'm') {
        EXPECT_EQ(fd, -1) << "a refused file stays open";
    }
}

INSTANTIATE_TEST_SUITE_P(Korvic, Files, ::testing::ValuesIn(kFileCases),
                         [](const auto &info) { return std::string(info.param.name); });

// A configuration file that is not a regular file: read when it is a pipe or FIFO whose
// writer delivers within the wait, else refused at once or after the wait, never a hang.
enum class Writer : std::uint8_t { None, Delivers, NeverFinishes };

struct ConfigTypeCase {
    const char *name;
    const char *link;  // korvic_cfg.dat is a symbolic link to this; nullptr: a FIFO
    bool socket;       // korvic_cfg.dat is a socket
    Writer writer;
    int result;
    const char *report;
};

void PrintTo(const ConfigTypeCase &c, std::ostream *os) {
    *os << c.name;
}

class ConfigTypes : public Attach, public ::testing::WithParamInterface<ConfigTypeCase> {};

// Opens the FIFO at path for writing once a reader has it open (10 s as a way out), writes
// text, and closes it when `done` is ready (at once when it is not to be waited for).
void write_fifo(const char *path, std::string text, std::shared_future<void> done, bool wait) {
    int w = -1;
    for (int i = 0; i < 10000 && w < 0; ++i) {
        w = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (w < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds{1});
    }
    if (w < 0)
        return;
    EXPECT_EQ(write(w, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    if (wait)
        done.wait();
    close(w);
}

TEST_P(ConfigTypes, AreReadOrRefusedWithoutHanging) {
    const ConfigTypeCase &c = GetParam();
    int sock = -1;
    if (c.link != nullptr) {
        ASSERT_EQ(symlink(c.link, "korvic_cfg.dat"), 0);
    } else if (c.socket) {
        sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, "korvic_cfg.dat");
        ASSERT_EQ(bind(sock, reinterpret_cast<const sockaddr *>(&addr), sizeof addr), 0);
    } else {
        ASSERT_EQ(mkfifo("korvic_cfg.dat", 0600), 0);
    }
    std::promise<void> returned;
    std::thread writer;
    if (c.writer != Writer::None)
        writer = std::thread(write_fifo, "korvic_cfg.dat", "MEM_PATH=regs\nDAY_OFF=3\n",
                             returned.get_future().share(), c.writer == Writer::NeverFinishes);
    StderrCapture err;
    EXPECT_EQ(init_847(), c.result);
    returned.set_value();
    if (writer.joinable())
        writer.join();
    EXPECT_EQ(err.text(), c.report);
    EXPECT_EQ(g_day_offset, c.result == 0 ? 3 : 0);
    if (c.result == 0)
        close_847();
    if (sock >= 0)
        close(sock);
}

const ConfigTypeCase kConfigTypeCases[] = {
    {"FifoWhoseWriterDelivers", nullptr, false, Writer::Delivers, 0, ""},
    {"FifoWithoutWriter", nullptr, false, Writer::None, -1,
     "fopen config file: korvic_cfg.dat is a pipe or FIFO that delivered nothing within 1 s\n"},
    {"FifoWhoseWriterNeverFinishes", nullptr, false, Writer::NeverFinishes, -1,
     "fopen config file: korvic_cfg.dat is a pipe or FIFO whose writer did not finish within "
     "1 s\n"},
    {"EndlessCharacterDevice", "/dev/zero", false, Writer::None, -1,
     "fopen config file: korvic_cfg.dat is a character device, not a configuration file\n"},
    {"Socket", nullptr, true, Writer::None, -1,
     "fopen config file: korvic_cfg.dat is a socket, not a configuration file\n"},
};

INSTANTIATE_TEST_SUITE_P(Korvic, ConfigTypes, ::testing::ValuesIn(kConfigTypeCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Attach, MissingFileReportsAndResetsOnlyTheSecondsOffset) {
    g_time_offset = 99;
    g_day_offset = 5;
    StderrCapture err;
    EXPECT_EQ(init_847(), -1);
    EXPECT_EQ(err.text(), "fopen config file: No such file or directory\n");
    EXPECT_EQ(g_time_offset, 0);
    EXPECT_EQ(g_day_offset, 5);
}

TEST_F(Attach, LongestPathIs118Characters) {
    const std::string name(118, 'p');
    dir_.write_device(name, 512);
    dir_.write_config("MEM_PATH=" + name + "q\n");  // 128 characters: the read stops before 'q'
    ASSERT_EQ(init_847(), 0);
    EXPECT_EQ(std::string(mem_path), name);
    close_847();
}

TEST_F(Attach, MapsTheRegisterFileShared) {
    dir_.write_device("regs", 512, {0x11111111, 0x22222222});
    dir_.write_config("MEM_PATH=regs\n");
    ASSERT_EQ(init_847(), 0);
    EXPECT_EQ(static_cast<const volatile void *>(base_addr),
              static_cast<const volatile void *>(kv_mem));
    EXPECT_EQ(base_addr[1], 0x22222222u);
    base_addr[127] = 0xCAFEF00Du;  // the last word of the window reaches the file
    EXPECT_EQ(dir_.device_word("regs", 508), 0xCAFEF00Du);
    close_847();
}

TEST_F(Attach, CloseReleasesTheDescriptorButKeepsTheWindow) {
    dir_.write_config("MEM_PATH=regs\n");
    const int before = korvic::test::lowest_free_fd();
    ASSERT_EQ(init_847(), 0);
    // Only the register descriptor stays open: the configuration stream is closed.
    EXPECT_EQ(korvic::test::lowest_free_fd(), before + 1);
    EXPECT_EQ(fd, before);
    volatile uint32_t *window = base_addr;
    close_847();
    EXPECT_EQ(fcntl(before, F_GETFD), -1);
    EXPECT_EQ(base_addr, window);
    EXPECT_EQ(static_cast<const volatile void *>(kv_mem),
              static_cast<const volatile void *>(window));
}

TEST_F(Attach, SecondCallKeepsSettingsItDoesNotSetAndReleasesTheFirstAttachment) {
    dir_.write_device("regs2", 512, {0x5A5A5A5A});
    dir_.write_config(
        "DAY_OFF=4\nTZ_OFF=3\nSEC_OFF=60\nBYTE_SWAP=1\nINT_PATH=plx\nMEM_PATH=regs\n");
    ASSERT_EQ(init_847(), 0);
    const int first_fd = fd;
    dir_.write_config("MEM_PATH=regs2\n");
    ASSERT_EQ(init_847(), 0);
    EXPECT_EQ(g_time_offset, 0);
    EXPECT_EQ(g_day_offset, 4);
    EXPECT_EQ(g_tz_offset, 3);
    EXPECT_EQ(g_byte_swap, 1);
    EXPECT_STREQ(int_path, "plx");
    EXPECT_STREQ(mem_path, "regs2");
    EXPECT_EQ(base_addr[0], 0x5A5A5A5Au);
    EXPECT_EQ(fcntl(first_fd, F_GETFD), -1) << "the first descriptor is released";
    close_847();
}

// msync fails with ENOMEM on a range that is not mapped (POSIX).
bool mapped(volatile const void *window) {
    return msync(const_cast<void *>(window), korvic::regs::kWindowBytes, MS_ASYNC) == 0;
}

TEST_F(Attach, SecondCallUnmapsTheFirstWindow) {
    dir_.write_device("regs2", 512);
    dir_.write_config("MEM_PATH=regs\n");
    ASSERT_EQ(init_847(), 0);
    volatile uint32_t *first = base_addr;
    ASSERT_TRUE(mapped(first));
    dir_.write_config("MEM_PATH=regs2\n");
    ASSERT_EQ(init_847(), 0);
    EXPECT_NE(base_addr, first);
    EXPECT_TRUE(mapped(base_addr));
    EXPECT_FALSE(mapped(first)) << "the first window is still mapped";
    close_847();
}

TEST_F(Attach, FailedCallLeavesTheEarlierWindow) {
    dir_.write_config("MEM_PATH=regs\n");
    ASSERT_EQ(init_847(), 0);
    volatile uint32_t *window = base_addr;
    close_847();
    dir_.write_config("MEM_PATH=/dev/null\n");
    StderrCapture err;
    EXPECT_EQ(init_847(), -1);
    EXPECT_EQ(err.text().rfind("memmap mempath: ", 0), 0u);
    EXPECT_EQ(base_addr, window);
    EXPECT_GE(fd, 0) << "the descriptor that could not be mapped stays in fd";
    close_847();
}

// close_847 closes only the descriptor that init_847 opened, and only once: never standard
// input (fd starts at 0), never a descriptor that has since been given to another file.
struct CloseCase {
    const char *name;
    bool init;           // init_847 is called first
    const char *config;  // nullptr: no korvic_cfg.dat
    int closes;          // close_847 calls
};

void PrintTo(const CloseCase &c, std::ostream *os) {
    *os << c.name;
}

class CloseOnlyWhatInitOpened : public Attach, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseOnlyWhatInitOpened, LeavesOtherDescriptorsOpen) {
    const CloseCase &c = GetParam();
    const int saved_stdin = dup(0);
    ASSERT_GE(saved_stdin, 0);
    fd = 0;  // the starting value
    if (c.config != nullptr)
        dir_.write_config(c.config);
    if (c.init) {
        StderrCapture quiet;
        init_847();
    }
    close_847();
    EXPECT_NE(fcntl(0, F_GETFD), -1) << "standard input was closed";
    // The number in fd now belongs to another file; the next calls must leave it alone.
    int other = -1;
    if (fd > 0) {
        other = open("plx", O_RDONLY);
        ASSERT_GE(other, 0);
        if (other != fd) {
            dup2(other, fd);
            close(other);
            other = fd;
        }
    }
    for (int i = 1; i < c.closes; ++i)
        close_847();
    EXPECT_NE(fcntl(0, F_GETFD), -1) << "standard input was closed";
    if (other > 0) {
        EXPECT_NE(fcntl(other, F_GETFD), -1) << "a reused descriptor was closed";
        close(other);
    }
    dup2(saved_stdin, 0);
    close(saved_stdin);
}

const CloseCase kCloseCases[] = {
    {"BeforeAnyInit", false, nullptr, 1},
    {"AfterMissingConfigurationFile", true, nullptr, 2},
    {"AfterEmptyConfiguration", true, "", 2},
    {"SecondCloseAfterSuccess", true, "MEM_PATH=regs\n", 2},
    {"ThirdCloseAfterSuccess", true, "MEM_PATH=regs\n", 3},
    {"SecondCloseAfterFailedMapping", true, "MEM_PATH=/dev/null\n", 2},
};

INSTANTIATE_TEST_SUITE_P(Korvic, CloseOnlyWhatInitOpened, ::testing::ValuesIn(kCloseCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Attach, CloseReleasesTheDescriptorOfAFailedMapping) {
    dir_.write_config("MEM_PATH=/dev/null\n");
    StderrCapture quiet;
    ASSERT_EQ(init_847(), -1);
    const int opened = fd;
    ASSERT_GE(opened, 0);
    close_847();
    EXPECT_EQ(fcntl(opened, F_GETFD), -1);
}

struct BridgeCase {
    const char *name;
    std::uint32_t before;
    std::uint32_t after;
};

void PrintTo(const BridgeCase &c, std::ostream *os) {
    *os << c.name;
}

class BridgeWord : public Attach, public ::testing::WithParamInterface<BridgeCase> {};

// The interrupt control word is taken as the processor reads it, whatever BYTE_SWAP says.
TEST_P(BridgeWord, EnableIntSetsBits0_3_6AndKeepsTheRest) {
    const BridgeCase &c = GetParam();
    for (const char *line : {"ENABLE_INT\n", "ENABLE_INT=0\n"}) {
        std::vector<std::uint32_t> words(32, 0x77777777);
        words[0x4C / 4] = c.before;
        dir_.write_device("plx", 128, words);
        dir_.write_config(std::string("BYTE_SWAP=1\nINT_PATH=plx\n") + line + "MEM_PATH=regs\n");
        ASSERT_EQ(init_847(), 0);
        EXPECT_EQ(dir_.device_word("plx", 0x4C), c.after) << line;
        EXPECT_EQ(dir_.device_word("plx", 0x48), 0x77777777u);
        EXPECT_EQ(dir_.device_word("plx", 0x50), 0x77777777u);
        close_847();
    }
}

const BridgeCase kBridgeCases[] = {
    {"AllClear", 0x00000000, 0x00000049},
    {"OtherBitsKept", 0x12340100, 0x12340149},
    {"SomeAlreadySet", 0x80000008, 0x80000049},
    {"AllSet", 0xFFFFFFFF, 0xFFFFFFFF},
};

INSTANTIATE_TEST_SUITE_P(Korvic, BridgeWord, ::testing::ValuesIn(kBridgeCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Attach, EnableIntActsEvenWhenTheRegisterDeviceFails) {
    dir_.write_config("INT_PATH=plx\nENABLE_INT\nMEM_PATH=missing\n");
    StderrCapture err;
    EXPECT_EQ(init_847(), -1);
    EXPECT_EQ(err.text().rfind("open mempath: ", 0), 0u);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(dir_.device_word("plx", 0x4C), 0x49u);
}

struct BridgeFailure {
    const char *name;
    const char *config;
    const char *report;
};

void PrintTo(const BridgeFailure &c, std::ostream *os) {
    *os << c.name;
}

class BridgeFailures : public Attach, public ::testing::WithParamInterface<BridgeFailure> {};

TEST_P(BridgeFailures, EndTheProcessWithStatus255) {
    if (std::string_view(GetParam().report).find("disk") != std::string_view::npos &&
        dir_.in_memory())
        GTEST_SKIP() << dir_.path() << " is in memory, not on a disk file system";
    dir_.write_config(GetParam().config);
    dir_.write_device("short", 100);
    dir_.write_file("disk", std::string(128, '\0'));
    EXPECT_EXIT(init_847(), ::testing::ExitedWithCode(255), GetParam().report);
}

const BridgeFailure kBridgeFailures[] = {
    {"EnableBeforeAnyPath", "ENABLE_INT\nINT_PATH=plx\nMEM_PATH=regs\n", "^open interrupt fail: "},
    {"MissingBridge", "INT_PATH=nowhere\nENABLE_INT\nMEM_PATH=regs\n",
     "^open interrupt fail: No such file or directory"},
    {"BridgeThatCannotBeMapped", "INT_PATH=/dev/null\nENABLE_INT\nMEM_PATH=regs\n", "^mmap plx: "},
    {"BridgeFileOf100Bytes", "INT_PATH=short\nENABLE_INT\nMEM_PATH=regs\n",
     "^mmap plx: bridge device short is a file in memory of 100 bytes; a window in memory has "
     "exactly 128 bytes\n$"},
    {"BridgeFileOnDisk", "INT_PATH=disk\nENABLE_INT\nMEM_PATH=regs\n",
     "^mmap plx: bridge device disk is a regular file on a disk file system, not a board"},
};

INSTANTIATE_TEST_SUITE_P(Korvic, BridgeFailures, ::testing::ValuesIn(kBridgeFailures),
                         [](const auto &info) { return std::string(info.param.name); });

// The pieces of attach.h on their own: no globals read or written, nothing printed.
TEST_F(Attach, ReadConfigListsWhatTheLinesSetInFileOrder) {
    using korvic::config::Key;
    dir_.write_config("# comment\nINT_PATH=a\nENABLE_INT\nDAY_OFF=x\nINT_PATH=b\nENABLE_INT\n" +
                      kLong127 + "SEC_OFF=7\nMEM_PATH=regs");
    StderrCapture err;
    const korvic::attach::ConfigFile cfg = korvic::attach::read_config("korvic_cfg.dat");
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(cfg.failure, korvic::attach::ConfigFailure::None);
    const std::vector<std::pair<Key, std::string>> expected = {
        {Key::IntPath, "a"},  {Key::EnableInt, ""}, {Key::IntPath, "b"},
        {Key::EnableInt, ""}, {Key::SecOff, ""},    {Key::MemPath, "regs"},
    };
    ASSERT_EQ(cfg.settings.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(cfg.settings[i].key, expected[i].first) << i;
        EXPECT_EQ(cfg.settings[i].path, expected[i].second) << i;
    }
    EXPECT_EQ(cfg.settings[4].number, 7);
    EXPECT_STREQ(int_path, "") << "no global is set";
    EXPECT_EQ(g_time_offset, 0);
}

struct WindowCase {
    const char *name;
    const char *path;
    korvic::attach::WindowStep failed;
    korvic::attach::Refusal refusal;
    int error;
    std::int64_t file_size;
};

void PrintTo(const WindowCase &c, std::ostream *os) {
    *os << c.name;
}

class OpenWindow : public Attach, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(OpenWindow, ReportsTheStepAndErrnoWithoutPrinting) {
    using korvic::attach::WindowStep;
    const WindowCase &c = GetParam();
    dir_.write_device("short", 100);
    dir_.write_file("disk", std::string(512, '\0'));
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    if (c.refusal == korvic::attach::Refusal::DiskFile && dir_.in_memory())
        GTEST_SKIP() << dir_.path() << " is in memory, not on a disk file system";
    // A device node maps, or fails with its errno, as the system maps it.
    const bool device = std::string_view(c.path).starts_with("/dev/");
    const int system_error = device ? korvic::test::shared_map_errno(c.path, 512) : 0;
    if (device && c.failed == korvic::attach::WindowStep::None && system_error != 0)
        GTEST_SKIP() << "this system cannot map " << c.path << " shared";
    StderrCapture err;
    const korvic::attach::DeviceWindow w = korvic::attach::open_window(c.path, 512, false);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(w.failed, c.failed);
    EXPECT_EQ(w.refusal, c.refusal);
    EXPECT_EQ(w.error, device ? system_error : c.error);
    EXPECT_EQ(w.file_size, c.file_size);
    EXPECT_EQ(w.fd >= 0, c.failed == WindowStep::None || c.failed == WindowStep::Map)
        << "open when mapped, or when the mapping failed";
    EXPECT_EQ(w.address != nullptr, c.failed == WindowStep::None);
    if (w.address != nullptr)
        munmap(w.address, 512);
    if (w.fd >= 0)
        close(w.fd);
}

const WindowCase kWindowCases[] = {
    {"MemoryFile", "regs", korvic::attach::WindowStep::None, korvic::attach::Refusal::None, 0, 512},
    {"CharacterDevice", "/dev/zero", korvic::attach::WindowStep::None,
     korvic::attach::Refusal::None, 0, -1},
    {"Missing", "missing", korvic::attach::WindowStep::Open, korvic::attach::Refusal::None, ENOENT,
     -1},
    {"Directory", ".", korvic::attach::WindowStep::Open, korvic::attach::Refusal::None, EISDIR, -1},
    {"ShortMemoryFile", "short", korvic::attach::WindowStep::Refused,
     korvic::attach::Refusal::MemorySize, ENODEV, 100},
    {"DiskFile", "disk", korvic::attach::WindowStep::Refused, korvic::attach::Refusal::DiskFile,
     ENODEV, 512},
    {"Fifo", "fifo", korvic::attach::WindowStep::Refused, korvic::attach::Refusal::Fifo, ENODEV,
     -1},
    {"DeviceWithoutMapping", "/dev/null", korvic::attach::WindowStep::Map,
     korvic::attach::Refusal::None, ENODEV, -1},  // Linux
};

INSTANTIATE_TEST_SUITE_P(Korvic, OpenWindow, ::testing::ValuesIn(kWindowCases),
                         [](const auto &info) { return std::string(info.param.name); });

// What can be a window, from what is known of an open file alone.
TEST(JudgeWindow, AcceptsOnlyWhatCanBeABoard) {
    using korvic::attach::FileSystem;
    using korvic::attach::judge;
    using korvic::attach::Refusal;
    struct Row {
        mode_t mode;
        FileSystem fs;
        std::int64_t size;
        const char *name;
        std::size_t bytes;
        Refusal expected;
    } rows[] = {
        {S_IFCHR, FileSystem::Disk, 0, "korvic0", 512, Refusal::None},
        {S_IFBLK, FileSystem::Disk, 0, "loop0", 512, Refusal::BlockDevice},
        {S_IFIFO, FileSystem::Disk, 0, "fifo", 512, Refusal::Fifo},
        {S_IFSOCK, FileSystem::Disk, 0, "sock", 512, Refusal::Socket},
        {S_IFDIR, FileSystem::Disk, 0, "dir", 512, Refusal::OtherType},
        {S_IFREG, FileSystem::Disk, 512, "regs", 512, Refusal::DiskFile},
        {S_IFREG, FileSystem::Memory, 512, "regs", 512, Refusal::None},
        {S_IFREG, FileSystem::Memory, 128, "plx", 128, Refusal::None},
        {S_IFREG, FileSystem::Memory, 128, "plx", 512, Refusal::MemorySize},
        {S_IFREG, FileSystem::Memory, 513, "regs", 512, Refusal::MemorySize},
        {S_IFREG, FileSystem::Sysfs, 512, "resource0", 512, Refusal::None},
        {S_IFREG, FileSystem::Sysfs, 4096, "resource5", 512, Refusal::None},
        {S_IFREG, FileSystem::Sysfs, 128, "resource2", 512, Refusal::ShortResource},
        {S_IFREG, FileSystem::Sysfs, 4096, "resource6", 512, Refusal::SysfsFile},
        {S_IFREG, FileSystem::Sysfs, 4096, "resource0_wc", 512, Refusal::SysfsFile},
        {S_IFREG, FileSystem::Sysfs, 4096, "config", 512, Refusal::SysfsFile},
        {S_IFREG, FileSystem::Disk, 4096, "resource0", 512, Refusal::DiskFile},
        // An interrupt node: a UIO character device, or an eventfd (the simulator's).
        {S_IFCHR, FileSystem::Disk, 0, "uio0", 512, Refusal::InterruptNode},
        {0600, FileSystem::Disk, 0, "anon_inode:[eventfd]", 128, Refusal::InterruptNode},
    };
    for (const Row &r : rows) {
        const bool node = r.expected == Refusal::InterruptNode;
        EXPECT_EQ(judge({r.mode, r.fs, r.size, r.name, node}, r.bytes), r.expected)
            << r.name << " " << r.size << " of " << r.bytes;
    }
}

// A BAR that does not start a page lies in its resource file's mapping where the device's
// `resource` file puts it: start % page size. A table that cannot be read changes nothing.
TEST_F(Attach, AResourceFileMapsFromThePageThatHoldsItsRegion) {
    const long page = sysconf(_SC_PAGESIZE);
    ASSERT_GT(page, 128);
    const auto line = [](std::uint64_t start, std::uint64_t bytes, const char *flags) {
        char text[80];
        std::snprintf(text, sizeof text, "0x%016llx 0x%016llx %s\n",
                      static_cast<unsigned long long>(start),
                      static_cast<unsigned long long>(start + bytes - 1), flags);
        return std::string(text);
    };
    const std::uint64_t bridge = 0xfebe0000ull + static_cast<std::uint64_t>(page) - 0x80;
    dir_.write_file("resource", line(bridge, 128, "0x0000000000040200") +
                                    line(0xe000, 128, "0x0000000000040101") +
                                    line(0xfebf0000, 512, "0x0000000000040200") +
                                    "0x0000000000000000 0x0000000000000000 0x0000000000000000\n");
    const std::string here = dir_.path().string() + "/";
    const struct {
        std::string path;
        std::size_t offset;
    } rows[] = {
        {here + "resource0",
         static_cast<std::size_t>(page) - 0x80},  // 128 bytes, not a page's start
        {here + "resource2", 0},                  // page-aligned
        {here + "resource3", 0},                  // an unused region
        {here + "resource4", 0},                  // no line for it
        {here + "config", 0},                     // not a resource file
        {"/nowhere/resource0", 0},                // no table
    };
    for (const auto &r : rows)
        EXPECT_EQ(korvic::attach::resource_page_offset(r.path), r.offset) << r.path;

    using korvic::attach::resource_start;
    EXPECT_EQ(resource_start("0x10 0x1f 0x200\n0x0000000000002080 0x20ff 0x200\n", 1), 0x2080u);
    EXPECT_EQ(resource_start("0x10 0x1f 0x200", 0), 0x10u);
    for (const char *bad :
         {"", "10 0x1f 0x200\n", "0x 0x1f\n", "0xzz 0x1f\n", "0x10000000000000000 0x1 0x0\n"})
        EXPECT_FALSE(resource_start(bad, 0)) << bad;
    EXPECT_EQ(korvic::attach::page_offset(0xfebf1080ull, 4096), 0x80u);
}

// The interrupt node: what is one (an eventfd, as the simulator's node is; a UIO device),
// and what open_node refuses, before opening it when a write of 1 could land in it.
TEST_F(Attach, OnlyAnInterruptNodeIsOpenedAsOne) {
    struct stat st {};
    const int event = eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(event, 0);
    ASSERT_EQ(fstat(event, &st), 0);
    EXPECT_TRUE(korvic::attach::is_interrupt_node(event, st));
    close(event);
    for (const char *other : {"regs", "/dev/null", "."}) {
        const int f = open(other, O_RDONLY | O_CLOEXEC);
        ASSERT_GE(f, 0) << other;
        ASSERT_EQ(fstat(f, &st), 0);
        EXPECT_FALSE(korvic::attach::is_interrupt_node(f, st)) << other;
        close(f);
    }

    using korvic::irq::NodeStep;
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    const struct {
        const char *path;
        NodeStep failed;
        int error;
    } rows[] = {
        {"regs", NodeStep::Refused, ENODEV},       // a file in memory: never opened
        {"fifo", NodeStep::Refused, ENODEV},       // never opened, so no wait for a writer
        {"/dev/null", NodeStep::Refused, ENODEV},  // a character device of another class
        {"missing", NodeStep::Open, ENOENT},
    };
    const int free_fd = korvic::test::lowest_free_fd();
    for (const auto &r : rows) {
        const korvic::irq::NodeOpen n = korvic::irq::open_node(r.path);
        EXPECT_EQ(n.failed, r.failed) << r.path;
        EXPECT_EQ(n.error, r.error) << r.path;
        EXPECT_EQ(n.fd, -1) << r.path;
        EXPECT_EQ(korvic::irq::node_problem(n).empty(), r.failed != NodeStep::Refused) << r.path;
    }
    EXPECT_EQ(korvic::test::lowest_free_fd(), free_fd) << "nothing stays open";
}

// Where a node is looked for: a sysfs device directory's uio/uioN, or beside a register
// device named as the simulator names them.
TEST_F(Attach, TheNodeIsFoundBesideTheRegisterDevice) {
    const fs::path device = dir_.path() / "0000:03:00.0";
    fs::create_directories(device / "uio" / "uio7");
    fs::create_directories(dir_.path() / "unbound" / "uio");
    EXPECT_EQ(korvic::irq::sysfs_node(device), "/dev/uio7");
    EXPECT_EQ(korvic::irq::sysfs_node(dir_.path() / "unbound"), "");
    EXPECT_EQ(korvic::irq::sysfs_node(dir_.path() / "missing"), "");
    const struct {
        const char *device, *node;
    } rows[] = {
        {"/dev/korvic_sim/board", "/dev/korvic_sim/uio"},
        {"/dev/korvic_sim/board12", "/dev/korvic_sim/uio12"},
        {"board", "uio"},
        {"/dev/korvic_sim/boards", ""},
        {"/dev/shm/regs", ""},
        {"", ""},
    };
    for (const auto &r : rows) {
        const korvic::irq::Location where = korvic::irq::find_node(r.device);
        EXPECT_EQ(where.path, r.node) << r.device;
        EXPECT_FALSE(where.bound) << r.device;
    }
}

// A window is never opened on descriptor 0, 1 or 2: with one of them closed the attach is
// refused and the descriptor stays closed (in a child, whose descriptors are its own).
TEST_F(Attach, AClosedStandardDescriptorIsNeverTheWindow) {
    dir_.write_config("MEM_PATH=regs\n");
    for (const int closed : {0, 1}) {
        EXPECT_EXIT(
            {
                close(closed);
                const korvic::attach::DeviceWindow w =
                    korvic::attach::open_window("regs", 512, false);
                const bool refused = w.refusal == korvic::attach::Refusal::StandardStream &&
                                     w.standard == closed && w.error == EBADF && w.fd == -1;
                _exit(refused && fcntl(closed, F_GETFD) == -1 && init_847() == -1 && fd == -1 ? 0
                                                                                              : 1);
            },
            ::testing::ExitedWithCode(0),
            "^memmap mempath: register device regs would become descriptor [01], and standard "
            "(input|output) is closed: what the program writes there would go into the board "
            "\\(open /dev/null on it first\\)\n$");
    }
}

// init_847's descriptor is opened as the C API always opened it (O_RDWR alone: it is
// inherited across exec); a Board's is close-on-exec (board_test.cpp).
TEST_F(Attach, TheCApiDescriptorKeepsItsOpenFlags) {
    dir_.write_config("MEM_PATH=regs\n");
    ASSERT_EQ(init_847(), 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
    close_847();
}

// The parser alone: the keys are compared on their own length, in one fixed order.
TEST(ConfigLine, RecognisesEachKeyOnItsOwnLength) {
    using korvic::config::Key;
    using korvic::config::parse_line;
    struct Row {
        const char *line;
        Key key;
        bool converted;
        std::int32_t number;
        const char *path;
    } rows[] = {
        {"DAY_OFF=12\n", Key::DayOff, true, 12, ""},
        {"DAY_OFF=+12abc\n", Key::DayOff, true, 12, ""},
        {"DAY_OFF=-\n", Key::DayOff, false, 0, ""},
        {"SEC_OFF=4294967295\n", Key::SecOff, true, -1, ""},
        {"SEC_OFF=-4294967295\n", Key::SecOff, true, 1, ""},
        {"SEC_OFF=4294967296\n", Key::SecOff, false, 0, ""},
        {"DAY_OFF=-2147483648\n", Key::DayOff, true, INT32_MIN, ""},
        {"DAY_OFF=2147483648\n", Key::DayOff, false, 0, ""},
        {"BYTE_SWAP=-99999999999999999999999\n", Key::ByteSwap, false, 0, ""},
        {"TZ_OFF=x1\n", Key::TzOff, false, 0, ""},
        {"BYTE_SWAP=0\n", Key::ByteSwap, true, 0, ""},
        {"ENABLE_INTERRUPTS please\n", Key::EnableInt, true, 0, ""},
        {"ENABLE_IN\n", Key::None, false, 0, ""},
        {"INT_PATH=/dev/plx 1\n", Key::IntPath, true, 0, "/dev/plx"},
        {"UIO_PATH=/dev/uio0\n", Key::UioPath, true, 0, "/dev/uio0"},
        {"UIO_PATH= \n", Key::UioPath, false, 0, ""},
        {"UIO_PATH\n", Key::None, false, 0, ""},
        {"MEM_PATH=\n", Key::MemPath, false, 0, ""},
        {"#MEM_PATH=regs\n", Key::None, false, 0, ""},
        {"\n", Key::None, false, 0, ""},
        {"", Key::None, false, 0, ""},
    };
    for (const Row &r : rows) {
        const auto s = parse_line(r.line);
        EXPECT_EQ(s.key, r.key) << r.line;
        EXPECT_EQ(s.converted, r.converted) << r.line;
        if (s.converted && r.key != Key::MemPath && r.key != Key::IntPath &&
            r.key != Key::UioPath) {
            EXPECT_EQ(s.number, r.number) << r.line;
        }
        EXPECT_STREQ(s.path, r.path) << r.line;
    }
}

}  // namespace
