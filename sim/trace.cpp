#include "trace.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <string_view>

#include "board_map.h"

namespace korvic::sim {
namespace {

const char *device_name(Device d) {
    return d == Device::Board ? "board" : "bridge";
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
constexpr std::size_t kHumanColumns = kSeqChars + 2 + 1 + 2 + 7 + 5 + 2 +
                                      std::max<std::size_t>(longest_register_name(), 14) + 1 + 10 +
                                      2;
constexpr std::size_t kMachineColumns =
    kSeqChars + 1 + 6 + 1 + 1 + 1 + 5 + 1 + longest_register_name() + 1 + 10 + 1;
static_assert(std::max(kHumanColumns, kMachineColumns) <= kTraceColumnsCapacity,
              "trace columns must leave the note its whole room: raise kTraceColumnsCapacity");

void write_all(int fd, std::string_view s) {
    while (!s.empty()) {
        const ssize_t n = ::write(fd, s.data(), s.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        s.remove_prefix(static_cast<std::size_t>(n));
    }
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
    line.add(device_name(r.device));
    pad_to(line, start + 7);
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
    line.dec(static_cast<std::int64_t>(r.seq)).add('\t').add(device_name(r.device)).add('\t');
    line.add(r.dir).add('\t').hex(r.offset, 3).add('\t');
    append_register_name(line, r.device, r.offset);
    line.add('\t').hex(r.value).add('\t').add(r.note).add('\n');
}

Trace::Trace(int human_fd, int machine_fd) : human_fd_(human_fd), machine_fd_(machine_fd) {
    if (machine_fd_ >= 0)
        write_all(machine_fd_, kMachineHeader);
}

void Trace::record(const TraceRecord &r) const {
    TraceLine line;
    if (human_fd_ >= 0) {
        format_human(r, line);
        write_all(human_fd_, line.view());
    }
    if (machine_fd_ >= 0) {
        format_machine(r, line);
        write_all(machine_fd_, line.view());
    }
}

}  // namespace korvic::sim
