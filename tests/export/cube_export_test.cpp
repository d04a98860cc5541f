#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <string>

#include "export_test_util.h"
#include "module_fixture.h"

namespace {

using CubeExport = ModuleTest;

const std::string kMixLine = "Vantrel: Exporting cached LUT with Mix=1.000, R=1.000, G=1.000, B=1.000\n";

std::string stampedName(time_t when, const char* extension) {
  struct tm local;
  localtime_r(&when, &local);
  char name[64];
  strftime(name, sizeof name, "Vantrel_%Y%m%d_%H%M%S", &local);
  return name + std::string(extension);
}

// The one file in dir whose name carries a timestamp taken between before and after.
bool holdsStampedFile(const ScratchDir& dir, time_t before, time_t after, const char* extension) {
  for (const std::string& name : dir.entries())
    for (time_t t = before; t <= after; ++t)
      if (name == stampedName(t, extension)) return true;
  return false;
}

TEST_F(CubeExport, WritesTheFileStoresThePathAndTellsTheUser) {
  ScratchDir dir;
  installLut([](float r, float g, float b, float* out) {
    out[0] = 1.0f - r;
    out[1] = g * g;
    out[2] = 0.5f * b;
  });
  setMixes(0.5, 1.0, 0.5, 0.0);
  host_.setParamString(instance_, "exportPath", dir.file("look"));
  EXPECT_EQ(change("exportButton"), kOfxStatReplyDefault);
  EXPECT_EQ(host_.lastStderr(),
            "Vantrel: Exporting cached LUT with Mix=0.500, R=1.000, G=0.500, B=0.000\nVantrel: Export successful\n");
  const std::string path = dir.file("look.cube");
  EXPECT_EQ(exportPath(), path);
  auto messages = host_.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].type, kOfxMessageMessage);
  EXPECT_FALSE(messages[0].id.has_value());
  EXPECT_EQ(messages[0].text, "LUT saved to:\n" + path);

  std::string text = readFile(path);
  EXPECT_EQ(text.substr(0, text.find("# LUT size")),
            "TITLE \"Vantrel LUT\"\n# Baked strength: Mix=0.5000, R=1.0000, G=0.5000, B=0.0000\n"
            "# Combined: sR=0.5000, sG=0.2500, sB=0.0000\n");
  EXPECT_NE(text.find("# Raw LUT[mid]: 0.5000 0.2500 0.2500\n# Raw LUT[1,1,1]: 0.0000 1.0000 0.5000\n"
                      "LUT_3D_SIZE 65\n\n0.500000 0.000000 0.000000\n"),
            std::string::npos);
  EXPECT_EQ(text.size(), text.find("LUT_3D_SIZE 65\n\n") + 16 + 7414875);
  EXPECT_TRUE(record_->lut.valid);

  // Pressing again without editing the path overwrites the same file.
  setMixes(0.0, 1.0, 1.0, 1.0);
  EXPECT_EQ(change("exportButton"), kOfxStatReplyDefault);
  EXPECT_EQ(exportPath(), path);
  EXPECT_EQ(dir.entries().size(), 1u);
  EXPECT_NE(readFile(path).find("LUT_3D_SIZE 65\n\n0.000000 0.000000 0.000000\n0.015625 0.000000"),
            std::string::npos);
}

TEST_F(CubeExport, DefaultNameUnderHomeAndAfterATrailingSeparator) {
  ScratchDir dir;
  installIdentity();
  const char* savedHome = getenv("HOME");
  std::string restore = savedHome ? savedHome : "";
  setenv("HOME", dir.path().c_str(), 1);
  time_t before = time(nullptr);
  EXPECT_EQ(change("exportButton"), kOfxStatReplyDefault);
  time_t after = time(nullptr);
  if (savedHome) {
    setenv("HOME", restore.c_str(), 1);
  } else {
    unsetenv("HOME");
  }
  EXPECT_TRUE(holdsStampedFile(dir, before, after, ".cube"));
  EXPECT_EQ(exportPath().rfind(dir.path() + "/Vantrel_", 0), 0u) << exportPath();

  ScratchDir other;
  host_.setParamString(instance_, "exportPath", other.path() + "/");
  before = time(nullptr);
  EXPECT_EQ(change("exportButton"), kOfxStatReplyDefault);
  after = time(nullptr);
  EXPECT_TRUE(holdsStampedFile(other, before, after, ".cube"));
  EXPECT_EQ(host_.messages().back().text, "LUT saved to:\n" + exportPath());
}

