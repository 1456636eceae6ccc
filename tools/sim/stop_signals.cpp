#include "stop_signals.h"

#include <csignal>

namespace kinetra::sim {
namespace {

std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void request_stop(int) { stop_requested.store(true); }

} // namespace

const std::atomic<bool> &stop_on_signals() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    (void)::sigaction(SIGINT, &action, nullptr);
    (void)::sigaction(SIGTERM, &action, nullptr);
    (void)std::signal(SIGPIPE, SIG_IGN);
    return stop_requested;
}

} // namespace kinetra::sim
