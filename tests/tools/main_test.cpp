// The command line as a user meets it: every wrong command gets one clear line and the right
// exit status, and writes nothing.
#include "support.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

struct Case {
  const char* name;
  std::vector<std::string> args;  // "@" is replaced by the scratch directory
  int status;
  const char* mentions;
};

class CommandLine : public ::testing::Test {
 protected:
  ScratchDir dir;
  void SetUp() override {
    Image picture = testPicture(32, 24);
    picture.depth = SampleDepth::UInt8;
    writeRawImage(dir / "a.png", picture, SampleDepth::UInt8);
    writeRawImage(dir / "b.png", testPicture(32, 24, 2), SampleDepth::UInt8);
    std::ofstream(dir / "junk.png") << "not an image";
    std::ofstream(dir / "fake.ofx") << "not a shared object";
  }
  std::vector<std::string> expand(const std::vector<std::string>& args) const {
    std::vector<std::string> out;
    for (std::string a : args) {
      for (size_t at = a.find('@'); at != std::string::npos; at = a.find('@')) a.replace(at, 1, dir.path);
      out.push_back(a);
    }
    return out;
  }
};

}  // namespace

TEST_F(CommandLine, EveryMistakeGetsOneLineAndItsStatusAndWritesNothing) {
  const std::vector<std::string> good = {"match", "@/a.png", "@/b.png", "-o", "@/out.png"};
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = good;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  const std::vector<Case> cases = {
      {"no command", {}, 2, "subcommand"},
      {"unknown command", {"grade"}, 2, "grade"},
      {"unknown option", with({"--strength", "1"}), 2, "--strength"},
      {"missing output", {"match", "@/a.png", "@/b.png"}, 2, "--output"},
      {"bad mode", with({"--mode", "similar"}), 2, "--mode"},
      {"bad preserve", with({"--preserve", "hue"}), 2, "--preserve"},
      {"mix above one", with({"--mix", "1.5"}), 2, "--mix"},
      {"mix not a number", with({"--mix-g", "nan"}), 2, "--mix-g"},
      {"no threads", with({"--threads", "0"}), 2, "--threads"},
      {"tiny tiles", with({"--tile-size", "2"}), 2, "--tile-size"},
      {"removed --colorspace", with({"--colorspace", "linear"}), 2, "--colorspace was removed: give --source-space"},
      {"unknown working space", with({"--working-space", "log"}), 2, "--working-space: the built-in config has no"},
      {"unknown output space", with({"--output-space", "p3"}), 2, "lin_rec709"},
      {"missing config", with({"--config", "@/none.ocio"}), 1, "none.ocio"},
      {"config not a config", with({"--config", "@/junk.png"}), 1, "--config"},
      {"config out into a directory", with({"--ocio-config-out", "@/looks/"}), 2, "--ocio-config-out"},
      {"config out over its own cube", with({"--ocio-config-out", "@/look.cube"}), 2, "--cube"},
      {"config out per frame, cube once",
       {"match", "@/a.png", "@/b.png", "-o", "@/o.%d.png", "--frames", "1-2", "--ocio-config-out", "@/m.%d.ocio",
        "--cube", "@/one.cube"},
       2,
       "--ocio-config-out"},
      {"bad depth", with({"--depth", "12"}), 2, "--depth"},
      {"depth the format cannot hold", with({"--depth", "half"}), 2, "--depth"},
      {"pattern without frames", {"match", "@/a.%04d.png", "@/b.png", "-o", "@/o.%04d.png"}, 2, "--frames"},
      {"frames into one file", with({"--frames", "1-3"}), 2, "OUTPUT"},
      {"reversed frames", {"match", "@/a.png", "@/b.png", "-o", "@/o.%04d.png", "--frames", "9-3"}, 2, "--frames"},
      {"unknown output type", {"match", "@/a.png", "@/b.png", "-o", "@/out.xyz"}, 2, "out.xyz"},
      {"output over the source", {"match", "@/a.png", "@/b.png", "-o", "@/a.png"}, 2, "SOURCE"},
      {"cube into a directory", with({"--cube", "@/luts/"}), 2, "--cube"},
      {"missing source", {"match", "@/none.png", "@/b.png", "-o", "@/out.png"}, 1, "none.png"},
      {"missing reference frame",
       {"match", "@/a.png", "@/r.%02d.png", "-o", "@/o.%02d.png", "--frames", "1-2"},
       1,
       "r.01.png"},
      {"missing mask", with({"--source-mask", "@/m.png"}), 1, "m.png"},
      {"output directory missing", {"match", "@/a.png", "@/b.png", "-o", "@/nowhere/out.png"}, 1, "nowhere"},
      {"sheet directory missing", with({"--sheet", "@/nowhere/s.png"}), 1, "nowhere"},
      {"plug-in missing", with({"--plugin", "@/none.ofx"}), 1, "none.ofx"},
      {"plug-in not loadable", with({"--plugin", "@/fake.ofx"}), 1, "fake.ofx"},
      {"unreadable source", {"match", "@/junk.png", "@/b.png", "-o", "@/out.png"}, 1, "junk.png"},
  };
  for (const Case& c : cases) {
    const ToolRun run = runTool(toolPath(), expand(c.args));
    EXPECT_EQ(run.status, c.status) << c.name << "\n" << run.err;
    const auto lines = run.errLines();
    ASSERT_EQ(lines.size(), 1u) << c.name << "\n" << run.err;
    EXPECT_EQ(lines[0].rfind("vantrel: error: ", 0), 0u) << c.name << ": " << lines[0];
    EXPECT_NE(lines[0].find(c.mentions), std::string::npos) << c.name << ": " << lines[0];
    EXPECT_EQ(dir.files(), (std::vector<std::string>{"a.png", "b.png", "fake.ofx", "junk.png"})) << c.name;
  }
}

