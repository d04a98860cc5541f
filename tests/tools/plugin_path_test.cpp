#include "session/plugin_path.h"
#include "support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

std::string makeBundle(const std::string& parent, const std::string& name = "Brenvale") {
  const std::string binary = bundleBinary(parent + "/" + name + ".ofx.bundle");
  fs::create_directories(fs::path(binary).parent_path());
  std::ofstream(binary) << "module";
  return binary;
}

}  // namespace

TEST(PluginPath, BundleBinaryFollowsTheBundleName) {
  EXPECT_EQ(bundleBinary("/p/Brenvale.ofx.bundle/"), "/p/Brenvale.ofx.bundle/Contents/Linux-x86-64/Brenvale.ofx");
  EXPECT_EQ(bundleBinary("Other.ofx.bundle"), "Other.ofx.bundle/Contents/Linux-x86-64/Other.ofx");
}

TEST(PluginPath, SearchOrderIsExplicitThenEnvironmentThenBesideTheProgram) {
  ScratchDir dir;
  const std::string exeDir = dir / "tree/build/tools";
  fs::create_directories(exeDir);
  const std::string besideBuild = makeBundle(dir / "tree/build/bundle");
  const std::string vendor = makeBundle(dir / "ofx/vendor");
  const std::string other = makeBundle(dir / "explicit", "Other");
  std::string found, error;

  ASSERT_TRUE(findPlugin(dir / "explicit/Other.ofx.bundle", nullptr, exeDir, found, error));
  EXPECT_EQ(found, other);
  ASSERT_TRUE(findPlugin(other, nullptr, exeDir, found, error));
  EXPECT_EQ(found, other);

  const std::string env = "/nonexistent:" + (dir / "ofx");
  ASSERT_TRUE(findPlugin("", env.c_str(), exeDir, found, error));
  EXPECT_EQ(found, vendor) << "one level of vendor folders is searched";

  ASSERT_TRUE(findPlugin("", "/nonexistent", exeDir, found, error));
  EXPECT_EQ(found, besideBuild) << "the nearest bundle/ above the program";
  fs::remove_all(dir / "tree/build/bundle");
  const std::string installed = makeBundle(dir / "tree/bundle");
  ASSERT_TRUE(findPlugin("", nullptr, exeDir, found, error));
  EXPECT_EQ(found, installed) << "the source tree the bundle is installed into";
}

TEST(PluginPath, FailuresSayWhatWasSearched) {
  ScratchDir dir;
  std::string found, error;
  EXPECT_FALSE(findPlugin(dir / "missing.ofx", nullptr, dir.path, found, error));
  EXPECT_NE(error.find("--plugin"), std::string::npos);
  EXPECT_NE(error.find("missing.ofx"), std::string::npos);
  if (!fs::exists("/usr/OFX/Plugins/Brenvale.ofx.bundle")) {
    EXPECT_FALSE(findPlugin("", dir.path.c_str(), dir.path, found, error));
    EXPECT_NE(error.find("OFX_PLUGIN_PATH"), std::string::npos);
  }
}
