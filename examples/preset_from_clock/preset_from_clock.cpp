// preset_from_clock: sets each board's time from the system clock and reads it back, with
// korvic::Board (C++20).
//
//     preset_from_clock [CONFIG [CONFIG2]]
//
// CONFIG is a korvic_cfg.dat (see ../korvic_cfg.dat); without one, the file that
// $KORVIC_CONFIG names (korvic_sim sets it), else ./korvic_cfg.dat: korvic::config_path(). Given
// two, it attaches two boards at once, each with its own window, byte order and offsets,
// and handles one after the other.
//
// For each board: korvic::Board::preset_now(), which loads the system clock's next whole
// second at that second (it measures what a preset costs on the bus, waits for the second
// less that cost, and tries again at the next second when the system woke it late or the
// board reads back far off), then reads the board back. It prints the second loaded, the
// time read back, their difference, and the board's offset from the system clock at the
// read-back. A Board converts by the true calendar and undoes the SEC_OFF=, TZ_OFF= and
// DAY_OFF= of its file on the way back, so the difference is only the board's run between
// the preset and the read-back: a few microseconds.
//
// Exit status: 0 on success; 1 when a board cannot be attached, does not run, or the system
// clock lies outside the board's years (1970 to 2099).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "korvic/board.hpp"

namespace {

double seconds(std::chrono::nanoseconds d) {
    return std::chrono::duration<double>(d).count();
}

void preset_and_read_back(korvic::Board &board) {
    const korvic::PresetNow p = board.preset_now();
    std::printf("preset:     %s (the system clock's whole second)\n",
                korvic::format_time(p.preset).c_str());
    std::printf("read back:  %s (board)\n", korvic::format_time(p.read_back.board).c_str());
    std::printf("difference: %+.6f s\n", seconds(p.read_back.board - p.preset));
    std::printf(
        "offset:     %+.6f s (board minus system clock at the read-back, +/- %.1f us; "
        "%d attempt%s)\n",
        p.residual().to_seconds(), seconds(p.bracket()) * 1e6 / 2, p.attempts,
        p.attempts == 1 ? "" : "s");
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 3) {
        std::fprintf(stderr, "usage: preset_from_clock [CONFIG [CONFIG2]]\n");
        return 2;
    }
    std::vector<std::filesystem::path> configs(argv + 1, argv + argc);
    if (configs.empty())
        configs.push_back(korvic::config_path());

    try {
        std::vector<korvic::Board> boards;
        for (const auto &config : configs)
            boards.push_back(korvic::Board::open(config));
        for (std::size_t i = 0; i < boards.size(); ++i) {
            const korvic::Settings &s = boards[i].settings();
            std::printf("board %zu: %s (SEC_OFF=%d TZ_OFF=%d DAY_OFF=%d BYTE_SWAP=%d)\n", i + 1,
                        configs[i].c_str(), s.sec_off, s.tz_off, s.day_off, s.byte_swap ? 1 : 0);
            preset_and_read_back(boards[i]);
        }
    } catch (const std::exception &e) {
        // A filesystem_error names the step, the path and the system's reason; an
        // out_of_range the time and the board's years.
        std::fprintf(stderr, "preset_from_clock: %s\n", e.what());
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