TEST_F(CommandLine, HelpExplainsColourSpacesAndExitStatus) {
  ToolRun run = runTool(toolPath(), {"match", "--help"});
  EXPECT_EQ(run.status, 0);
  for (const char* text : {"--working-space", "Gamma 2.4 Rec.709 - Headroom (gamma 2.4 code values scaled by 59/64",
                           "$OCIO", "Gamma 2.4 Rec.709 (rec709)", "--colorspace was removed", "Exit status"})
    EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << run.out;
  EXPECT_TRUE(run.err.empty()) << run.err;

  run = runTool(toolPath(), {"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("--colorspace was removed"), std::string::npos) << run.out;
}

TEST_F(CommandLine, PlugInFailuresAreReportedWithTheirStatusAndMessages) {
  const std::vector<std::string> args =
      expand({"match", "@/a.png", "@/b.png", "-o", "@/out.png", "--plugin", VANTREL_FAILING_EFFECT});
  ToolRun run = runTool(toolPath(), args, {"FAILING_EFFECT=load"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("failed to load (kOfxStatErrMissingHostFeature 4)"), std::string::npos) << run.err;

  run = runTool(toolPath(), args, {"FAILING_EFFECT=render"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("vantrel: plug-in OfxMessageError: no pixels for you"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("vantrel: error: frame 0: render at time 0"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("kOfxStatErrMemory 8"), std::string::npos) << run.err;
  EXPECT_EQ(dir.files(), (std::vector<std::string>{"a.png", "b.png", "fake.ofx", "junk.png"}));
}

TEST_F(CommandLine, AFileSizeLimitIsAFailureNotASignal) {
  writeRawImage(dir / "big.exr", testPicture(512, 512, 3), SampleDepth::Float);
  const std::string command =
      "ulimit -f 64; exec '" + toolPath() + "' match big.exr b.png -o out.exr --plugin '" + pluginPath() + "'";
  const ToolRun run = runTool("/bin/bash", {"-c", command}, {}, dir.path);
  EXPECT_EQ(run.status, 1) << run.err;
  // A note may say why the match was learnt by the statistics; the tool says one thing wrong.
  std::vector<std::string> lines;
  for (const std::string& line : run.errLines())
    if (line.rfind("vantrel: Different Clips Learner ", 0) != 0) lines.push_back(line);
  ASSERT_EQ(lines.size(), 1u) << run.err;
  EXPECT_NE(lines[0].find("vantrel: error: cannot write '"), std::string::npos) << lines[0];
  EXPECT_EQ(dir.files(), (std::vector<std::string>{"a.png", "b.png", "big.exr", "fake.ofx", "junk.png"}));
}
