// A file in memory (under /dev/shm, a tmpfs) standing in for a device window, as the
// simulator's windows are: besides character devices and sysfs resource files, the library
// maps only files in memory of exactly the window's size. Created with its words, removed
// when the object goes. Header-only, free of GoogleTest: the fuzzers use it too.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace korvic::test {

class MemoryFile {
  public:
    // A file of `bytes` bytes whose 32-bit words, in host order, are `words` then zeros.
    explicit MemoryFile(std::size_t bytes, const std::vector<std::uint32_t> &words = {}) {
        std::string name = "/dev/shm/korvic-test-XXXXXX";
        const int f = mkstemp(name.data());
        std::vector<std::uint32_t> image((bytes + 3) / 4, 0);
        for (std::size_t i = 0; i < words.size() && i < image.size(); ++i)
            image[i] = words[i];
        if (f < 0 || write(f, image.data(), bytes) != static_cast<ssize_t>(bytes)) {
            std::perror("korvic test: cannot make a window file in /dev/shm");
            std::abort();
        }
        close(f);
        path_ = name;
    }
    ~MemoryFile() { unlink(path_.c_str()); }
    MemoryFile(const MemoryFile &) = delete;
    MemoryFile &operator=(const MemoryFile &) = delete;

    const std::filesystem::path &path() const { return path_; }

    std::uint32_t word(std::uint32_t offset) const {
        std::uint32_t w = 0;
        const int f = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (f < 0 || pread(f, &w, sizeof w, offset) != static_cast<ssize_t>(sizeof w))
            std::abort();
        close(f);
        return w;
    }
    void set_word(std::uint32_t offset, std::uint32_t w) const {
        const int f = open(path_.c_str(), O_WRONLY | O_CLOEXEC);
        if (f < 0 || pwrite(f, &w, sizeof w, offset) != static_cast<ssize_t>(sizeof w))
            std::abort();
        close(f);
    }

  private:
    std::filesystem::path path_;
};

}  // namespace korvic::test
