#include "trace.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <string_view>

#include "board_map.h"

namespace korvic::sim {
namespace {

// "board", "bridge"; "board2", "bridge2" for board 2 and on.
void append_device(TraceLine &line, Device d, int board) {
    line.add(d == Device::Board ? "board" : "bridge");
    if (board >= 2)
        line.dec(board);
}

void pad_to(TraceLine &line, std::size_t column) {
    while (line.size() < column)
        line.add(' ');
}

// The widest the columns before the note get: a 64-bit sequence number (as FixedText::dec
// writes it), the longest register name with its word index, the fixed fields, the
// separators and padding of each form.
constexpr std::size_t longest_register_name() {
    std::size_t n = std::string_view("PLX_INTCSR").size();
    for (const BoardRegInfo &r : kBoardMap) {
        const std::size_t index = r.words > 1 ? (r.words - 1 >= 10 ? 2 : 1) : 0;
        n = std::max(n, std::string_view(r.name).size() + index);
    }
    return n;
}
constexpr std::size_t kSeqChars = 20;
constexpr std::size_t kDeviceChars = 6 + 11;  // "bridge" and a board number
constexpr std::size_t kHumanColumns = kSeqChars + 2 + 1 + 2 + kDeviceChars + 1 + 5 + 2 +
                                      std::max<std::size_t>(longest_register_name(), 14) + 1 + 10 +
                                      2;
constexpr std::size_t kMachineColumns = kSeqChars + 1 + kDeviceChars + 1 + 1 + 1 + 5 + 1 +
                                        longest_register_name() + 1 + 10 + 1 + 11 + 1;
static_assert(std::max(kHumanColumns, kMachineColumns) <= kTraceColumnsCapacity,
              "trace columns must leave the note its whole room: raise kTraceColumnsCapacity");

// One write(2) for the whole line, so that appends of processes running at once cannot mix
// inside it; a regular file takes it whole. Another write only for what a pipe or terminal
// did not take.
bool write_all(int fd, std::string_view s) {
    while (!s.empty()) {
        const ssize_t n = ::write(fd, s.data(), s.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        s.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The running program's path, as the kernel knows it; async-signal-safe.
std::string_view program_path(char (&buf)[256]) {
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0)
        return "?";
    return {buf, static_cast<std::size_t>(n)};
}

}  // namespace

void append_register_name(TraceLine &line, Device device, std::uint32_t offset) {
    if (device == Device::Bridge) {
        line.add(offset == kBridgeIntCsrOffset ? "PLX_INTCSR" : "PLX");
        return;
    }
    std::uint32_t word = 0;
    const BoardRegInfo *r = find_board_reg(offset, &word);
    if (r == nullptr) {
        line.add('-');
        return;
    }
    line.add(r->name);
    if (r->words > 1)
        line.dec(word);
}

void format_human(const TraceRecord &r, TraceLine &line) {
    line.clear();
    TraceLine seq;
    seq.dec(static_cast<std::int64_t>(r.seq));
    pad_to(line, seq.size() < 6 ? 6 - seq.size() : 0);
    line.add(seq.view()).add("  ").add(r.dir).add("  ");
    std::size_t start = line.size();
    append_device(line, r.device, r.board);
    pad_to(line, start + 7);
    if (line.view().back() != ' ')
        line.add(' ');  // "bridge2" fills the column: keep a blank before the offset
    line.hex(r.offset, 3).add("  ");
    start = line.size();
    append_register_name(line, r.device, r.offset);
    pad_to(line, start + 14);
    line.add(' ').hex(r.value);
    if (!r.note.empty())
        line.add("  ").add(r.note);
    line.add('\n');
}

void format_machine(const TraceRecord &r, TraceLine &line) {
    line.clear();
    line.dec(static_cast<std::int64_t>(r.seq)).add('\t');
    append_device(line, r.device, r.board);
    line.add('\t');
    line.add(r.dir).add('\t').hex(r.offset, 3).add('\t');
    append_register_name(line, r.device, r.offset);
    line.add('\t').hex(r.value).add('\t').add(r.note).add('\t').dec(r.pid).add('\n');
}

void format_process(std::int32_t pid, std::string_view program, TraceLine &line) {
    line.clear();
    line.add("# process ").dec(pid).add(": ").add(program).add('\n');
}

bool write_machine_header(int fd) {
    return write_all(fd, kMachineHeader);
}

Trace::Trace(int human_fd, int machine_fd) : human_fd_(human_fd), machine_fd_(machine_fd) {}

std::optional<TraceError> Trace::record(const TraceRecord &r) const {
    TraceRecord with_pid = r;
    with_pid.pid = static_cast<std::int32_t>(::getpid());
    TraceLine line;
    std::optional<TraceError> failed;
    const auto write_line = [&failed, &line](int fd, bool machine) {
        if (!write_all(fd, line.view()) && !failed)
            failed = TraceError{machine, errno};
    };
    if (human_fd_ >= 0) {
        if (announced_pid_.exchange(with_pid.pid, std::memory_order_relaxed) != with_pid.pid) {
            char buf[256];
            format_process(with_pid.pid, program_path(buf), line);
            write_line(human_fd_, false);
        }
        format_human(with_pid, line);
        write_line(human_fd_, false);
    }
    if (machine_fd_ >= 0) {
        format_machine(with_pid, line);
        write_line(machine_fd_, true);
    }
    return failed;
}

}  // namespace korvic::sim
