// korvic::Board: one board, attached from settings, its register sequences those of the C
// API (sequences.h) over a window of its own, its times converted by one true-calendar
// formula (timecodec.h). Also read_settings, register_map and the EventWatcher.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "attach.h"
#include "bitfields.h"
#include "board_impl.h"
#include "board_lock.h"
#include "config.h"
#include "korvic/board.hpp"
#include "mmio.h"
#include "regmap.h"
#include "sequences.h"
#include "timecodec.h"

namespace korvic {
namespace {

using regs::Reg;
namespace fs = std::filesystem;

[[noreturn]] void fail(const std::string &what, const fs::path &path, int error) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// "ENABLE_INT" with one bridge path: one load and one store of the bridge's interrupt
// control word; the bridge is released again at once.
void enable_interrupts(const fs::path &bridge) {
    const attach::DeviceWindow w = attach::open_window(bridge.c_str(), regs::kBridgeBytes, true);
    switch (w.failed) {
        case attach::WindowStep::None:
            break;
        case attach::WindowStep::Open:
            fail("korvic: ENABLE_INT bridge: open", bridge, w.error);
        case attach::WindowStep::Refused:
            fail(
                "korvic: ENABLE_INT bridge device " + attach::window_problem(w, regs::kBridgeBytes),
                bridge, w.error);
        case attach::WindowStep::Map:
            close(w.fd);
            fail("korvic: ENABLE_INT bridge: map", bridge, w.error);
    }
    attach::enable_bridge_interrupts(w.address);
    munmap(w.mapping, w.mapped_bytes);
    close(w.fd);
}

constexpr const char *kRangeText = "1970-01-01T00:00:00Z to 2099-12-31T23:59:59.999999Z";
static_assert(codec::kBoardEndUs - 1 == kLastBoardTime.time_since_epoch().count());

}  // namespace

codec::Offsets offsets_of(const Settings &s) {
    return {s.tz_off, s.day_off, s.sec_off, true};
}

// A seconds digit of 60 is a leap second: it stands at the last instant of its minute that
// the register can hold, its last microsecond, or millisecond for a group without
// microseconds (see board.hpp).
utc_time to_utc(korvic_broken_down fields, const codec::Offsets &o, bool micro) {
    if (fields.seconds == codec::kLeapSecondDigits) {
        fields.seconds = codec::kLeapSecondDigits - 1;
        fields.milliseconds = 999;
        fields.microseconds = micro ? 999 : 0;
    }
    return utc_time{std::chrono::microseconds{codec::to_utc_us(fields, o)}};
}

korvic_broken_down board_digits(utc_time t, const codec::Offsets &o, const char *call) {
    const std::int64_t us = t.time_since_epoch().count();
    const std::string head = std::string("korvic: ") + call + ": " + format_time(t);
    if (!codec::in_board_range(us))
        throw std::out_of_range(head + " is outside the board's range " + kRangeText);
    const std::int64_t shift = codec::board_shift_seconds(o);
    const std::string offsets = "SEC_OFF=" + std::to_string(o.seconds) +
                                ", TZ_OFF=" + std::to_string(o.hours) +
                                ", DAY_OFF=" + std::to_string(o.days);
    // Within the range, a shift longer than the range itself leaves it.
    constexpr std::int64_t kRangeSeconds = codec::kBoardEndUs / 1'000'000;
    if (shift > kRangeSeconds || shift < -kRangeSeconds)
        throw std::out_of_range(head + ": its board time after the offsets (" + offsets +
                                ") is outside the board's range " + kRangeText);
    const std::int64_t board_us = us + shift * 1'000'000;
    if (!codec::in_board_range(board_us))
        throw std::out_of_range(
            head + " is " + format_time(utc_time{std::chrono::microseconds{board_us}}) +
            " in board time (" + offsets + "), outside the board's range " + kRangeText);
    return codec::board_fields(board_us);
}

// ---------------------------------------------------------------------------------------
// Settings.
// ---------------------------------------------------------------------------------------

Settings read_settings(const fs::path &config) {
    const attach::ConfigFile file = attach::read_config(config.c_str());
    switch (file.failure) {
        case attach::ConfigFailure::None:
            break;
        case attach::ConfigFailure::TooLong:
            fail("korvic: read configuration: longer than " +
                     std::to_string(config::kMaxFileBytes) + " bytes",
                 config, file.error);
        case attach::ConfigFailure::NotAFile:
        case attach::ConfigFailure::Timeout:
            fail("korvic: read configuration: " + attach::config_problem(file), config, file.error);
        case attach::ConfigFailure::Open:
        case attach::ConfigFailure::Read:
            fail("korvic: read configuration", config, file.error);
    }
    // A relative device path counts from the file's directory: for ./korvic_cfg.dat that is
    // the working directory, where init_847 takes it from.
    const fs::path dir = config.parent_path();
    const auto device = [&dir](const char *text) {
        fs::path p(text);
        return p.is_relative() && !dir.empty() ? dir / p : p;
    };
    Settings s;
    fs::path bridge;  // the INT_PATH= in force
    for (const config::Setting &line : file.settings) {
        switch (line.key) {
            case config::Key::DayOff:
                s.day_off = line.number;
                break;
            case config::Key::SecOff:
                s.sec_off = line.number;
                break;
            case config::Key::TzOff:
                s.tz_off = line.number;
                break;
            case config::Key::ByteSwap:
                s.byte_swap = line.number != 0;
                break;
            case config::Key::MemPath:
                s.mem_path = device(line.path);
                break;
            case config::Key::IntPath:
                bridge = device(line.path);
                break;
            case config::Key::EnableInt:
                s.enable_int.push_back(bridge);
                break;
            case config::Key::UioPath:
                s.uio_path = device(line.path);
                break;
            case config::Key::None:
                break;
        }
    }
    return s;
}

void check_board_time(utc_time t, const Settings &settings) {
    board_digits(t, offsets_of(settings), "time");
}

// ---------------------------------------------------------------------------------------
// The register map.
// ---------------------------------------------------------------------------------------

namespace {

constexpr std::array<RegisterView, std::size(regs::kRegisterMap)> register_views() {
    std::array<RegisterView, std::size(regs::kRegisterMap)> views{};
    for (std::size_t i = 0; i < views.size(); ++i)
        views[i] = {regs::kRegisterMap[i].name, regs::kRegisterMap[i].offset,
                    regs::kRegisterMap[i].words};
    return views;
}
constexpr auto kRegisterViews = register_views();

// The bit tables of bitfields.h as views, each field named by the selector that the
// library gives a use.
struct NamedSelector {
    std::int32_t selector;
    std::string_view name;
};
constexpr NamedSelector kHwControlNames[] = {{fields::kCompareEventClear, "compare event clear"}};
constexpr NamedSelector kConfigNames[] = {{fields::kTimerStop, "timer stop"},
                                          {fields::kPresetLoad, "preset load"}};
constexpr NamedSelector kHwStatusNames[] = {{fields::kCompareEvent, "compare event"}};

template <std::size_t N, std::size_t M>
constexpr std::array<FieldView, N> field_views(const fields::Field (&table)[N],
                                               const NamedSelector (&names)[M]) {
    std::array<FieldView, N> views{};
    for (std::size_t i = 0; i < N; ++i) {
        views[i] = {static_cast<unsigned>(i), table[i].low, table[i].width, {}};
        for (const NamedSelector &n : names)
            if (n.selector == static_cast<std::int32_t>(i))
                views[i].name = n.name;
    }
    return views;
}
constexpr auto kHwControlFields = field_views(fields::kHwControl, kHwControlNames);
constexpr auto kConfigFields = field_views(fields::kConfig, kConfigNames);
constexpr auto kHwStatusFields = field_views(fields::kHwStatus, kHwStatusNames);

constexpr BitRegisterView bit_register(Reg r, std::span<const FieldView> f) {
    return {regs::info(r).name, regs::info(r).offset, f};
}
constexpr BitRegisterView kBitRegisters[] = {
    bit_register(Reg::HwControl, kHwControlFields),
    bit_register(Reg::Config, kConfigFields),
    bit_register(Reg::HwStatus, kHwStatusFields),
};

}  // namespace

std::span<const RegisterView> register_map() {
    return kRegisterViews;
}

std::span<const BitRegisterView> bit_registers() {
    return kBitRegisters;
}

// ---------------------------------------------------------------------------------------
// Attachment and lifetime.
// ---------------------------------------------------------------------------------------

Board::Impl::~Impl() {
    if (mapping != nullptr)
        munmap(mapping, mapped_bytes);
}

// ---------------------------------------------------------------------------------------
// The board lock.
// ---------------------------------------------------------------------------------------

DeviceLock::~DeviceLock() {
    if (fd_ >= 0)
        close(fd_);
}

void DeviceLock::adopt(int fd, const fs::path &path, std::chrono::nanoseconds wait) {
    struct stat st {};
    fstat(fd, &st);
    set_wait(std::max(wait, std::chrono::nanoseconds{0}));
    fd_ = fd;
    path_ = path;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    generation_ = lock::fork_generation();
}

int DeviceLock::descriptor() {
    if (fd_ < 0 || generation_ == lock::fork_generation())
        return fd_;
    // A child of fork(): the inherited open is the parent's, and so would be its lock.
    int reopened = ::open(path_.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (reopened >= 0 && reopened <= 2) {
        // Never a standard stream's number, as when attaching.
        const int high = fcntl(reopened, F_DUPFD_CLOEXEC, 3);
        close(reopened);
        reopened = high;
    }
    if (reopened < 0)
        fail("korvic: reopen register device after fork", path_, errno);
    struct stat st {};
    if (fstat(reopened, &st) != 0 || st.st_dev != dev_ || st.st_ino != ino_) {
        close(reopened);
        fail("korvic: reopen register device after fork: not the device this Board opened", path_,
             ENODEV);
    }
    close(fd_);
    fd_ = reopened;
    generation_ = lock::fork_generation();
    return fd_;
}

void DeviceLock::busy(const lock::Attempt &a) {
    const std::string device = path_.empty() ? "the register device" : path_.string();
    if (a.outcome == lock::Outcome::Busy) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wait()).count();
        throw BoardBusy(std::make_error_code(std::errc::device_or_resource_busy),
                        "korvic: board lock: " + device + " held by another process for over " +
                            std::to_string(ms) + " ms");
    }
    throw BoardBusy(std::error_code(a.error, std::generic_category()),
                    "korvic: board lock: " + device);
}

