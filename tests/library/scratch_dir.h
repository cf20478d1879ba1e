// A scratch working directory for attachment tests: created empty, made the working
// directory (init_847 reads korvic_cfg.dat from there), removed with everything in it. Its
// devices are files in memory (/dev/shm) reached through symbolic links here, since the
// library maps no file on a disk.
#pragma once

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "memory_file.h"

namespace korvic::test {

class ScratchDir {
  public:
    ScratchDir() : old_cwd_(std::filesystem::current_path()) {
        std::string tmpl = (std::filesystem::temp_directory_path() / "korvic-XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr)
            std::abort();
        path_ = tmpl;
        std::filesystem::current_path(path_);
    }
    ~ScratchDir() {
        std::filesystem::current_path(old_cwd_);
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::filesystem::path &path() const { return path_; }

    // True when the directory lies in memory (tmpfs, ramfs), where a regular file of a
    // window's size is a window: the tests of files on disk are then skipped.
    bool in_memory() const {
        struct statfs sf {};
        return statfs(path_.c_str(), &sf) == 0 &&
               (sf.f_type == TMPFS_MAGIC || sf.f_type == RAMFS_MAGIC);
    }

    void write_file(const std::string &name, const std::string &text) const {
        std::ofstream(path_ / name, std::ios::binary) << text;
    }
    void write_config(const std::string &text) const { write_file("korvic_cfg.dat", text); }

    // A device stand-in: the symbolic link `name` to a file in memory of `bytes` bytes whose
    // 32-bit words, in host order, are `words` followed by zeros. Written again, the name
    // links to a new file.
    void write_device(const std::string &name, std::size_t bytes,
                      const std::vector<std::uint32_t> &words = {}) {
        devices_.push_back(std::make_unique<MemoryFile>(bytes, words));
        std::error_code ec;
        std::filesystem::remove(path_ / name, ec);
        std::filesystem::create_symlink(devices_.back()->path(), path_ / name);
    }
    std::uint32_t device_word(const std::string &name, std::uint32_t offset) const {
        std::uint32_t w = 0;
        std::ifstream in(path_ / name, std::ios::binary);
        in.seekg(offset);
        in.read(reinterpret_cast<char *>(&w), sizeof w);
        return w;
    }

  private:
    std::filesystem::path old_cwd_;
    std::filesystem::path path_;
    std::vector<std::unique_ptr<MemoryFile>> devices_;
};

// Everything written to file descriptor 2 while it lives (perror writes there unbuffered).
class StderrCapture {
  public:
    StderrCapture() {
        std::fflush(stderr);
        file_ = std::tmpfile();
        saved_ = dup(2);
        dup2(fileno(file_), 2);
    }
    ~StderrCapture() {
        restore();
        std::fclose(file_);
    }
    std::string text() {
        restore();
        std::rewind(file_);
        std::ostringstream out;
        int c;
        while ((c = std::fgetc(file_)) != EOF)
            out.put(static_cast<char>(c));
        return out.str();
    }

  private:
    void restore() {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    std::FILE *file_;
    int saved_;
};

// The lowest descriptor number not in use: rises by one for each descriptor left open.
inline int lowest_free_fd() {
    const int probe = dup(0);
    close(probe);
    return probe;
}

// What this system answers to a shared read-write mapping of `bytes` of the device at
// `path`: 0 when it maps, else the errno. Devices differ between systems and emulators
// (qemu-user cannot map /dev/zero shared, and refuses /dev/null with EINVAL where Linux says
// ENODEV): tests that attach to a device node expect what the system itself does.
inline int shared_map_errno(const char *path, std::size_t bytes) {
    const int fd = open(path, O_RDWR);
    if (fd < 0)
        return errno;
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int error = p == MAP_FAILED ? errno : 0;
    if (p != MAP_FAILED)
        munmap(p, bytes);
    close(fd);
    return error;
}

}  // namespace korvic::test
