// What a test's child process execs: the argument and environment arrays, made before
// fork() (a child of a process with threads must not allocate), and the exec itself.
// Header-only, GoogleTest-free.
#pragma once

#include <unistd.h>

#include <string>
#include <vector>

extern char **environ;

namespace korvic::test {

// The test's own environment with `added` ("NAME=VALUE") put in, each replacing a variable
// of its name: for a child that needs a few variables more.
inline std::vector<std::string> environment_with(const std::vector<std::string> &added) {
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string &a : added)
            replaced = replaced || a.compare(0, name.size(), name) == 0;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), added.begin(), added.end());
    return env;
}

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
