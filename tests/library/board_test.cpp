// korvic::Board on plain memory windows and regular files: the true-calendar conversion
// with its offsets both ways, range refusals, read_settings on the configuration cases,
// attachment errors, two boards side by side, and what a moved-from Board does.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "board_impl.h"
#include "korvic/board.hpp"
#include "korvic_api.h"
#include "memory_window.h"
#include "scratch_dir.h"
#include "timecodec.h"

namespace {

namespace codec = korvic::codec;
namespace fs = std::filesystem;
using korvic::Board;
using korvic::Settings;
using korvic::utc_time;
using korvic::detail::BoardInternals;
using korvic::test::reversed;

// A 512-byte memory window whose words are put and got as the caller of a board with the
// given byte order sees them.
struct Window {
    explicit Window(bool swapped) : swap(swapped) {}
    void put(std::uint32_t offset, std::uint32_t v) { words[offset / 4] = swap ? reversed(v) : v; }
    std::uint32_t get(std::uint32_t offset) const {
        return swap ? reversed(words[offset / 4]) : words[offset / 4];
    }
    void put_group(std::uint32_t offset, const codec::Words &w, std::uint32_t n = 3) {
        for (std::uint32_t k = 0; k < n; ++k)
            put(offset + 4 * k, w[k]);
    }
    codec::Words get_group(std::uint32_t offset) const {
        return {get(offset), get(offset + 4), get(offset + 8)};
    }
    Board board(Settings s) {
        s.byte_swap = swap;
        return BoardInternals::over_window(words, s);
    }

