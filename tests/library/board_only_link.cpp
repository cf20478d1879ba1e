// A C++ program that uses korvic::Board alone may name its own globals as the C API names
// its state (fd above all): linked against the static library, the Board's code must not
// pull in the object that defines them. This program building is the test.
#include <cstdio>
#include <exception>

#include "korvic/board.hpp"

int fd = -1;             // the program's own descriptor
char mem_path[16] = {};  // and its own path

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fputs("usage: board_only_link CONFIG\n", stderr);
        return 2;
    }
    try {
        korvic::Board board = korvic::Board::open(argv[1]);
        std::printf("%s\n", korvic::format_time(board.now()).c_str());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return fd == -1 && mem_path[0] == '\0' ? 0 : 3;
}
