// `vantrel match --analysis`: the frames a match is learnt from, read from the sequences, named in
// the reports, and the same whatever the split of the shot.
#include "support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A moving shot of eight frames (1001-1008), a still Reference and masks per frame.
class Shot : public ::testing::Test {
 protected:
  ScratchDir dir;
  void SetUp() override {
    for (const char* sub : {"plates", "mattes", "out", "a", "b"}) fs::create_directory(dir / sub);
    for (int f = 1001; f <= 1008; ++f) {
      writeRawImage(dir / ("plates/shot." + std::to_string(f) + ".exr"), testPicture(40, 30, f - 1000),
                    SampleDepth::Float);
      Image matte = testPicture(20, 15, 3 * f);
      matte.channels = 1;
      matte.pixels.resize(20 * 15);
      writeRawImage(dir / ("mattes/m." + std::to_string(f) + ".png"), matte, SampleDepth::UInt8);
    }
    writeRawImage(dir / "reference.exr", testPicture(36, 36, 11), SampleDepth::Float);
  }
  ToolRun match(const std::string& output, const std::string& frames, std::vector<std::string> more) {
    std::vector<std::string> args = {"plates/shot.%04d.exr", "reference.exr", "-o", output, "--frames", frames};
    if (std::find(more.begin(), more.end(), "-v") == more.end()) args.push_back("-q");
    args.insert(args.end(), more.begin(), more.end());
    return runMatch(dir, args);
  }
  nlohmann::json report(const std::string& name) { return nlohmann::json::parse(readText(dir / name)); }
};

}  // namespace

// The plug-in's own .cube export of every frame shows the grade each frame got: one for the whole
// shot under key and range, one per frame under window and current.
TEST_F(Shot, KeyAndRangeHoldOneMatchForTheShotWindowAndCurrentFollowIt) {
  const struct {
    std::vector<std::string> options;
    bool oneMatch;
  } cases[] = {{{"--analysis", "key", "--key-frame", "1003"}, true},
               {{"--analysis", "range"}, true},
               {{"--analysis", "range", "--analysis-frames", "1002-1007", "--frame-step", "2"}, true},
               {{"--analysis", "window", "--window-radius", "2"}, false},
               {{}, false}};
  for (const auto& c : cases) {
    std::vector<std::string> options = c.options;
    options.insert(options.end(), {"--cube", "out/look.%04d.cube"});
    const ToolRun run = match("out/o.%04d.exr", "1001-1008", options);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string first = readText(dir / "out/look.1001.cube");
    ASSERT_FALSE(first.empty());
    int same = 0;
    for (int f = 1002; f <= 1008; ++f) same += readText(dir / ("out/look." + std::to_string(f) + ".cube")) == first;
    EXPECT_EQ(same, c.oneMatch ? 7 : 0) << (c.options.empty() ? "current" : c.options[1]);
  }
}

