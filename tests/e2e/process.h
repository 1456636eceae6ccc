// Runs the tools as a user does: separate processes, their output captured,
// a generous time limit on each so that a hang fails the test instead of
// stalling the suite.
#pragma once

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

namespace kinetra::e2e {

using namespace std::chrono_literals;

struct finished {
    int exit_code = -1; // -1: killed at the time limit, or by a signal
    std::string out;
    std::string err;
};

// Runs argv to completion (killed after `limit`).
finished run(const std::vector<std::string> &argv, std::chrono::milliseconds limit = 30s);

// A process left running while the test talks to it: standard output comes
// through a pipe, a line at a time; standard error goes to a file, read when
// the process is done (a pipe nobody drains could stall a chatty process).
class background {
  public:
    explicit background(const std::vector<std::string> &argv);
    ~background();
    background(const background &) = delete;
    background &operator=(const background &) = delete;

    // The next line of standard output without its newline, or "" if none
    // comes within `limit`.
    std::string read_line(std::chrono::milliseconds limit = 15s);
    void send(int signal) const;
    // Waits for the exit; kills the process after `limit`. The exit code,
    // or -1 when it had to be killed or died by a signal.
    int wait(std::chrono::milliseconds limit = 15s);
    // Standard error, complete once wait() has returned.
    std::string err() const;
    bool running() const { return pid_ > 0; }

  private:
    int pid_ = -1;
    int out_ = -1;
    std::string buffered_;
    std::string err_path_;
};

// The two tools under test, as built.
std::string sim_exe();
std::string tool_exe();

} // namespace kinetra::e2e
