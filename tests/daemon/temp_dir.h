// A private directory for one test, removed with everything in it.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace korvicd_test {

class TempDir {
  public:
    TempDir() {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "korvicd-test-XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr)
            std::abort();
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path operator/(const char *name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

}  // namespace korvicd_test
