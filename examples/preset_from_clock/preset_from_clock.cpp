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
// For each board: preset with the system's UTC time, then one sample(): the board's time
// with the system clock read just before and just after the latch. It prints the preset,
// the time read back, their difference, and the board's offset from the system clock.
// A Board converts by the true calendar and undoes the SEC_OFF=, TZ_OFF= and DAY_OFF= of
// its file on the way back, so the difference is only the board's run between the two
// calls, less what the preset cannot hold (it keeps whole milliseconds): between -1 ms and
// a few microseconds.
//
// Exit status: 0 on success; 1 when a board cannot be attached or the system clock lies
// outside the board's years (1970 to 2099).
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
    const auto now = std::chrono::system_clock::now();
    const auto preset = std::chrono::time_point_cast<std::chrono::microseconds>(now);
    board.preset(preset);
    const korvic::Sample back = board.sample();

    std::printf("preset:     %s (system clock)\n", korvic::format_time(preset).c_str());
    std::printf("read back:  %s (board)\n", korvic::format_time(back.board).c_str());
    std::printf("difference: %+.6f s\n", seconds(back.board - preset));
    std::printf("offset:     %+.6f s (board minus system clock at the latch, +/- %.1f us)\n",
                seconds(back.offset()), seconds(back.uncertainty()) * 1e6 / 2);
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