TEST_F(Shot, ReportsNameTheFramesLearntFromAndWhatWasLeftOut) {
  ToolRun run = match("out/o.%04d.exr", "1004-1005",
                      {"--analysis", "window", "--window-radius", "2", "--report", "--report-json", "out/r.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("frame 1004: Learnt from frames 1002-1006 (5 frames)"), std::string::npos) << run.out;
  nlohmann::json r = report("out/r.json");
  EXPECT_EQ(r["settings"]["analysis"]["mode"], "window");
  EXPECT_EQ(r["settings"]["analysis"]["shot"], nlohmann::json({1001, 1008})) << "from disk, not --frames";
  EXPECT_EQ(r["frames"][1]["learnt_from"], nlohmann::json({1003, 1004, 1005, 1006, 1007}));
  EXPECT_EQ(r["files_read"], 7) << "frames 1002-1007 and the Reference, each once";

  // A plate missing inside the shot: left out, said once by the plug-in, named by the reports.
  fs::remove(dir / "plates/shot.1006.exr");
  run = match("out/o.%04d.exr", "1004-1005", {"--analysis", "range", "--report", "--report-json", "out/r.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("frame 1005: Learnt from frames 1001-1005, 1007-1008 (7 frames); missing on disk, left "
                         "out: 1006"),
            std::string::npos)
      << run.out;
  r = report("out/r.json");
  EXPECT_EQ(r["frames"][0]["left_out"], nlohmann::json({1006}));
  EXPECT_EQ(r["settings"]["analysis"]["frames"], nlohmann::json({1001, 1008}));
  run = match("out/o.%04d.exr", "1004-1005", {"--analysis", "range", "-v"});
  size_t said = 0;
  for (size_t at = run.err.find("could not give frame 1006"); at != std::string::npos;
       at = run.err.find("could not give frame 1006", at + 1))
    ++said;
  EXPECT_EQ(said, 2u) << "once from the plug-in's line, once as its message\n" << run.err;
}

// Masks with a placeholder are read at every frame the match pools; a frame whose matte is
// missing is left out whole rather than pooled unmasked.
TEST_F(Shot, MaskSequencesArePooledFrameByFrame) {
  ToolRun run = match("a/o.%04d.exr", "1001-1002",
                      {"--analysis", "range", "--source-mask", "mattes/m.%04d.png", "--report-json", "a/r.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(report("a/r.json")["files_read"], 17) << "eight plates, eight mattes, the Reference";
  run = match("b/o.%04d.exr", "1001-1002", {"--analysis", "range"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(readRawImage(dir / "a/o.1001.exr").pixels, readRawImage(dir / "b/o.1001.exr").pixels);

  fs::remove(dir / "mattes/m.1008.png");
  run = match("a/o.%04d.exr", "1001-1001",
              {"--analysis", "range", "--source-mask", "mattes/m.%04d.png", "--report-json", "a/r.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(report("a/r.json")["frames"][0]["left_out"], nlohmann::json({1008}));
}

// A shot split into jobs, each over part of the range, gives the frames of one run, in every
// choice; a frame cache too small for the shot reads files again but changes no pixel.
TEST_F(Shot, ASplitShotGivesTheFramesOfOneRun) {
  const std::vector<std::vector<std::string>> choices = {{"--analysis", "range", "--frame-step", "3"},
                                                         {"--analysis", "window", "--window-radius", "3"},
                                                         {"--analysis", "key"},
                                                         {"--mode", "same", "--analysis", "window"}};
  for (const auto& choice : choices) {
    SCOPED_TRACE(choice[1] + " " + choice.back());
    std::vector<std::string> whole = choice;
    whole.insert(whole.end(), {"--report-json", "a/r.json"});
    ASSERT_EQ(match("a/o.%04d.exr", "1001-1008", whole).status, 0);
    for (const char* part : {"1001-1003", "1004-1008"}) ASSERT_EQ(match("b/o.%04d.exr", part, choice).status, 0);
    std::vector<std::string> small = choice;
    small.insert(small.end(), {"--frame-cache", "0.01", "--report-json", "out/r.json"});
    ASSERT_EQ(match("out/o.%04d.exr", "1001-1008", small).status, 0);
    for (int f = 1001; f <= 1008; ++f) {
      const std::string name = "o." + std::to_string(f) + ".exr";
      const Image one = readRawImage(dir / ("a/" + name));
      ASSERT_GT(one.width, 0);
      EXPECT_EQ(readRawImage(dir / ("b/" + name)).pixels, one.pixels) << name;
      EXPECT_EQ(readRawImage(dir / ("out/" + name)).pixels, one.pixels) << name;
    }
    EXPECT_EQ(report("a/r.json")["files_read"], 9) << "every plate once and the Reference";
    if (choice[1] == "window") {
      EXPECT_GT(report("out/r.json")["files_read"], 9) << "read again, no room to keep";
    }
  }
}

TEST_F(Shot, AnalysisOptionsOutOfPlaceAreUsageErrors) {
  const struct {
    std::vector<std::string> options;
    const char* said;
  } cases[] = {{{"--key-frame", "1003"}, "--key-frame goes with --analysis key"},
               {{"--analysis", "window", "--analysis-frames", "1-4"}, "--analysis-frames goes with --analysis range"},
               {{"--analysis", "range", "--window-radius", "2"}, "--window-radius goes with --analysis window"},
               {{"--analysis", "key", "--frame-step", "2"}, "--frame-step goes with --analysis range or window"},
               {{"--analysis", "range", "--analysis-frames", "9-4"}, "--analysis-frames '9-4'"},
               {{"--analysis", "sometimes"}, "--analysis"}};
  for (const auto& c : cases) {
    const ToolRun run = match("out/o.%04d.exr", "1001-1002", c.options);
    EXPECT_EQ(run.status, 2) << c.said;
    EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir / "out/o.1001.exr"));
  }
}

size_t countOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Frames the match should learn from that are not there: none is an error before anything is
// written; some are a warning of every frame they concern (said once), with the plug-in's own
// message; a key frame outside the shot names the frame taken; a stray file that joins the shot
// is named once. Every warning is in the JSON report.
TEST_F(Shot, MissingAndStrayFramesAreSaidAndNoFrameToLearnFromIsAnError) {
  auto run = [&](std::vector<std::string> options) {
    std::vector<std::string> args = {"plates/shot.%04d.exr", "reference.exr", "-o",
                                     "out/o.%04d.exr",       "--frames",      "1001-1002",
                                     "--report-json",        "r.json"};
    args.insert(args.end(), options.begin(), options.end());
    return runMatch(dir, args);
  };
  fs::remove(dir / "plates/shot.1006.exr");
  for (const auto& [options, said] :
       {std::pair<std::vector<std::string>, std::string>{{"--analysis", "range", "--analysis-frames", "3000-3010"},
                                                         "--analysis-frames 3000-3010: none of these frames lies in "
                                                         "the shot (frames 1001-1008 of SOURCE on disk)"},
        {{"--analysis", "key", "--key-frame", "1006"}, "the match would be learnt from frame 1006, missing on disk"}}) {
    const ToolRun failed = run(options);
    EXPECT_EQ(failed.status, 1) << failed.err;
    EXPECT_NE(failed.err.find(said), std::string::npos) << failed.err;
    EXPECT_TRUE(fs::is_empty(dir / "out")) << "nothing written";
  }

  ToolRun some = run({"--analysis", "range"});
  ASSERT_EQ(some.status, 0) << some.err;
  EXPECT_EQ(countOf(some.err, "warning: frame 1001: frame 1006 of the 8 the match is learnt from is missing"), 1u)
      << some.err;
  EXPECT_EQ(countOf(some.err, "frame 1006 of the 8"), 1u) << "said once on standard error";
  nlohmann::json r = report("r.json");
  for (int i : {0, 1})
    EXPECT_NE(r["frames"][i]["warnings"].dump().find("frame 1006 of the 8 the match is learnt from is missing"),
              std::string::npos)
        << r["frames"][i]["warnings"];
  EXPECT_NE(r["frames"][0]["warnings"].dump().find("frame 1001: plug-in OfxMessageWarning: The host could not "
                                                   "give frame 1006: the match is learnt from the other 7."),
            std::string::npos)
      << r["frames"][0]["warnings"];

  const ToolRun outside = run({"--analysis", "key", "--key-frame", "5000"});
  ASSERT_EQ(outside.status, 0) << outside.err;
  const std::string taken =
      "--key-frame 5000 lies outside the shot (frames 1001-1008 of SOURCE on disk): the "
      "match is learnt from frame 1008, its nearest end";
  EXPECT_NE(outside.err.find(taken), std::string::npos) << outside.err;
  r = report("r.json");
  EXPECT_EQ(r["warnings"], nlohmann::json({taken}));
  EXPECT_EQ(r["frames"][1]["learnt_from"], nlohmann::json({1008}));

  fs::copy_file(dir / "plates/shot.1001.exr", dir / "plates/shot.0900.exr");
  const std::string stray =
      "SOURCE 'plates/shot.%04d.exr': the shot is its files on disk, frames 900-1008; outside "
      "--frames 1001-1002 these join it: 900, 1003-1005, 1007-1008";
  for (const char* analysis : {"range", "current"}) {
    const ToolRun straying = run({"--analysis", analysis});
    ASSERT_EQ(straying.status, 0) << straying.err;
    EXPECT_EQ(countOf(straying.err, stray), 1u) << straying.err;
    const bool warned = std::string(analysis) == "range";  // current learns nothing from the shot
    EXPECT_EQ(countOf(straying.err, "warning: " + stray + " (some lie apart"), warned ? 1u : 0u) << straying.err;
    EXPECT_EQ(report("r.json")["warnings"].dump().find(stray) != std::string::npos, warned);
  }
}