Board Board::open(const fs::path &config) {
    return Board(read_settings(config));
}

Board::Board(const Settings &settings) : impl_(std::make_unique<Impl>()) {
    impl_->settings = settings;
    impl_->attach_node();
    // With a node, its write(1) enables the interrupts: a read-modify-write of INTCSR would
    // race the driver's handler, which masks inputs in the same word.
    if (!settings.enable_int.empty() && !impl_->enable_on_node())
        for (const fs::path &bridge : settings.enable_int)
            enable_interrupts(bridge);
    const fs::path &device = settings.mem_path;
    // Close-on-exec: a program that this one starts gets no way into the board.
    const attach::DeviceWindow w = attach::open_window(device.c_str(), regs::kWindowBytes, true);
    switch (w.failed) {
        case attach::WindowStep::None:
            break;
        case attach::WindowStep::Open:
            fail("korvic: open register device", device, w.error);
        case attach::WindowStep::Refused:
            fail("korvic: register device " + attach::window_problem(w, regs::kWindowBytes), device,
                 w.error);
        case attach::WindowStep::Map:
            close(w.fd);
            fail("korvic: map register window", device, w.error);
    }
    impl_->mapping = w.mapping;
    impl_->mapped_bytes = w.mapped_bytes;
    impl_->window = {static_cast<volatile std::uint32_t *>(w.address), settings.byte_swap, nullptr};
    impl_->lock.adopt(w.fd, device, settings.lock_wait);
    impl_->window.lock = &impl_->lock;
    impl_->offsets = offsets_of(settings);
}

