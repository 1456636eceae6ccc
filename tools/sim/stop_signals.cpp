#include "stop_signals.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#endif

namespace kinetra::sim {
namespace {

std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

#ifdef _WIN32

// Runs on a thread of its own that the console starts for the event.
BOOL WINAPI request_stop(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT: stop_requested.store(true); return TRUE;
    default: return FALSE;
    }
}

#else

extern "C" void request_stop(int) { stop_requested.store(true); }

#endif

} // namespace

const std::atomic<bool> &stop_on_signals() {
#ifdef _WIN32
    (void)::SetConsoleCtrlHandler(request_stop, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    (void)::sigaction(SIGINT, &action, nullptr);
    (void)::sigaction(SIGTERM, &action, nullptr);
    (void)std::signal(SIGPIPE, SIG_IGN);
#endif
    return stop_requested;
}

} // namespace kinetra::sim
