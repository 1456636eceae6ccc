// The simulated platform serving one serial line: it decodes and logs what
// the host sends, moves its axes, and sends upload frames at a fixed rate.
// It serves any sim_line: a pseudo-terminal or an existing port.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "faults.h"
#include "line_pacer.h"
#include "model.h"
#include "receiver.h"
#include "sim_line.h"

namespace kinetra::sim {

struct sim_options {
    double speed = 5000; // units per second, every axis
    double rate = 20;    // upload frames per second
    fault_options faults;
    std::uint64_t seed = 1;
    line_timing line; // paced like a 115200-baud line, a byte at a time
};

// A line of the log, already stamped with the time.
using log_sink = std::function<void(const std::string &)>;

class simulator {
  public:
    // `line` must outlive the simulator.
    simulator(sim_line &line, const sim_options &options, log_sink log);

    // Serves until `stop` becomes true; checks it at least every 50 ms.
    void run(const std::atomic<bool> &stop);

    // Stops or resumes sending, while the simulator runs.
    void set_silent(bool silent) { silent_.store(silent); }

  private:
    void on_frame(const received_frame &r);
    void receive();
    void send_upload();
    void hand_over();
    void note_dropping(bool dropped);

    sim_line &port_;
    sim_options options_;
    log_sink log_;
    platform_model model_;
    fault_injector faults_;
    command_receiver receiver_;
    line_pacer line_;
    std::atomic<bool> silent_;
    bool host_present_ = false;
    bool dropping_ = false;
};

// "HH:MM:SS.mmm " in local time.
std::string time_stamp();

} // namespace kinetra::sim