Board::Board(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Board::Board(Board &&) noexcept = default;
Board &Board::operator=(Board &&) noexcept = default;
Board::~Board() = default;

const Board::Impl &Board::live() const {
    if (!impl_)
        throw std::logic_error("korvic: a moved-from Board was called");
    return *impl_;
}

Board::Impl &Board::live() {
    return const_cast<Impl &>(std::as_const(*this).live());
}

const Settings &Board::settings() const {
    return live().settings;
}

// ---------------------------------------------------------------------------------------
// Times.
// ---------------------------------------------------------------------------------------

utc_time Board::now() {
    const Impl &b = live();
    return to_utc(codec::decode<codec::kTimeStatus>(seq::snapshot(b.window)), b.offsets);
}

utc_time Board::event_time() {
    const Impl &b = live();
    const codec::Words w = seq::read_group(b.window, Reg::ExternalEvent);
    return to_utc(codec::decode<codec::kExternalEvent>(w), b.offsets);
}

utc_time Board::preset_time() {
    const Impl &b = live();
    const codec::Words w = seq::read_group(b.window, Reg::PresetTime);
    return to_utc(codec::decode<codec::kPresetTime>(w), b.offsets, false);
}

utc_time Board::latched_time() {
    const Impl &b = live();
    const codec::Words w = seq::read_group(b.window, Reg::TimeStatus);
    return to_utc(codec::decode<codec::kTimeStatus>(w), b.offsets);
}

void Board::preset(utc_time t) {
    const Impl &b = live();
    const korvic_broken_down fields = board_digits(t, b.offsets, "preset");
    seq::preset(b.window, codec::encode<codec::kPresetTime>(fields));
}

void Board::set_compare(utc_time t, CompareMask mask) {
    set_compare(t, static_cast<unsigned>(mask));
}

void Board::set_compare(utc_time t, unsigned raw_mask) {
    const Impl &b = live();
    if (raw_mask > 15)
        throw std::out_of_range("korvic: set_compare: mask " + std::to_string(raw_mask) +
                                " is not one of 0 to 15");
    const korvic_broken_down fields = board_digits(t, b.offsets, "set_compare");
    seq::write_group(b.window, Reg::TimeCompare,
                     codec::encode_compare(fields, static_cast<std::int32_t>(raw_mask)));
}

void Board::set_compare_off() {
    const Impl &b = live();
    seq::write_group(
        b.window, Reg::TimeCompare,
        codec::encode_compare(korvic_broken_down{}, static_cast<std::int32_t>(CompareMask::off)));
}

CompareSetting Board::compare() {
    const Impl &b = live();
    const codec::Words w = seq::read_group(b.window, Reg::TimeCompare);
    const korvic_broken_down f = codec::decode<codec::kTimeCompare>(w);
    using std::chrono::microseconds;
    const std::int64_t seconds = (std::int64_t{f.hours} * 60 + f.minutes) * 60 + f.seconds;
    return {
        f.days,
        microseconds{seconds * 1'000'000 + std::int64_t{f.milliseconds} * 1000 + f.microseconds},
        static_cast<unsigned>(codec::compare_mask(w))};
}

// ---------------------------------------------------------------------------------------
// Bits and registers.
// ---------------------------------------------------------------------------------------

Status Board::status() {
    const Impl &b = live();
    Status s;
    s.hw_status = mmio::read_word(b.window, Reg::HwStatus, 0);
    s.config = mmio::read_word(b.window, Reg::Config, 0);
    const fields::Field compare_event = fields::kHwStatus[fields::kCompareEvent];
    s.compare_event = fields::extract(s.hw_status, compare_event) != 0;
    s.timer_running = fields::extract(s.config, fields::kConfig[fields::kTimerStop]) == 0;
    for (unsigned bit = 8; bit <= 13; ++bit)
        s.bits.push_back(
            {bit, (s.hw_status >> bit & 1u) != 0,
             bit == compare_event.low ? "compare event" : "bit " + std::to_string(bit)});
    return s;
}

bool Board::compare_flag() {
    return seq::read_field(live().window, Reg::HwStatus, fields::kHwStatus,
                           fields::kCompareEvent) == 1;
}

void Board::clear_compare_flag() {
    seq::write_field(live().window, Reg::HwControl, fields::kHwControl, fields::kCompareEventClear,
                     1);
}

void Board::stop_timer() {
    seq::write_field(live().window, Reg::Config, fields::kConfig, fields::kTimerStop, 1);
}

void Board::start_timer() {
    seq::write_field(live().window, Reg::Config, fields::kConfig, fields::kTimerStop, 0);
}

bool Board::timer_running() {
    return seq::read_field(live().window, Reg::Config, fields::kConfig, fields::kTimerStop) == 0;
}

std::uint32_t Board::read_register(std::uint32_t offset) {
    const Impl &b = live();
    for (const regs::RegisterInfo &r : regs::kRegisterMap) {
        if (offset % 4 != 0 || offset < r.offset || offset >= r.offset + 4 * r.words)
            continue;
        const std::uint32_t raw = mmio::load(b.window, offset);
        return r.swap_reads ? mmio::order(b.window, raw) : raw;
    }
    throw std::out_of_range("korvic: read_register: offset " + std::to_string(offset) +
                            " is not a word of a register of the board's map");
}

// ---------------------------------------------------------------------------------------
// External events.
// ---------------------------------------------------------------------------------------

EventWatcher::EventWatcher(Board &board)
    : board_(&board), last_(seq::read_group(board.live().window, Reg::ExternalEvent)) {}

std::optional<utc_time> EventWatcher::poll() {
    const Board::Impl &b = board_->live();
    codec::Words w = seq::read_group(b.window, Reg::ExternalEvent);
    if (w == last_)
        return std::nullopt;
    // A capture between the loads of one reading shows as a mixture: read until two
    // readings agree.
    for (int i = 0; i < 3; ++i) {
        const codec::Words again = seq::read_group(b.window, Reg::ExternalEvent);
        if (again == w)
            break;
        w = again;
    }
    if (w == last_)
        return std::nullopt;
    last_ = w;
    return to_utc(codec::decode<codec::kExternalEvent>(w), b.offsets);
}

// ---------------------------------------------------------------------------------------
// Test seams.
// ---------------------------------------------------------------------------------------

namespace detail {

Board BoardInternals::over_window(void *window, const Settings &settings) {
    auto impl = std::make_unique<Board::Impl>();
    impl->settings = settings;
    impl->window = {static_cast<volatile std::uint32_t *>(window), settings.byte_swap, nullptr};
    impl->offsets = offsets_of(settings);
    return Board(std::move(impl));
}

Board BoardInternals::over_window(void *window, const Settings &settings, int lock_fd,
                                  const fs::path &path) {
    Board board = over_window(window, settings);
    board.impl_->lock.adopt(lock_fd, path, settings.lock_wait);
    board.impl_->window.lock = &board.impl_->lock;
    return board;
}

void BoardInternals::set_clock(Board &board, SystemClock clock) {
    board.live().clock = clock;
}

void BoardInternals::set_monotonic_clock(Board &board, MonotonicClock clock) {
    board.live().monotonic = clock;
}

}  // namespace detail
}  // namespace korvic