    alignas(8) std::uint32_t words[128] = {};
    bool swap;
};

Settings offsets(std::int32_t sec, std::int32_t tz, std::int32_t day) {
    Settings s;
    s.sec_off = sec;
    s.tz_off = tz;
    s.day_off = day;
    return s;
}

codec::Offsets board_offsets(const Settings &s) {
    return {s.tz_off, s.day_off, s.sec_off, true};
}

enum class Preset : std::uint8_t {
    Same,     // preset(utc) writes the digits back (to the millisecond)
    Carry,    // the digits carry into the next field: preset writes the digits of what they read
    Refused,  // utc or its board time is outside 1970..2099: std::out_of_range
    Leap,     // the digits show a leap second: preset writes hh:mm:59.999 of its minute
};

struct Conversion {
    korvic_broken_down digits;  // micro, milli, second, minute, hour, day (from 0), year
    Settings settings;
    const char *utc;  // what every reading of these digits gives
    Preset preset;
};

// clang-format off
const Conversion kConversions[] = {
    {{123, 789, 56, 34, 12, 100, 2026}, {}, "2026-04-11T12:34:56.789123Z", Preset::Same},
    // + DAY_OFF days + TZ_OFF hours - SEC_OFF seconds
    {{123, 789, 56, 34, 12, 100, 2026}, offsets(18, 2, -1), "2026-04-10T14:34:38.789123Z", Preset::Same},
    {{999, 999, 59, 59, 23, 59, 2024}, {}, "2024-02-29T23:59:59.999999Z", Preset::Same},
    {{0, 0, 0, 0, 0, 365, 2024}, {}, "2024-12-31T00:00:00.000000Z", Preset::Same},
    {{0, 0, 0, 0, 0, 365, 2023}, {}, "2024-01-01T00:00:00.000000Z", Preset::Carry},
    {{0, 0, 0, 0, 0, 0, 2025}, offsets(0, 0, -1), "2024-12-31T00:00:00.000000Z", Preset::Same},
    {{999, 999, 59, 59, 23, 364, 2099}, {}, "2099-12-31T23:59:59.999999Z", Preset::Same},
    {{0, 0, 0, 0, 23, 364, 2099}, offsets(0, 2, 0), "2100-01-01T01:00:00.000000Z", Preset::Refused},
    {{0, 0, 0, 0, 0, 0, 1970}, offsets(1, 0, 0), "1969-12-31T23:59:59.000000Z", Preset::Refused},
    {{0, 0, 0, 0, 0, 0, 0}, {}, "0000-01-01T00:00:00.000000Z", Preset::Refused},
    // A seconds digit of 60 is a leap second: the last microsecond of the minute shown, with
    // the offsets as ever (a board on local time shows it at another hour).
    {{500, 250, 60, 59, 23, 365, 2016}, {}, "2016-12-31T23:59:59.999999Z", Preset::Leap},
    {{0, 0, 60, 59, 0, 0, 2017}, offsets(0, -1, 0), "2016-12-31T23:59:59.999999Z", Preset::Leap},
    {{999, 999, 60, 59, 23, 180, 2015}, offsets(18, 0, 0), "2015-06-30T23:59:41.999999Z", Preset::Leap},
    // Above 60 it is no leap second: the digits carry.
    {{0, 0, 61, 59, 23, 365, 2016}, {}, "2017-01-01T00:00:01.000000Z", Preset::Carry},
};
// clang-format on

class BoardConversions : public ::testing::TestWithParam<bool> {};

// Every reading of a time register converts the same way; a preset writes the inverse.
TEST_P(BoardConversions, ReadAndWrittenBothWays) {
    for (const Conversion &c : kConversions) {
        SCOPED_TRACE(c.utc);
        Window w(GetParam());
        Board board = w.board(c.settings);
        // now() converts by the same function; on a memory window its strobe overwrites the
        // sub-second digits, so the board model's tests read it.
        w.put_group(0x174, codec::encode<codec::kExternalEvent>(c.digits));
        w.put_group(0x158, codec::encode<codec::kPresetTime>(c.digits));
        EXPECT_EQ(korvic::format_time(board.event_time()), c.utc);
        const utc_time t = korvic::parse_time(c.utc);
        EXPECT_EQ(board.preset_time(), std::chrono::floor<std::chrono::milliseconds>(t));

        w.put_group(0x158, {});
        if (c.preset == Preset::Refused) {
            EXPECT_THROW(board.preset(t), std::out_of_range);
            EXPECT_EQ(w.get_group(0x158), codec::Words{}) << "written half";
            continue;
        }
        board.preset(t);
        korvic_broken_down expected = c.digits;
        expected.microseconds = 0;
        if (c.preset == Preset::Carry)
            expected = codec::board_fields(t.time_since_epoch().count() +
                                           codec::board_shift_seconds(board_offsets(c.settings)) *
                                               1'000'000);
        if (c.preset == Preset::Leap) {
            expected.seconds = 59;
            expected.milliseconds = 999;
        }
        expected.microseconds = 0;
        EXPECT_EQ(w.get_group(0x158), codec::encode<codec::kPresetTime>(expected));
        EXPECT_EQ(w.get(0x118), 1u << 26) << "the preset load bit follows";
    }
}

TEST_P(BoardConversions, ExtremeOffsetsStandAtTheEndsInsteadOfOverflowing) {
    Window w(GetParam());
    EXPECT_EQ(w.board(offsets(0, 0, INT32_MAX)).event_time(), utc_time::max());
    EXPECT_EQ(w.board(offsets(0, 0, INT32_MIN)).event_time(), utc_time::min());
    const utc_time t = korvic::parse_time("2000-01-01T00:00:00");
    for (std::int32_t day : {INT32_MAX, INT32_MIN, 47'000})
        EXPECT_THROW(w.board(offsets(0, 0, day)).preset(t), std::out_of_range) << day;
    EXPECT_THROW(w.board(offsets(INT32_MIN, INT32_MIN, 0)).set_compare(t, 0u), std::out_of_range);
    EXPECT_EQ(w.get_group(0x158), codec::Words{});
    EXPECT_EQ(w.get_group(0x138), codec::Words{});
}

// Every year the board's four digits and their carries can hold starts where the
// calendar says.
TEST(BoardCalendar, NewYearOfEveryDecodableYear) {
    for (std::int32_t year = 0; year <= 16'665; ++year) {
        const std::int64_t us = codec::to_utc_us({0, 0, 0, 0, 0, 0, year}, {});
        ASSERT_EQ(us, codec::days_to_new_year(year) * 86'400'000'000) << year;
    }
}

// Two boards in one process: own window, own byte order, own offsets; the C API's globals
// untouched.
TEST_P(BoardConversions, TwoBoardsAreIndependent) {
    Window a(GetParam()), b(!GetParam());
    korvic::test::LibraryWindow c_api(nullptr, 7);
    g_tz_offset = 5;
    Board first = a.board({});
    Board second = b.board(offsets(18, 2, -1));
    const utc_time t = korvic::parse_time("2024-02-29T23:30:00.123456Z");
    first.preset(t);
    second.preset(t);
    // 2024-02-29T23:30:00.123 + 18 s - 2 h + 1 day
    EXPECT_EQ(a.get_group(0x158), codec::encode<codec::kPresetTime>({0, 123, 0, 30, 23, 59, 2024}));
    EXPECT_EQ(b.get_group(0x158),
              codec::encode<codec::kPresetTime>({0, 123, 18, 30, 21, 60, 2024}));
    a.put_group(0x174, codec::encode<codec::kExternalEvent>({0, 0, 0, 0, 12, 0, 2030}));
    b.put_group(0x174, codec::encode<codec::kExternalEvent>({0, 0, 0, 0, 12, 0, 2030}));
    EXPECT_EQ(korvic::format_time(first.event_time()), "2030-01-01T12:00:00.000000Z");
    EXPECT_EQ(korvic::format_time(second.event_time()), "2029-12-31T13:59:42.000000Z");
    EXPECT_EQ(base_addr, nullptr);
    EXPECT_EQ(g_byte_swap, 7);
    EXPECT_EQ(g_tz_offset, 5);
    EXPECT_EQ(g_day_offset, 0);
    EXPECT_EQ(g_time_offset, 0);
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, BoardConversions, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "swapped" : "native"; });

TEST(BoardObject, MovedFromBoardRefusesCallsAndTheMoveKeepsWorking) {
    Window w(false);
    Board board = w.board(offsets(1, 2, 3));
    Board moved = std::move(board);
    EXPECT_THROW(board.now(), std::logic_error);  // NOLINT(bugprone-use-after-move)
    EXPECT_THROW(board.settings(), std::logic_error);
    EXPECT_THROW(korvic::EventWatcher{board}, std::logic_error);
    EXPECT_EQ(moved.settings().tz_off, 2);
    board = std::move(moved);
    EXPECT_EQ(board.settings().day_off, 3);
}

// ---------------------------------------------------------------------------------------
// Configuration files and attachment.
// ---------------------------------------------------------------------------------------

struct SettingsCase {
    const char *name;
    std::string text;
    const char *mem;                 // relative to the file's directory unless absolute
    std::vector<const char *> ints;  // likewise; "" stays empty
    std::int32_t sec, tz, day;
    bool swap;
    const char *uio = "";  // likewise
};

// clang-format off
const SettingsCase kSettingsCases[] = {
    {"AllKeys", "DAY_OFF=-1\nMEM_PATH=regs\nSEC_OFF=30\nTZ_OFF=2\nBYTE_SWAP=-7\n", "regs", {},
     30, 2, -1, true},
    {"MinusThroughUnsignedFormat", "TZ_OFF=-2\nSEC_OFF=-3600\n", "", {}, -3600, -2, 0, false},
    {"LastValueThatConvertsWins", "DAY_OFF=3\nDAY_OFF=x\nBYTE_SWAP=1\nBYTE_SWAP=0\n", "", {},
     0, 0, 3, false},
    {"EnableIntTakesThePathInForce",
     "INT_PATH=a\nENABLE_INT\nINT_PATH=b\nENABLE_INT=0\nENABLE_INT no\n", "", {"a", "b", "b"},
     0, 0, 0, false},
    {"EnableIntBeforeIntPath", "ENABLE_INT\nINT_PATH=a\n", "", {""}, 0, 0, 0, false},
    {"AbsolutePathsStay", "MEM_PATH=/dev/korvic_sim/board\nINT_PATH=/x\nENABLE_INT\n",
     "/dev/korvic_sim/board", {"/x"}, 0, 0, 0, false},
    {"InterruptNode", "UIO_PATH=/dev/uio0\nUIO_PATH=node\nUIO_PATH=\nUIO_PATH\n", "", {}, 0, 0, 0,
     false, "node"},
};
// clang-format on

void PrintTo(const SettingsCase &c, std::ostream *os) {
    *os << c.name;
}

class BoardConfigFiles : public ::testing::TestWithParam<SettingsCase> {
  protected:
    korvic::test::ScratchDir dir_;
};

TEST_P(BoardConfigFiles, ReadAsInit847ReadsThem) {
    const SettingsCase &c = GetParam();
    fs::create_directory(dir_.path() / "etc");
    dir_.write_file("etc/board.cfg", c.text);
    const auto device = [this](const char *p) {
        const fs::path path(p);
        return *p == '\0' || path.is_absolute() ? path : dir_.path() / "etc" / path;
    };
    Settings expected;
    expected.mem_path = device(c.mem);
    for (const char *p : c.ints)
        expected.enable_int.push_back(device(p));
    expected.sec_off = c.sec;
    expected.tz_off = c.tz;
    expected.day_off = c.day;
    expected.byte_swap = c.swap;
    if (*c.uio != '\0')
        expected.uio_path = device(c.uio);
    EXPECT_EQ(korvic::read_settings(dir_.path() / "etc/board.cfg"), expected);
}

INSTANTIATE_TEST_SUITE_P(Korvic, BoardConfigFiles, ::testing::ValuesIn(kSettingsCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(BoardConfigFile, RelativeToTheWorkingDirectoryWhenNamedSo) {
    korvic::test::ScratchDir dir;
    dir.write_config("MEM_PATH=regs\nINT_PATH=../plx\nENABLE_INT\n");
    const Settings s = korvic::read_settings("korvic_cfg.dat");
    EXPECT_EQ(s.mem_path, "regs");
    EXPECT_EQ(s.enable_int, std::vector<fs::path>{"../plx"});
}

// A failure of attachment: what() names the step, code() the errno, path1() the path.
struct AttachFailure {
    const char *name;
    std::string config;
    std::size_t regs_bytes, plx_bytes;  // regular files "regs" and "plx" (0: none)
    const char *step;                   // what() contains this
    int error;
    const char *path;  // path1(), relative to the scratch directory ("" for an empty path)
};

const std::string kConfigBeyond64KiB = "MEM_PATH=regs\n" + std::string(65536, '#');

const AttachFailure kAttachFailures[] = {
    {"NoConfiguration", "", 512, 0, "korvic: read configuration", ENOENT, "missing.cfg"},
    {"ConfigurationBeyond64KiB", kConfigBeyond64KiB, 512, 0,
     "korvic: read configuration: longer than 65536 bytes", EFBIG, "korvic_cfg.dat"},
    {"NoRegisterDevice", "MEM_PATH=none\n", 0, 0, "korvic: open register device", ENOENT, "none"},
    {"ShortRegisterFile", "MEM_PATH=regs\n", 100, 0,
     "korvic: register device is a file in memory of 100 bytes; a window in memory has exactly "
     "512 bytes",
     ENODEV, "regs"},
    {"RegisterFileOnDisk", "MEM_PATH=disk\n", 0, 0,
     "korvic: register device is a regular file on a disk file system, not a board", ENODEV,
     "disk"},
    {"DeviceThatCannotBeMapped", "MEM_PATH=/dev/null\n", 0, 0, "korvic: map register window",
     ENODEV, "/dev/null"},
    {"NoBridgeDevice", "MEM_PATH=regs\nINT_PATH=none\nENABLE_INT\n", 512, 0,
     "korvic: ENABLE_INT bridge: open", ENOENT, "none"},
    {"ShortBridgeFile", "MEM_PATH=regs\nINT_PATH=plx\nENABLE_INT\n", 512, 64,
     "korvic: ENABLE_INT bridge device is a file in memory of 64 bytes; a window in memory has "
     "exactly 128 bytes",
     ENODEV, "plx"},
    // A node that is named must be there, and be a node: before anything else is opened.
    {"NoInterruptNode", "MEM_PATH=regs\nUIO_PATH=none\n", 512, 0,
     "korvic: open interrupt node (UIO_PATH=)", ENOENT, "none"},
    {"InterruptNodeIsAFile", "MEM_PATH=regs\nUIO_PATH=plx\nINT_PATH=plx\nENABLE_INT\n", 512, 128,
     "korvic: interrupt node (UIO_PATH=) is not an interrupt node", ENODEV, "plx"},
    {"InterruptNodeIsAnotherDevice", "MEM_PATH=regs\nUIO_PATH=/dev/null\n", 512, 0,
     "korvic: interrupt node (UIO_PATH=) is not an interrupt node", ENODEV, "/dev/null"},
};

void PrintTo(const AttachFailure &c, std::ostream *os) {
    *os << c.name;
}

class BoardAttachFailures : public ::testing::TestWithParam<AttachFailure> {
  protected:
    korvic::test::ScratchDir dir_;
};

TEST_P(BoardAttachFailures, ThrowNamingStepErrorAndPathAndLeaveNothingOpen) {
    const AttachFailure &c = GetParam();
    if (std::string_view(c.path) == "disk" && dir_.in_memory())
        GTEST_SKIP() << dir_.path() << " is in memory, not on a disk file system";
    if (c.regs_bytes != 0)
        dir_.write_device("regs", c.regs_bytes);
    if (c.plx_bytes != 0)
        dir_.write_device("plx", c.plx_bytes);
    dir_.write_file("disk", std::string(512, '\0'));  // a regular file on a disk
    const fs::path config = c.config.empty() ? "missing.cfg" : "korvic_cfg.dat";
    dir_.write_config(c.config);
    const int free_fd = korvic::test::lowest_free_fd();
    try {
        Board::open(config);
        ADD_FAILURE() << "attached";
    } catch (const fs::filesystem_error &e) {
        EXPECT_NE(std::string(e.what()).find(c.step), std::string::npos) << e.what();
        // A device node fails to map with whatever errno the system gives for it.
        const int error = std::string_view(c.step).ends_with(": map register window")
                              ? korvic::test::shared_map_errno(c.path, 512)
                              : c.error;
        EXPECT_EQ(e.code(), std::error_code(error, std::generic_category())) << e.what();
        EXPECT_EQ(e.path1(), c.path);
    }
    EXPECT_EQ(korvic::test::lowest_free_fd(), free_fd);
}

INSTANTIATE_TEST_SUITE_P(Korvic, BoardAttachFailures, ::testing::ValuesIn(kAttachFailures),
                         [](const auto &info) { return std::string(info.param.name); });

// Attached to regular files: every ENABLE_INT line sets the bridge's enable bits, the
// window is the file's, and the destructor releases all of it.
TEST(BoardAttach, BridgeEnabledWindowMappedAndAllReleased) {
    korvic::test::ScratchDir dir;
    dir.write_device("regs", 512);
    dir.write_device("plx", 128, std::vector<std::uint32_t>(20, 0x80000100u));
    dir.write_config("INT_PATH=plx\nENABLE_INT\nENABLE_INT\nMEM_PATH=regs\nTZ_OFF=1\n");
    const int free_fd = korvic::test::lowest_free_fd();
    {
        Board board = Board::open("korvic_cfg.dat");
        EXPECT_EQ(korvic::test::lowest_free_fd(), free_fd + 1) << "only the register device";
        EXPECT_NE(fcntl(free_fd, F_GETFD) & FD_CLOEXEC, 0) << "a child inherits the board";
        EXPECT_EQ(dir.device_word("plx", 0x4C), 0x80000149u);
        EXPECT_EQ(dir.device_word("plx", 0x48), 0x80000100u);
        board.stop_timer();
        EXPECT_EQ(dir.device_word("regs", 0x118), 1u << 27);
        EXPECT_FALSE(board.timer_running());
        EXPECT_EQ(board.settings().tz_off, 1);
    }
    EXPECT_EQ(korvic::test::lowest_free_fd(), free_fd);
}

// The bit registers' fields as the C API's selectors number them: registers of the map,
// the named fields at the C API's named selectors, and each configuration field where
// read_conf_reg_bitfield finds it (a word holding each field's selector in the field).
TEST(BitRegisters, NamedAsTheCApiSelectsThem) {
    const auto regs = korvic::bit_registers();
    ASSERT_EQ(regs.size(), 3u);
    const std::pair<const korvic::FieldView &, const char *> named[] = {
        {regs[0].fields[KORVIC_HW_CTL_COMPARE_CLEAR], "compare event clear"},
        {regs[1].fields[KORVIC_CONF_TIMER_STOP], "timer stop"},
        {regs[1].fields[KORVIC_CONF_PRESET_LOAD], "preset load"},
        {regs[2].fields[KORVIC_HW_STAT_COMPARE_EVENT], "compare event"},
    };
    for (const auto &[field, name] : named)
        EXPECT_EQ(field.name, name);
    std::size_t names = 0, in_map = 0;
    for (const korvic::BitRegisterView &r : regs) {
        for (const korvic::FieldView &f : r.fields)
            names += f.name.empty() ? 0 : 1;
        for (const korvic::RegisterView &m : korvic::register_map())
            in_map += m.name == r.name && m.offset == r.offset && m.words == 1 ? 1 : 0;
    }
    EXPECT_EQ(names, std::size(named));
    EXPECT_EQ(in_map, regs.size());
    Window w(false);
    for (const korvic::FieldView &f : regs[1].fields)
        w.words[0x118 / 4] |= (f.selector & ((1u << f.width) - 1)) << f.low;
    base_addr = w.words;
    g_byte_swap = 0;
    for (const korvic::FieldView &f : regs[1].fields)
        EXPECT_EQ(read_conf_reg_bitfield(static_cast<std::int32_t>(f.selector)),
                  static_cast<std::int32_t>(f.selector & ((1u << f.width) - 1)));
    base_addr = nullptr;
}

}  // namespace
