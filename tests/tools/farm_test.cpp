// The examples of docs/farm.md and the README, run as written.
#include "support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

TEST(Farm, TheDocumentedParallelSplitGivesTheFramesOfOneWholeRun) {
  const std::string example =
      documentedExample(std::string(VANTREL_SOURCE_DIR) + "/docs/farm.md", "<!-- example: parallel -->");
  ASSERT_NE(example.find("parallel"), std::string::npos);

  ScratchDir dir;
  for (const char* sub : {"plates", "grade", "matched", "whole"}) fs::create_directory(dir / sub);
  for (int frame = 1001; frame <= 1012; ++frame)
    writeRawImage(dir / ("plates/shot." + std::to_string(frame) + ".exr"), testPicture(48, 32, frame % 5),
                  SampleDepth::Float);
  writeRawImage(dir / "grade/reference.exr", testPicture(40, 40, 7), SampleDepth::Float);
  std::ofstream(dir / "example.sh") << example;

  const std::string toolDir = fs::path(toolPath()).parent_path().string();
  const std::string path = "PATH=" + toolDir + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
  ToolRun run = runTool("/bin/bash", {"-e", "example.sh"}, {path}, dir.path);
  ASSERT_EQ(run.status, 0) << run.err;

  run = runTool(
      toolPath(),
      {"match", "plates/shot.%04d.exr", "grade/reference.exr", "-o", "whole/shot.%04d.exr", "--frames", "1001-1012"},
      {}, dir.path);
  ASSERT_EQ(run.status, 0) << run.err;
  for (int frame = 1001; frame <= 1012; ++frame) {
    const std::string name = "shot." + std::to_string(frame) + ".exr";
    const Image split = readRawImage(dir / ("matched/" + name)), whole = readRawImage(dir / ("whole/" + name));
    ASSERT_GT(split.width, 0) << name;
    EXPECT_EQ(split.pixels, whole.pixels) << name;
  }
}

namespace {

// A documented block of shell commands, typed as printed in a copy of the repository's folder
// (its photographs) with the built `vantrel` on PATH.
ToolRun runDocumented(const std::string& doc, const std::string& marker, const ScratchDir& dir) {
  const std::string example = documentedExample(std::string(VANTREL_SOURCE_DIR) + "/" + doc, marker);
  EXPECT_NE(example.find("vantrel match"), std::string::npos) << doc;
  fs::create_directory(dir / "tests");
  fs::create_directory_symlink(std::string(VANTREL_SOURCE_DIR) + "/tests/data", dir / "tests/data");
  std::ofstream(dir / "example.sh") << example;
  const std::string toolDir = fs::path(toolPath()).parent_path().string();
  const std::string path = "PATH=" + toolDir + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
  return runTool("/bin/bash", {"-e", "example.sh"}, {path}, dir.path);
}

}  // namespace

// The README's first example.
TEST(Docs, TheReadmeMatchExampleRunsAsPrinted) {
  ScratchDir dir;
  const ToolRun run = runDocumented("README.md", "<!-- example: match -->", dir);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("Output vs Reference"), std::string::npos) << run.out;
  for (const char* name : {"matched.png", "same.png", "look.cube", "sheet.png"})
    EXPECT_TRUE(fs::exists(dir / name)) << name;
}

