#include "trace.h"

#include <unistd.h>

#include <cerrno>

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
