#include "support.h"

#include <gtest/gtest.h>

TEST(Info, ShowsTheEffectAsAHostSeesItFromTheDefaultBundle) {
  // No --plugin and no OFX_PLUGIN_PATH: the bundle beside the built program.
  const ToolRun run = runTool(toolPath(), {"info"});
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* expected :
       {"label: Vantrel", "grouping: Kestrow", "Context OfxImageEffectContextGeneral",
        "Context OfxImageEffectContextFilter", "ReferenceMask \"Reference Mask\"",
        "strength (OfxParamTypeDouble) \"Mix\"", "options: 0 \"Different Clips\", 1 \"Same Frame\"",
        "exportCDLButton (OfxParamTypePushButton)"})
    EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\n" << run.out;
  EXPECT_NE(run.out.find("Brenvale.ofx.bundle/Contents/Linux-x86-64/Brenvale.ofx"), std::string::npos);
}
