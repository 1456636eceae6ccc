// How the long-running tools (kinetra-sim, kinetra-spy, kinetra watch) stop:
// SIGINT and SIGTERM (on Windows Ctrl+C, Ctrl+Break and closing the console)
// set a flag their loop checks, and SIGPIPE is ignored so that a reader gone
// away shows as a failed write, not a dead process.
#pragma once

#include <atomic>

namespace kinetra::sim {

// Installs the handlers; the flag becomes true at the first request to stop.
const std::atomic<bool> &stop_on_signals();

} // namespace kinetra::sim
