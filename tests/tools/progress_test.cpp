#include "progress.h"
#include "console.h"

#include <gtest/gtest.h>

// A terminal gets a redrawn bar; a log gets one plain line per frame. Both carry the rate and the
// time left, worked out from the frames done so far.
TEST(Progress, BarOnATerminalPlainLinesElsewhere) {
  Progress p;
  p.total = 48;
  p.done = 12;
  p.terminal = true;
  EXPECT_EQ(progressLine(p, 1012, 6.0), "[#######-----------------------] 12/48 frames  2.00 fps  0:18 left");
  p.terminal = false;
  EXPECT_EQ(progressLine(p, 1012, 6.0), "vantrel: frame 1012 done (12/48, 2.00 fps, 0:18 left)");
  p.done = 48;
  EXPECT_EQ(progressLine(p, 1048, 24.0), "vantrel: frame 1048 done (48/48, 2.00 fps, 0:00 left)");
  p.done = 0;
  EXPECT_EQ(progressLine(p, 1001, 0.0), "vantrel: frame 1001 done (0/48, 0.00 fps, ? left)");
}

TEST(Progress, DurationsReadAsClockTimes) {
  EXPECT_EQ(formatDuration(65.4), "1:05");
  EXPECT_EQ(formatDuration(3725), "1:02:05");
  EXPECT_EQ(formatDuration(-1), "?");
  EXPECT_EQ(formatDuration(1.0 / 0.0), "?");
}

// What the default verbosity lets through of the plug-in's own lines: failures, not chatter.
TEST(Console, OnlyFailureDiagnosticsPassByDefault) {
  for (const char* line :
       {"Vantrel: Export FAILED\n", "Vantrel: Invalid image layout on clip Source - render refused\n",
        "Vantrel: LUT build failed - not enough memory, rendering without the match\n",
        "Vantrel: Unsupported pixel format on clip Output - render refused\n"})
    EXPECT_TRUE(isFailureDiagnostic(line)) << line;
  for (const char* line :
       {"Vantrel: Parameter changed - LUT invalidated\n", "Vantrel: Export successful\n", "Vantrel: CREATE INSTANCE\n"})
    EXPECT_FALSE(isFailureDiagnostic(line)) << line;
}
