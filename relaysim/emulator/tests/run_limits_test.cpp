// Tests of the limits a large run checks before it starts.
#include "run_limits.h"

#include <gtest/gtest.h>

TEST(RunLimitsTest, SoftLimitIsRaisedAsFarAsNeededWithinTheHardOne)
{
    const rlim_t INF = RLIM_INFINITY;
    const struct {
        rlim_t needed, soft, hard;
        bool ok;
        rlim_t raise_to;
    } cases[] = {
        {3064, 1024, 1048576, true, 3064},  // Debian's defaults: raised to what the run needs
        {500, 1024, 1048576, true, 1024},   // enough already: left as it is
        {3064, 1024, 1024, false, 1024},    // the hard limit can't cover it
        {3064, 1024, 3064, true, 3064},     // exactly the hard limit
        {3064, 1024, INF, true, 3064},
        {3064, INF, INF, true, INF},
    };
    for (const auto& c : cases) {
        rlim_t to = 0;
        EXPECT_EQ(run_limits::soft_limit_for(c.needed, c.soft, c.hard, to), c.ok) << c.soft << " " << c.hard;
        EXPECT_EQ(to, c.raise_to) << c.soft << " " << c.hard;
    }
    EXPECT_EQ(run_limits::files_needed(3000), 3064u);
}
