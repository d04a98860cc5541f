#include "export/export_path.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

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

// The default name follows HOME, falls back to /tmp without it, and is cut to the buffer.
TEST(DefaultPath, FollowsHomeAndTheLocalTime) {
  setenv("TZ", "UTC", 1);
  tzset();
  const struct tm when = localTimeOf(1709622489);  // 2024-03-05 07:08:09 UTC
  auto path = [&](const char* home, size_t size = kExportPathSize) {
    std::string buffer(size, '\x7f');
    formatDefaultExportPath(buffer.data(), size, home, when, ExportKind::Cube);
    return std::string(buffer.c_str());
  };
  EXPECT_EQ(path("/home/u"), "/home/u/Vantrel_20240305_070809.cube");
  EXPECT_EQ(path(""), "/Vantrel_20240305_070809.cube");
  EXPECT_EQ(path(nullptr), "/tmp/Vantrel_20240305_070809.cube");
  EXPECT_EQ(path(nullptr, 9), "/tmp/Van");
}

}  // namespace
