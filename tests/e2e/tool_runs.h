// The simulator and the bench tool as the tests start them.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "process.h"

namespace kinetra::e2e {

using args = std::vector<std::string>;

// A simulator started for one test and stopped with SIGTERM at its end.
class sim_process {
  public:
    explicit sim_process(const args &options = {}) : process_(with_exe(options)) {
        port_ = process_.read_line();
    }
    ~sim_process() {
        if (process_.running()) {
            stop();
        }
    }
    sim_process(const sim_process &) = delete;
    sim_process &operator=(const sim_process &) = delete;

    const std::string &port() const { return port_; }

    // Stops it the way a user does; it must leave promptly and cleanly.
    std::string stop() {
        process_.send(SIGTERM);
        EXPECT_EQ(process_.wait(), 0) << "kinetra-sim did not stop cleanly on SIGTERM";
        return process_.err();
    }

  private:
    static args with_exe(const args &options) {
        args all{sim_exe()};
        all.insert(all.end(), options.begin(), options.end());
        return all;
    }
    background process_;
    std::string port_;
};

// The bench tool run to completion with these arguments.
inline finished kinetra(const args &arguments) {
    args all{tool_exe()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return run(all);
}

} // namespace kinetra::e2e