// docs/vantrel.md's block of `vantrel` commands.
TEST(Docs, TheVantrelGuideExamplesRunAsPrinted) {
  ScratchDir dir;
  const ToolRun run = runDocumented("docs/vantrel.md", "<!-- example: vantrel -->", dir);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("Output vs Reference"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("skipped: 1001-1003"), std::string::npos) << run.err;
  // Every Different Clips report of the block, the scene-linear plate's included, brings both
  // the mean colour and the spread closer.
  std::istringstream lines(run.out);
  std::string line;
  double before[2] = {0, 0};
  int reports = 0;
  while (std::getline(lines, line)) {
    double colour = 0, spread = 0;
    if (std::sscanf(line.c_str(), "Source vs Reference: mean colour %lf, spread %lf", &colour, &spread) == 2) {
      before[0] = colour;
      before[1] = spread;
    } else if (std::sscanf(line.c_str(), "Output vs Reference: mean colour %lf, spread %lf", &colour, &spread) == 2) {
      ++reports;
      EXPECT_LT(colour, 0.2 * before[0]) << line;
      EXPECT_LT(spread, before[1]) << line;
    }
  }
  EXPECT_EQ(reports, 2) << run.out;
  std::ifstream json(dir / "out/report.json");
  const nlohmann::json report = nlohmann::json::parse(json);
  EXPECT_EQ(report["frames"].size(), 3u);
  for (const char* name : {"matched.png", "same.png", "look.cube", "look.cdl", "sheet.png", "out/shot.1003.exr"})
    EXPECT_TRUE(fs::exists(dir / name)) << name;
}

// The README's shot example, run as printed, prints the lines the README shows.
TEST(Docs, TheReadmeShotExampleRunsAsPrinted) {
  const std::string readme = std::string(VANTREL_SOURCE_DIR) + "/README.md";
  ASSERT_NE(documentedExample(readme, "<!-- example: shots -->").find("--analysis range"), std::string::npos);
  ScratchDir dir;
  const ToolRun run = runDocumented("README.md", "<!-- example: shots -->", dir);
  ASSERT_EQ(run.status, 0) << run.err;
  std::ifstream text(readme);
  int shown = 0;
  for (std::string line; std::getline(text, line);)
    if (line.rfind("    frame 100", 0) == 0) {
      ++shown;
      EXPECT_NE(run.out.find(line.substr(4) + "\n"), std::string::npos) << line << "\n" << run.out;
    }
  EXPECT_EQ(shown, 2);
  const nlohmann::json report = nlohmann::json::parse(std::ifstream(dir / "matched/report.json"));
  EXPECT_EQ(report["frames"][3]["learnt_from"].size(), 6u);
}

// docs/vantrel.md describes every option the help lists, and names no option the help lacks
// (the manual page is made from the help), so the three cannot drift apart.
TEST(Docs, TheOptionReferenceFollowsTheHelp) {
  // Every "--name" not inside a longer word: what follows a character other than a letter,
  // digit, underscore or dash.
  auto options = [](const std::string& text) {
    std::set<std::string> found;
    auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'; };
    for (size_t at = text.find("--"); at != std::string::npos; at = text.find("--", at + 2)) {
      if ((at > 0 && word(text[at - 1])) || at + 2 >= text.size() ||
          !std::islower(static_cast<unsigned char>(text[at + 2])))
        continue;
      size_t end = at + 3;
      while (end < text.size() && (std::islower(static_cast<unsigned char>(text[end])) ||
                                   std::isdigit(static_cast<unsigned char>(text[end])) || text[end] == '-'))
        ++end;
      found.insert(text.substr(at, end - at));
    }
    return found;
  };
  std::string help;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--help"}, {"match", "--help"}, {"info", "--help"}}) {
    const ToolRun run = runTool(toolPath(), args);
    ASSERT_EQ(run.status, 0) << run.err;
    help += run.out;
  }
  std::ifstream in(std::string(VANTREL_SOURCE_DIR) + "/docs/vantrel.md");
  const std::string doc((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::set<std::string> inHelp = options(help), inDoc = options(doc);
  ASSERT_GT(inHelp.size(), 30u);
  for (const std::string& o : inHelp) EXPECT_TRUE(inDoc.count(o)) << o << " is in --help but not in docs/vantrel.md";
  // Options of other programs the guide's examples run, and the one it says was removed.
  const std::set<std::string> others = {"--mulc", "--colorconvert", "--cut", "--colorspace"};
  for (const std::string& o : inDoc)
    EXPECT_TRUE(inHelp.count(o) || others.count(o)) << o << " is in docs/vantrel.md but not in --help";
}
