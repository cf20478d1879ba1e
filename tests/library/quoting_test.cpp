// What a message shows of a typed text: one line, nothing a terminal acts on, both ends of
// a long one; and a filesystem_error's text with its paths shown the same way.
#include "quoting.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace {

using korvic::detail::message_of;
using korvic::detail::printable;
using korvic::detail::quote;

TEST(Quoting, EscapesWhatATerminalWouldActOn) {
    const std::string cases[][2] = {
        {"2026-03-28T12:00:00Z", R"("2026-03-28T12:00:00Z")"},
        {"", R"("")"},
        {"two\nlines", R"("two\nlines")"},
        {"\x1b]0;title\a", R"("\e]0;title\a")"},
        {"tab\there\rcr\b\f\v", R"("tab\there\rcr\b\f\v")"},
        {std::string("nul\0x", 5), R"("nul\x00x")"},
        {"del\x7f", R"("del\x7f")"},
        {"say \"hi\" \\", R"("say \"hi\" \\")"},
        {"Z\xc3\xbcrich \xe2\x82\xac", "\"Z\xc3\xbcrich \xe2\x82\xac\""},  // UTF-8 stays
        {"\xc2\x9b"
         "31m",
         R"("\xc2\x9b31m")"},  // C1 CSI
        {"a\xe2\x80\xae"
         "b",
         R"("a\xe2\x80\xaeb")"},                                // bidi override
        {"\xe2\x80\xa8", R"("\xe2\x80\xa8")"},                  // line separator
        {"\xff\xc3", R"("\xff\xc3")"},                          // not UTF-8
        {"\xc0\xaf\xed\xa0\x80", R"("\xc0\xaf\xed\xa0\x80")"},  // overlong, surrogate
        {"\xf4\x90\x80\x80", R"("\xf4\x90\x80\x80")"},          // above U+10FFFF
    };
    for (const auto &[text, shown] : cases)
        EXPECT_EQ(quote(text), shown) << shown;
}

std::string hex(int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += "\\xff";
    return out;
}

TEST(Quoting, CutsALongTextKeepingBothEnds) {
    const std::string exactly(80, 'a');
    EXPECT_EQ(quote(exactly), "\"" + exactly + "\"");
    const std::string text = "head" + std::string(120000, '7') + "tail\n";
    EXPECT_EQ(quote(text),
              "\"head" + std::string(32, '7') + "..." + std::string(30, '7') + "tail\\n\"");
    // Escapes count their columns: 9 bytes shown as \xff fill 36 columns.
    EXPECT_EQ(quote(std::string(1000, '\xff')), "\"" + hex(9) + "..." + hex(9) + "\"");
    // A character of several bytes is one column, and a cut never splits one.
    std::string euros;
    for (int i = 0; i < 100; ++i)
        euros += "\xe2\x82\xac";
    std::string ends;
    for (int i = 0; i < 36; ++i)
        ends += "\xe2\x82\xac";
    EXPECT_EQ(quote(euros), "\"" + ends + "..." + ends + "\"");
}

TEST(Quoting, PrintableKeepsQuotesAndEscapesIdempotently) {
    EXPECT_EQ(printable(R"(--every "x\ny": not one)"), R"(--every "x\ny": not one)");
    EXPECT_EQ(printable("a\nb \x1b[2J"), R"(a\nb \e[2J)");
    EXPECT_EQ(printable(std::string(1000, 'x'), 100),
              std::string(48, 'x') + "..." + std::string(48, 'x'));
    EXPECT_EQ(printable(std::string(100, 'x'), 100), std::string(100, 'x'));
}

TEST(Quoting, MessageOfShowsAFilesystemErrorsPaths) {
    const auto error = std::make_error_code(std::errc::no_such_file_or_directory);
    const std::filesystem::filesystem_error one("korvic: read configuration", "a\nb", error);
    EXPECT_EQ(message_of(one), R"(korvic: read configuration: No such file or directory [a\nb])");
    const std::filesystem::filesystem_error two("korvic: x", std::string(200, 'p'), "q", error);
    EXPECT_EQ(message_of(two), "korvic: x: No such file or directory [" + std::string(36, 'p') +
                                   "..." + std::string(36, 'p') + "] [q]");
    EXPECT_EQ(message_of(std::runtime_error("bad\tthing")), R"(bad\tthing)");
}

}  // namespace
