#include "process.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace kinetra::e2e {

namespace {

std::string temp_path() {
    char name[] = "/tmp/kinetra-e2e-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd >= 0) {
        ::close(fd);
    }
    return name;
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Spawns argv with stdout to `out_fd` and stderr to the file `err_path`.
int spawn(const std::vector<std::string> &argv, int out_fd, const std::string &err_path) {
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const auto &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// The exit code, or -1 when killed at `limit` or by a signal.
int reap(int pid, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0 && errno != EINTR) {
            return -1;
        }
        if (std::chrono::steady_clock::now() > until) {
            ::kill(pid, SIGKILL);
            (void)::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(10ms);
    }
}

} // namespace

std::string sim_exe() { return KINETRA_SIM_EXE; }
std::string tool_exe() { return KINETRA_TOOL_EXE; }

finished run(const std::vector<std::string> &argv, std::chrono::milliseconds limit) {
    const std::string out_path = temp_path();
    const std::string err_path = temp_path();
    finished result;
    const int out = ::open(out_path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    const int pid = spawn(argv, out, err_path);
    ::close(out);
    if (pid > 0) {
        result.exit_code = reap(pid, limit);
    }
    result.out = slurp(out_path);
    result.err = slurp(err_path);
    ::unlink(out_path.c_str());
    ::unlink(err_path.c_str());
    return result;
}

background::background(const std::vector<std::string> &argv) : err_path_(temp_path()) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return;
    }
    pid_ = spawn(argv, fds[1], err_path_);
    ::close(fds[1]);
    out_ = fds[0];
}

background::~background() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        (void)reap(pid_, 5s);
    }
    if (out_ >= 0) {
        ::close(out_);
    }
    ::unlink(err_path_.c_str());
}

std::string background::read_line(std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (const auto nl = buffered_.find('\n'); nl != std::string::npos) {
            std::string line = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0 || out_ < 0) {
            return "";
        }
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char chunk[512];
        const ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n <= 0) {
            return ""; // the process closed its output
        }
        buffered_.append(chunk, static_cast<std::size_t>(n));
    }
}

void background::send(int signal) const {
    if (pid_ > 0) {
        ::kill(pid_, signal);
    }
}

int background::wait(std::chrono::milliseconds limit) {
    if (pid_ <= 0) {
        return -1;
    }
    const int code = reap(pid_, limit);
    pid_ = -1;
    return code;
}

std::string background::err() const { return slurp(err_path_); }

} // namespace kinetra::e2e
