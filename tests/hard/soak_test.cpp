// The load runs at a hundred times their everyday size. Labelled "long":
// every suite runs them; `ctest -LE long` leaves them out of a quick run.
#include "load.h"

#include <gtest/gtest.h>

namespace kinetra::test {
namespace {

TEST(Soak, AMillionOpenCloseCycles) { run_open_close_cycles(1000000); }

TEST(Soak, AHundredThousandRefusedOpens) { run_refused_open_cycles(100000); }

TEST(Soak, AHundredThousandWholeSessions) { run_session_cycles(100000); }

TEST(Soak, SixtyFourThreadsTenThousandRoundsEach) { run_fan_out(64, 10000, false); }

} // namespace
} // namespace kinetra::test
