// Starting and watching other programs from tests: the controller itself, X servers, xdotool.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

// Starts a program with extra environment entries ("NAME=value"), in a directory, with its
// standard output (and error) going to a file. Returns the process id, or -1.
inline pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
                   const std::string& cwd, const std::string& out_file) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    if (!out_file.empty()) {
        int fd = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
    }
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// Waits up to timeout_ms; returns the exit code, 128 + signal, or -1 after killing it on time-out.
inline int wait_for(pid_t pid, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    while (true) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0) return -1;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

inline void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    if (wait_for(pid, 3000) == -1) kill(pid, SIGKILL);
}

// Runs a shell command; returns its exit code and fills its standard output.
inline int run_shell(const std::string& command, std::string* out = nullptr) {
    FILE* p = popen(command.c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    std::string text;
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    int status = pclose(p);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline bool have_program(const std::string& name) {
    return run_shell("command -v " + name + " >/dev/null 2>&1") == 0;
}

}  // namespace test_support
