// Load runs shared by the normal tests and their long soak versions.
#pragma once

#include <cstddef>
#include <string>

namespace kinetra::test {

// `cycles` axis_init/axis_close pairs on one pty; each is checked and the
// process must end with as many descriptors and as much heap as it began.
void run_open_close_cycles(std::size_t cycles);

// Why `port` refuses an open: the errno of each step of the open done by
// hand (open, flock, TIOCEXCL), the flocks /proc/locks shows on it and
// which processes have it open, and how long until axis_init succeeds.
std::string diagnose_refused_open(const std::string &port);

// The same for an axis_init refused because another handle holds the port.
void run_refused_open_cycles(std::size_t cycles);

// Whole sessions: open, move, read an upload, flush, close.
void run_session_cycles(std::size_t cycles);

// `ports` handles on as many ptys, each driven from its own thread through
// one upload read and `rounds` rounds of all five moves, with a reader
// thread per port on the far side. Every byte a move reports as written
// must reach its own port, in order, with its own head byte; nothing else
// may arrive. With `every_write_whole`, no write may have been cut short by
// its timeout either: true whenever the traffic fits the tty's buffer, so
// that a slow reader on a loaded machine cannot matter.
void run_fan_out(std::size_t ports, std::size_t rounds, bool every_write_whole);

} // namespace kinetra::test
