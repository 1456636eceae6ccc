// The load runs at a hundred times their everyday size. Labelled "long":
// every suite runs them; `ctest -LE long` leaves them out of a quick run.
#include "load.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace kinetra::test {
namespace {

// KINETRA_SOAK_OPEN_CLOSE_CYCLES=N runs N cycles instead, for a long hunt
// beside other tests without a build of its own.
std::size_t open_close_cycles() {
    const char *given = std::getenv("KINETRA_SOAK_OPEN_CLOSE_CYCLES");
    return given != nullptr && *given != '\0' ? std::stoull(given) : 1000000;
}

TEST(Soak, AMillionOpenCloseCycles) { run_open_close_cycles(open_close_cycles()); }

TEST(Soak, AHundredThousandRefusedOpens) { run_refused_open_cycles(100000); }

TEST(Soak, AHundredThousandWholeSessions) { run_session_cycles(100000); }

TEST(Soak, SixtyFourThreadsTenThousandRoundsEach) { run_fan_out(64, 10000, false); }

} // namespace
} // namespace kinetra::test
