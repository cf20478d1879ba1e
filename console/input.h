// Keyboard input of the test console: "%d"-style numbers, whole lines and the discard of
// the rest of a line, read one character at a time from a stdio stream with one character
// of push-back, as scanf does.
//
// Why not scanf and fflush(stdin): the console must know exactly what it has consumed.
// Discarding "the rest of the input" after an item must take only the rest of the current
// line (a pipe of scripted answers would otherwise lose every later answer), a number
// that overflows must not be taken as some other number, and end of input must be seen
// once and then stay seen, so the menu never spins on it.
#pragma once

#include <cstdint>
#include <cstdio>

namespace korvic::console {

enum class Read {
    value,         // a number was converted and stored
    not_a_number,  // no digits, or out of range of the target; nothing stored
    end_of_input,  // the input ended before a number began; nothing stored
};

class Input {
  public:
    // prompts is flushed before every blocking read, so that a prompt without a line end
    // is on the screen while the console waits; by `flush_prompts` when given (which then
    // deals with a failure), else by fflush.
    Input(std::FILE *in, std::FILE *prompts, void (*flush_prompts)() = nullptr)
        : in_(in), prompts_(prompts), flush_prompts_(flush_prompts) {}

    // "%d": skips white space (line ends included), then an optional sign and decimal
    // digits. The character after the digits stays unread. A value outside the range of
    // a 32-bit int is not a number. Without digits, the offending character stays unread.
    Read read_int(std::int32_t &out);
    // "%lld": the same for a 64-bit signed value.
    Read read_long_long(std::int64_t &out);

    // Consumes one whole line of any length, its line end included. False when the input
    // ended before any character of the line.
    bool read_line();

    // Discards the unread rest of the current line, its line end included, unless the
    // last character consumed was a line end and nothing was put back (nothing of the
    // line is left).
    void discard_rest_of_line();

    // True once the input has reported its end; it stays ended.
    bool ended() const { return ended_; }

  private:
    static constexpr int kNothing = -2;

    int get();
    void unget(int c);
    Read read_integer(bool &negative, std::uint64_t &magnitude, std::uint64_t limit);
    template <typename T>
    Read read_signed(T &out);

    std::FILE *in_;
    std::FILE *prompts_;
    void (*flush_prompts_)();
    int pushed_ = kNothing;
    int last_ = '\n';  // last character consumed; the input starts at a line's start
    bool ended_ = false;
};

}  // namespace korvic::console
