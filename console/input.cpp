#include "input.h"

#include <cerrno>
#include <cstdint>
#include <limits>

namespace korvic::console {

namespace {

bool is_space(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(int c) {
    return c >= '0' && c <= '9';
}

}  // namespace

int Input::get() {
    if (pushed_ != kNothing) {
        const int c = pushed_;
        pushed_ = kNothing;
        last_ = c;
        return c;
    }
    if (ended_)
        return EOF;
    if (flush_prompts_ != nullptr)
        flush_prompts_();
    else
        std::fflush(prompts_);
    for (;;) {
        errno = 0;
        const int c = std::getc(in_);
        if (c != EOF) {
            last_ = c;
            return c;
        }
        // A SIGINT that arrives while the read blocks is not the end of the input: the
        // handler has counted it, and the user may go on typing.
        if (std::ferror(in_) && errno == EINTR) {
            std::clearerr(in_);
            continue;
        }
        ended_ = true;
        return EOF;
    }
}

void Input::unget(int c) {
    pushed_ = c;
}

Read Input::read_integer(bool &negative, std::uint64_t &magnitude, std::uint64_t limit) {
    int c = get();
    while (is_space(c))
        c = get();
    if (c == EOF)
        return Read::end_of_input;

    negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = get();
        if (c == EOF)
            return Read::end_of_input;
    }
    if (!is_digit(c)) {
        unget(c);
        return Read::not_a_number;
    }

    // Every digit is consumed, also past the limit, so that an overlong number is one
    // rejected value and not the start of the next one.
    bool too_large = false;
    magnitude = 0;
    while (is_digit(c)) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (!too_large && magnitude > (limit - digit) / 10)
            too_large = true;
        if (!too_large)
            magnitude = magnitude * 10 + digit;
        c = get();
    }
    if (c != EOF)
        unget(c);
    return too_large ? Read::not_a_number : Read::value;
}

// A signed number of type T. The magnitude limit is that of the negative side; the positive
// side, one less, is checked once the sign is known. The negation is done on the unsigned
// magnitude and converted at the end, so the most negative value needs no special case.
template <typename T>
Read Input::read_signed(T &out) {
    bool negative = false;
    std::uint64_t magnitude = 0;
    constexpr std::uint64_t kLimit = std::uint64_t{1} << std::numeric_limits<T>::digits;
    const Read r = read_integer(negative, magnitude, kLimit);
    if (r != Read::value)
        return r;
    if (!negative && magnitude == kLimit)
        return Read::not_a_number;
    out = static_cast<T>(static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude));
    return Read::value;
}

Read Input::read_int(std::int32_t &out) {
    return read_signed(out);
}

Read Input::read_long_long(std::int64_t &out) {
    return read_signed(out);
}

bool Input::read_line() {
    int c = get();
    if (c == EOF)
        return false;
    while (c != '\n' && c != EOF)
        c = get();
    return true;
}

void Input::discard_rest_of_line() {
    // A character that was looked at and put back is unread input of the current line;
    // otherwise the line is finished when its line end has been consumed.
    if (pushed_ == kNothing && last_ == '\n')
        return;
    int c = get();
    while (c != '\n' && c != EOF)
        c = get();
}

}  // namespace korvic::console
