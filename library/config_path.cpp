// Which korvic_cfg.dat a program built on korvic::Board reads.
#include <cstdlib>
#include <filesystem>

#include "korvic/board.hpp"

namespace korvic {

std::filesystem::path config_path(const std::filesystem::path &given) {
    if (!given.empty())
        return given;
    if (const char *env = std::getenv("KORVIC_CONFIG"); env != nullptr && *env != '\0')
        return env;
    return "korvic_cfg.dat";
}

}  // namespace korvic
