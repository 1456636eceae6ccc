// Many handles, many threads, many cycles: nothing lost, nothing crossed,
// nothing left behind.
#include "load.h"

#include <gtest/gtest.h>

namespace kinetra::test {
namespace {

TEST(Lifecycle, TenThousandOpenCloseCyclesLeaveNothingBehind) { run_open_close_cycles(10000); }

TEST(Lifecycle, TenThousandRefusedOpensLeaveNothingBehind) { run_refused_open_cycles(10000); }

TEST(Lifecycle, AThousandWholeSessionsLeaveNothingBehind) { run_session_cycles(1000); }

TEST(Concurrency, SixtyFourHandlesFromSixtyFourThreads) { run_fan_out(64, 100, true); }

} // namespace
} // namespace kinetra::test
