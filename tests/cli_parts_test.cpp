// The command's parts that need no process: the progress line's words.
#include <gtest/gtest.h>

#include "progress.h"

namespace marlune::cli {
namespace {

TEST(Progress, CountsSoFarUntilTheWalkEndsAndOnlyThenTellsTheTimeLeft) {
    const std::uint64_t mib = 1024 * 1024;
    EXPECT_EQ(progressText(5, 120, 10 * mib, 40 * mib, false, 10), "5/120 files so far, 10.0 MiB of 40.0 MiB so far");
    EXPECT_EQ(progressText(5, 120, 10 * mib, 40 * mib, true, 10),
              "5/120 files, 10.0 MiB of 40.0 MiB, 1.0 MiB/s, 0:30 left");
}

}  // namespace
}  // namespace marlune::cli
