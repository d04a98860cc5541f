#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#ifdef VANTREL_HAVE_LINUX_LIBRARIES
#include <OpenColorIO/OpenColorIO.h>
#endif

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "export_test_util.h"
#include "module_fixture.h"
#include "test_system.h"

namespace {

using CubeExport = ModuleTest;

const std::string kMixLine = "Vantrel: Exporting cached LUT with Mix=1.000, R=1.000, G=1.000, B=1.000\n";

std::string stampedName(time_t when, const char* extension) {
  const struct tm local = testsys::localTime(when);
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
  EXPECT_NE(readFile(path).find("LUT_3D_SIZE 65\n\n0.000000 0.000000 0.000000\n0.015625 0.000000"), std::string::npos);
}

TEST_F(CubeExport, DefaultNameUnderHomeAndAfterATrailingSeparator) {
  ScratchDir dir;
  installIdentity();
  const char* savedHome = getenv(testsys::kHomeVariable);
  std::string restore = savedHome ? savedHome : "";
  testsys::setEnv(testsys::kHomeVariable, dir.path().c_str());
  time_t before = time(nullptr);
  EXPECT_EQ(change("exportButton"), kOfxStatReplyDefault);
  time_t after = time(nullptr);
  testsys::setEnv(testsys::kHomeVariable, savedHome ? restore.c_str() : nullptr);
  EXPECT_TRUE(holdsStampedFile(dir, before, after, ".cube"));
  EXPECT_EQ(exportPath().rfind(dir.path() + testsys::kFolderSeparator + "Vantrel_", 0), 0u) << exportPath();

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
                               dir.file(std::string(1100, 'x')),
                               dir.path() + "/" + std::string(1019 - dir.path().size(), 'y')};
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

#ifndef _WIN32
// A file size limit makes the write fail (the .cube midway, the .cdl at once); the host process
// survives, the old file stays and the parameter keeps its value.
TEST_F(CubeExport, FileSizeLimitFailsWithoutReplacingTheFile) {
  struct Case {
    const char* button;
    const char* file;
    rlim_t limit;
    std::string lines;
    const char* message;
  } cases[] = {
      {"exportButton", "keep.cube", 1 << 20, kMixLine + "Vantrel: Export FAILED\n", "Failed to save .cube file"},
      {"exportCDLButton", "keep.cdl", 256, "Vantrel: CDL Export FAILED\n", "Failed to save .cdl file"}};
  installIdentity();
  for (const Case& c : cases) {
    ScratchDir dir;
    const std::string path = dir.file(c.file), value = dir.file("keep");
    writeFile(path, "good");
    host_.setParamString(instance_, "exportPath", value);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(SIGXFSZ, SIG_DFL);
      struct rlimit limit = {c.limit, c.limit};
      setrlimit(RLIMIT_FSIZE, &limit);
      bool ok = change(c.button) == kOfxStatReplyDefault && host_.lastStderr() == c.lines &&
                host_.messages().size() == 1 && host_.messages()[0].text == c.message && exportPath() == value;
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << c.button << " ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << c.button;
    EXPECT_EQ(readFile(path), "good") << c.button;
    EXPECT_EQ(dir.entries().size(), 1u) << c.button;
  }
}

#endif

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

#ifdef VANTREL_HAVE_LINUX_LIBRARIES
#include "photos.h"

namespace OCIO = OCIO_NAMESPACE;

namespace {

// Lattice points first, then random colours; every value in [0, 1].
std::vector<float> probeColours(int width, int height) {
  std::vector<float> rgba(size_t(width) * height * 4, 1.0f);
  size_t i = 0;
  for (int r = 0; r < 65; ++r)
    for (int g = 0; g < 65; ++g)
      for (int b = 0; b < 65; ++b, ++i) {
        rgba[i * 4] = float(r) / 64.0f;
        rgba[i * 4 + 1] = float(g) / 64.0f;
        rgba[i * 4 + 2] = float(b) / 64.0f;
      }
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (; i < size_t(width) * height; ++i)
    for (int c = 0; c < 3; ++c) rgba[i * 4 + c] = unit(rng);
  return rgba;
}

std::vector<float> applyCubeFile(const std::string& path, const std::vector<float>& rgba) {
  std::vector<float> rgb;
  for (size_t i = 0; i < rgba.size(); i += 4) rgb.insert(rgb.end(), {rgba[i], rgba[i + 1], rgba[i + 2]});
  OCIO::ConstConfigRcPtr config = OCIO::Config::CreateRaw();
  OCIO::FileTransformRcPtr file = OCIO::FileTransform::Create();
  file->setSrc(path.c_str());
  file->setInterpolation(OCIO::INTERP_LINEAR);
  OCIO::ConstCPUProcessorRcPtr cpu = config->getProcessor(file)->getOptimizedCPUProcessor(
      OCIO::BIT_DEPTH_F32, OCIO::BIT_DEPTH_F32, OCIO::OPTIMIZATION_NONE);
  OCIO::PackedImageDesc image(rgb.data(), long(rgb.size() / 3), 1, 3);
  cpu->apply(image);
  return rgb;
}

// The exported file, read by a colour pipeline and interpolated there, gives what the plug-in
// itself renders at the same mixes: at every lattice point and at random colours.
TEST_F(CubeExport, OpenColorIOAppliesTheFileAsTheRenderDoes) {
  ScratchDir dir;
  FloatImage source = loadPhoto("chelsea.png", 160, 120), reference = loadPhoto("coffee.png", 160, 120);
  ASSERT_FALSE(source.pixels.empty());
  ASSERT_FALSE(reference.pixels.empty());
  const OfxRectI photoBounds{0, 0, 160, 120};
  const int width = 1000, height = 295;
  const OfxRectI probeBounds{0, 0, width, height};
  const std::vector<float> probe = probeColours(width, height);

  int exported = 0;
  for (int mode : {0, 1}) {
    host_.setParamInt(instance_, "matchMode", mode);
    change("matchMode");
    host_.attachImage(instance_, "Source", ofxhost::makeImage(source.pixels, photoBounds));
    host_.attachImage(instance_, "Reference", ofxhost::makeImage(reference.pixels, photoBounds));
    host_.attachImage(instance_, "Output", ofxhost::makeBlankImage(photoBounds));
    ASSERT_EQ(host_.render(instance_, 0.0, photoBounds), kOfxStatOK);
    ASSERT_TRUE(record_->lut.valid);

    const double mixes[][4] = {{1, 1, 1, 1}, {0.7, 1, 0.5, 0.25}};
    for (const auto& m : mixes) {
      setMixes(m[0], m[1], m[2], m[3]);
      // Same time, modes and masks: the render reuses the LUT built from the photographs.
      auto output = ofxhost::makeBlankImage(probeBounds);
      host_.attachImage(instance_, "Source", ofxhost::makeImage(probe, probeBounds));
      host_.attachImage(instance_, "Output", output);
      ASSERT_EQ(host_.render(instance_, 0.0, probeBounds), kOfxStatOK);
      std::vector<float> rendered = ofxhost::readImageRGBA(*output);

      const std::string path = dir.file("look" + std::to_string(exported++) + ".cube");
      host_.setParamString(instance_, "exportPath", path);
      ASSERT_EQ(change("exportButton"), kOfxStatReplyDefault);
      ASSERT_EQ(exportPath(), path);
      std::vector<float> applied = applyCubeFile(path, probe);
      double worst = 0.0, moved = 0.0;
      for (size_t i = 0; i < applied.size() / 3; ++i)
        for (int c = 0; c < 3; ++c) {
          worst = std::max(worst, double(std::fabs(applied[i * 3 + c] - rendered[i * 4 + c])));
          moved = std::max(moved, double(std::fabs(probe[i * 4 + c] - rendered[i * 4 + c])));
        }
      EXPECT_LE(worst, 1e-5) << "mode " << mode << " mix " << m[0];
      EXPECT_GT(moved, 0.05) << "the match changes colours, so the comparison means something";
    }
  }
}

}  // namespace
#endif
