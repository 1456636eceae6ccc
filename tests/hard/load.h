// Load runs shared by the normal tests and their long soak versions.
#pragma once

#include <cstddef>

namespace kinetra::test {

// `cycles` axis_init/axis_close pairs on one pty; each is checked and the
// process must end with as many descriptors and as much heap as it began.
void run_open_close_cycles(std::size_t cycles);

// The same for an axis_init refused because another handle holds the port.
void run_refused_open_cycles(std::size_t cycles);

// Whole sessions: open, move, read an upload, flush, close.
void run_session_cycles(std::size_t cycles);

// `ports` handles on as many ptys, each driven from its own thread through
// `rounds` rounds of all five moves and one upload read; every frame must
// reach its own port with its own head byte, in order, nothing lost.
void run_fan_out(std::size_t ports, std::size_t rounds);

} // namespace kinetra::test
