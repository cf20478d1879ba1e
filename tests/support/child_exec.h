// What a test's child process execs: the argument and environment arrays, made before
// fork() (a child of a process with threads must not allocate), and the exec itself.
// Header-only, GoogleTest-free.
#pragma once

#include <unistd.h>

#include <string>
#include <vector>

namespace korvic::test {

class ExecArgs {
  public:
    // argv[0] is a path; env: the whole environment (empty: the test's own).
    ExecArgs(const std::vector<std::string> &argv, const std::vector<std::string> &env)
        : own_env_(!env.empty()) {
        for (const std::string &a : argv)
            args_.push_back(const_cast<char *>(a.c_str()));
        args_.push_back(nullptr);
        for (const std::string &e : env)
            envp_.push_back(const_cast<char *>(e.c_str()));
        envp_.push_back(nullptr);
    }
    // In the child: the program, or exit status 127.
    [[noreturn]] void exec() const {
        if (own_env_)
            execve(args_[0], args_.data(), envp_.data());
        else
            execv(args_[0], args_.data());
        _exit(127);
    }

  private:
    std::vector<char *> args_, envp_;
    bool own_env_;
};

}  // namespace korvic::test
