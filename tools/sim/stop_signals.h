// How the long-running tools (kinetra-sim, kinetra-spy) stop: SIGINT and
// SIGTERM set a flag their loop checks, and SIGPIPE is ignored so that a
// reader gone away shows as a failed write, not a dead process.
#pragma once

#include <atomic>

namespace kinetra::sim {

// Installs the handlers; the flag becomes true at the first SIGINT/SIGTERM.
const std::atomic<bool> &stop_on_signals();

} // namespace kinetra::sim
