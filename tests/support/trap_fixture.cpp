#include "trap_fixture.h"

#include <cstdio>

namespace korvic::test {

std::ostream &operator<<(std::ostream &os, const Access &a) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%c 0x%03x=0x%08x", a.dir, a.offset, a.value);
    return os << buf;
}

void PrintTo(const Access &a, std::ostream *os) {
    *os << a;
}

RecordingRegisters::RecordingRegisters() {
    log_.reserve(256);
}

std::uint32_t RecordingRegisters::load32(std::uint32_t offset) {
    const std::uint32_t v = words_[(offset % kWindowBytes) / 4];
    log_.push_back({'R', offset, v});
    return v;
}

void RecordingRegisters::store32(std::uint32_t offset, std::uint32_t value) {
    words_[(offset % kWindowBytes) / 4] = value;
    log_.push_back({'W', offset, value});
}

void RecordingRegisters::set(std::uint32_t offset, std::uint32_t value) {
    words_[(offset % kWindowBytes) / 4] = value;
}

std::uint32_t RecordingRegisters::word(std::uint32_t offset) const {
    return words_[(offset % kWindowBytes) / 4];
}

TrapFixture::TrapFixture() : window(regs, kWindowBytes) {}

void TrapFixture::SetUp() {
    attached_.emplace(window.base());
}

void TrapFixture::TearDown() {
    attached_.reset();
}

}  // namespace korvic::test
