#include "export/export_path.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "export/export.h"

namespace {

// 2024-03-05 07:08:09.
struct tm fixedTime() {
  struct tm when = {};
  when.tm_year = 2024 - 1900;
  when.tm_mon = 2;
  when.tm_mday = 5;
  when.tm_hour = 7;
  when.tm_min = 8;
  when.tm_sec = 9;
  return when;
}

std::string resolve(const char* value, ExportKind kind, const char* home = "/home/u") {
  char out[kExportPathSize];
  if (!resolveExportPath(value, kind, home, fixedTime(), out)) return "<refused>";
  return out;
}

TEST(ExportPath, CubeRules) {
  EXPECT_EQ(resolve(nullptr, ExportKind::Cube), "/home/u/Vantrel_20240305_070809.cube");
  EXPECT_EQ(resolve("", ExportKind::Cube), "/home/u/Vantrel_20240305_070809.cube");
  EXPECT_EQ(resolve("", ExportKind::Cube, nullptr), "/tmp/Vantrel_20240305_070809.cube");
  EXPECT_EQ(resolve("", ExportKind::Cube, ""), "/Vantrel_20240305_070809.cube");
  EXPECT_EQ(resolve("luts/", ExportKind::Cube), "luts/Vantrel_20240305_070809.cube");
  EXPECT_EQ(resolve("luts\\", ExportKind::Cube), "luts\\Vantrel_20240305_070809.cube");
  EXPECT_EQ(resolve("look", ExportKind::Cube), "look.cube");
  EXPECT_EQ(resolve("look.cube", ExportKind::Cube), "look.cube");
  EXPECT_EQ(resolve("look.CUBE", ExportKind::Cube), "look.CUBE.cube");
  EXPECT_EQ(resolve("look.cdl", ExportKind::Cube), "look.cdl.cube");
  EXPECT_EQ(resolve(".cube", ExportKind::Cube), ".cube");
  EXPECT_EQ(resolve("abc", ExportKind::Cube), "abc.cube");
  EXPECT_EQ(resolve("a%s%n", ExportKind::Cube), "a%s%n.cube");
}

TEST(ExportPath, CDLRules) {
  EXPECT_EQ(resolve("", ExportKind::CDL), "/home/u/Vantrel_20240305_070809.cdl");
  EXPECT_EQ(resolve("", ExportKind::CDL, nullptr), "/tmp/Vantrel_20240305_070809.cdl");
  EXPECT_EQ(resolve("/p/look.cube", ExportKind::CDL), "/p/look.cdl");
  EXPECT_EQ(resolve("/p/look.cdl", ExportKind::CDL), "/p/look.cdl");
  EXPECT_EQ(resolve("/p/look", ExportKind::CDL), "/p/look.cdl");
  EXPECT_EQ(resolve("/p/look.CUBE", ExportKind::CDL), "/p/look.CUBE.cdl");
  EXPECT_EQ(resolve("/p/", ExportKind::CDL), "/p/Vantrel_20240305_070809.cdl");
  EXPECT_EQ(resolve(".cube", ExportKind::CDL), ".cdl");
  EXPECT_EQ(resolve(".cdl", ExportKind::CDL), ".cdl");
  EXPECT_EQ(resolve("cdl", ExportKind::CDL), "cdl.cdl");
}

// A path that does not fit is refused rather than written under a cut name.
TEST(ExportPath, LongPathsFitOrAreRefused) {
  std::string exact(1023, 'a');
  exact.replace(1018, 5, ".cube");
  EXPECT_EQ(resolve(exact.c_str(), ExportKind::Cube), exact);
  EXPECT_EQ(resolve(exact.c_str(), ExportKind::CDL), exact.substr(0, 1018) + ".cdl");

  std::string room(1018, 'b');
  EXPECT_EQ(resolve(room.c_str(), ExportKind::Cube), room + ".cube");
  EXPECT_EQ(resolve((room + "b").c_str(), ExportKind::Cube), "<refused>");
  EXPECT_EQ(resolve((room + "b").c_str(), ExportKind::CDL), room + "b.cdl");
  EXPECT_EQ(resolve(std::string(1024, 'c').c_str(), ExportKind::Cube), "<refused>");
  EXPECT_EQ(resolve((std::string(1000, 'd') + "/").c_str(), ExportKind::Cube), "<refused>");

  std::string home(1000, 'h');
  EXPECT_EQ(resolve("", ExportKind::Cube, home.c_str()), "<refused>");
  std::string shortHome(1023 - 29, 'h');
  EXPECT_EQ(resolve("", ExportKind::Cube, shortHome.c_str()), shortHome + "/Vantrel_20240305_070809.cube");
}

time_t fixedClock() { return 1709622489; }  // 2024-03-05 07:08:09 UTC

class DefaultPath : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* home = getenv("HOME");
    hadHome_ = home != nullptr;
    if (home) savedHome_ = home;
    setenv("TZ", "UTC", 1);
    tzset();
    setExportClock(fixedClock);
  }
  void TearDown() override {
    setExportClock(nullptr);
    if (hadHome_) {
      setenv("HOME", savedHome_.c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }
  std::string defaultPath(size_t size = kExportPathSize) {
    std::string buffer(size, '\x7f');
    getDefaultExportPath(buffer.data(), size);
    return buffer.c_str();
  }

 private:
  bool hadHome_ = false;
  std::string savedHome_;
};

TEST_F(DefaultPath, FollowsHome) {
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(defaultPath(), "/home/u/Vantrel_20240305_070809.cube");
  setenv("HOME", "", 1);
  EXPECT_EQ(defaultPath(), "/Vantrel_20240305_070809.cube");
  unsetenv("HOME");
  EXPECT_EQ(defaultPath(), "/tmp/Vantrel_20240305_070809.cube");
  EXPECT_EQ(defaultPath(9), "/tmp/Van");
}

}  // namespace