TEST_F(CubeExport, PercentSignsReachTheUserAsTyped) {
  ScratchDir dir;
  installIdentity();
  const std::string path = dir.file("100% %s %n %d look.cube");
  host_.setParamString(instance_, "exportPath", path);
  EXPECT_EQ(change("exportButton"), kOfxStatReplyDefault);
  EXPECT_EQ(host_.messages().back().text, "LUT saved to:\n" + path);
  EXPECT_EQ(readFile(path).rfind("TITLE", 0), 0u);
}

// Every path that cannot be written fails the same way, and nothing changes on disk or in the
// parameter.
TEST_F(CubeExport, UnwritablePathsFailCleanly) {
  ScratchDir dir;
  installIdentity();
  writeFile(dir.file("keep.cube"), "good");
  std::filesystem::create_directory(dir.file("folder.cube"));
  const std::string paths[] = {dir.file("missing/look"), dir.file("missing/"), dir.file("folder.cube"),
                               dir.file(std::string(1100, 'x')), dir.path() + "/" + std::string(1019 - dir.path().size(), 'y')};
  for (const std::string& path : paths) {
    host_.setParamString(instance_, "exportPath", path);
    host_.clearMessages();
    EXPECT_EQ(change("exportButton"), kOfxStatReplyDefault);
    EXPECT_EQ(host_.lastStderr(), kMixLine + "Vantrel: Export FAILED\n") << path;
    auto messages = host_.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].type, kOfxMessageError);
    EXPECT_EQ(messages[0].text, "Failed to save .cube file");
    EXPECT_EQ(exportPath(), path);
    EXPECT_TRUE(record_->lut.valid);
  }
  EXPECT_EQ(dir.entries().size(), 2u);
  EXPECT_EQ(readFile(dir.file("keep.cube")), "good");
}

// A file size limit makes the write fail; the host process survives and the old file stays.
TEST_F(CubeExport, FileSizeLimitFailsWithoutReplacingTheFile) {
  ScratchDir dir;
  installIdentity();
  const std::string path = dir.file("keep.cube");
  writeFile(path, "good");
  host_.setParamString(instance_, "exportPath", path);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_DFL);
    struct rlimit limit = {1 << 20, 1 << 20};
    setrlimit(RLIMIT_FSIZE, &limit);
    bool ok = change("exportButton") == kOfxStatReplyDefault &&
              host_.lastStderr() == kMixLine + "Vantrel: Export FAILED\n" && host_.messages().size() == 1 &&
              host_.messages()[0].text == "Failed to save .cube file" && exportPath() == path;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(readFile(path), "good");
  EXPECT_EQ(dir.entries().size(), 1u);
}

// The host may answer a message or the new "exportPath" with a nested instance-changed action;
// the export holds no lock by then.
class CubeExportNested : public ModuleTest {
 protected:
  CubeExportNested() : ModuleTest(false) {}
};

TEST_F(CubeExportNested, NestedActionsDuringTheReport) {
  ScratchDir dir;
  installIdentity();
  host_.setParamString(instance_, "exportPath", dir.file("look.cube"));
  std::vector<OfxStatus> nested;
  host_.onMessage = [&](const ofxhost::Message&) {
    nested.push_back(host_.instanceChanged(instance_, kOfxTypeParameter, "exportPath"));
    nested.push_back(host_.instanceChanged(instance_, kOfxTypeParameter, "rebuildButton"));
  };
  EXPECT_EQ(change("exportButton"), kOfxStatReplyDefault);
  host_.onMessage = nullptr;
  EXPECT_EQ(nested, (std::vector<OfxStatus>{kOfxStatReplyDefault, kOfxStatReplyDefault}));
  EXPECT_FALSE(record_->lut.valid);
  EXPECT_EQ(exportPath(), dir.file("look.cube"));
}

}  // namespace
