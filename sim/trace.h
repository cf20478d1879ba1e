// The simulator's access trace: one line per register access, in two forms.
//
// Human form, aligned columns (the note last), after a line naming the process:
//   # process 4242: /usr/bin/korvic_test
//       12  W  board  0x0fc  TIME_STATUS0   0xffffffff  snapshot strobe: latched <time>
// Machine form, tab-separated, after a header line that starts with '#':
//   seq  device  dir  offset  name  value  note  pid
//   12   board   W    0x0fc   TIME_STATUS0  0xffffffff  snapshot strobe: latched <time>  4242
// Times are "YYYY-DDD hh:mm:ss.ffffff", the day of year counted from 0.
// device is "board" (register window) or "bridge" (PCI bridge window) for board 1, and
// "boardK" or "bridgeK" for board K >= 2; dir is R or W; offset and value are hexadecimal
// with "0x"; value is the word as it crossed the bus; pid is the process that made the
// access. Sequence numbers count the accesses of the whole run, every process and board.
//
// Several processes may write to one trace file: each opens it for appending, and each line
// is one write(2), so lines of processes running at once never mix inside a line.
// Lines are built in fixed buffers and written with write(2): safe inside the MMIO signal
// handlers, no allocation, no stdio.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "board_notes.h"
#include "text.h"

namespace korvic::sim {

enum class Device : std::uint8_t { Board, Bridge };

struct TraceRecord {
    std::uint64_t seq = 0;
    Device device = Device::Board;
    char dir = 'R';
    std::uint32_t offset = 0;
    std::uint32_t value = 0;
    std::string_view note;
    std::int32_t pid = 0;
    int board = 1;  // which board of the run, from 1
};

// A trace line: the columns before the note (under kTraceColumnsCapacity, checked in
// trace.cpp), the longest note and the newline.
inline constexpr std::size_t kTraceColumnsCapacity = 128;
using TraceLine = FixedText<kTraceColumnsCapacity + kNoteCapacity + 1>;

// Register name as the trace shows it: the board's name with the word index for a group
// ("TIME_STATUS0"), "PLX_INTCSR" for the bridge's interrupt word, "-" for no register.
void append_register_name(TraceLine &line, Device device, std::uint32_t offset);

void format_human(const TraceRecord &r, TraceLine &line);
void format_machine(const TraceRecord &r, TraceLine &line);
// "# process PID: PROGRAM", the human form's line before the first access of a process.
void format_process(std::int32_t pid, std::string_view program, TraceLine &line);

// The machine form's header, once at the top of a file: whoever creates the file writes it
// (the launcher, or the first process when the file is new and empty).
inline constexpr std::string_view kMachineHeader =
    "#seq\tdevice\tdir\toffset\tname\tvalue\tnote\tpid\n";
// Writes the header; false, with errno set, when it cannot.
bool write_machine_header(int fd);

// A trace line that could not be written: in which form, and the write's errno.
struct TraceError {
    bool machine = false;
    int error = 0;
};

class Trace {
  public:
    // Either descriptor may be -1 (that form is not written).
    Trace(int human_fd, int machine_fd);
    // Writes the access with the calling process's pid; in the human form, after the line
    // that names the process when it is the process's first access (a forked child too).
    // What could not be written, if anything (both forms are tried).
    std::optional<TraceError> record(const TraceRecord &r) const;
    bool enabled() const { return human_fd_ >= 0 || machine_fd_ >= 0; }

  private:
    int human_fd_;
    int machine_fd_;
    mutable std::atomic<std::int32_t> announced_pid_{0};
};

}  // namespace korvic::sim
