// Every program with its standard output closed or failing: what was asked for could not be
// written, so the program fails (status 1) with one line on standard error, and a program
// whose standard output is closed touches no board.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_fixture.h"

namespace {

using namespace korvic::sim_test;

TEST_F(SimE2E, ClosedOrFullStandardOutputIsAFailure) {
    write_cfg(cfg_devices);
    const std::string korvic = KORVIC_BIN, korvicd = KORVICD_BIN;
    const std::string on_board = sim + " --virtual --trace-tsv t.tsv -- ";
    // The redirection goes at "{}", or at the end.
    const struct {
        std::string command;
        const char *program;
    } programs[] = {
        {korvic + " --help", "korvic"},
        {korvic + " --version", "korvic"},
        {on_board + korvic + " time", "korvic"},
        {on_board + "sh -c '" + korvic + " time {}'", "korvic"},
        {on_board + korvic + " --json status", "korvic"},
        {on_board + KORVIC_TEST_BIN, "korvic_test"},
        {korvicd + " --help", "korvicd"},
        {korvicd + " --version", "korvicd"},
        {sim + " --trace-tsv t.tsv -- " + korvicd + " --once", "korvicd"},
        {sim + " --help", "korvic_sim"},
    };
    const struct {
        const char *redirect;
        const char *says;  // after "PROGRAM: standard output"; nullptr: standard error closed
        bool closed;
    } outputs[] = {
        {">&-", " is closed\n", true},
        {">/dev/full", ": No space left on device\n", false},
        {">&- 2>&-", nullptr, true},
    };
    for (const auto &[command, program] : programs) {
        for (const auto &[redirect, says, closed] : outputs) {
            std::string what = command;
            if (const auto at = what.find("{}"); at != std::string::npos)
                what.replace(at, 2, redirect);
            else
                what += std::string(" ") + redirect;
            fs::remove(dir / "t.tsv");
            const Result r = run("(" + what + ")");
            EXPECT_EQ(r.status, 1) << what << "\n" << r.err;
            EXPECT_EQ(r.err,
                      says != nullptr ? std::string(program) + ": standard output" + says : "")
                << what;
            // Closed: the program fails before it attaches.
            if (closed && fs::exists(dir / "t.tsv")) {
                EXPECT_TRUE(read_tsv(dir / "t.tsv").empty()) << what;
            }
        }
    }
}

}  // namespace
