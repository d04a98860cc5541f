// The tool's files reach the disk before their names do. fsync and rename are replaced in this
// executable (a definition here comes first in symbol lookup) and log what they are asked while
// a test listens; both then do what the C library does.
#include "imaging/safe_file.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::mutex gLock;
bool gListening = false;
std::vector<std::string> gCalls;

void logCall(const std::string& call) {
  std::lock_guard<std::mutex> hold(gLock);
  if (gListening) gCalls.push_back(call);
}

std::string pathOfDescriptor(int fd) {
  char link[PATH_MAX] = {};
  const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1);
  return n > 0 ? fs::path(std::string(link, size_t(n))).filename().string() : "?";
}

}  // namespace

extern "C" int fsync(int fd) {
  static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
  logCall("fsync " + pathOfDescriptor(fd));
  return real(fd);
}

extern "C" int rename(const char* from, const char* to) {
  static auto real = reinterpret_cast<int (*)(const char*, const char*)>(dlsym(RTLD_NEXT, "rename"));
  logCall("rename " + fs::path(from).filename().string() + " " + fs::path(to).filename().string());
  return real(from, to);
}

TEST(SafeFile, TheDataIsSyncedBeforeTheRenameAndTheFolderAfterIt) {
  char pattern[] = "/tmp/vantrel-sync-XXXXXX";
  const fs::path dir = mkdtemp(pattern);
  const std::string target = (dir / "out.exr").string();
  std::string temporary, error;
  {
    std::lock_guard<std::mutex> hold(gLock);
    gListening = true;
  }
  const bool written = replaceFile(
      target,
      [&](const std::string& path, std::string&) {
        temporary = fs::path(path).filename().string();
        std::ofstream(path) << "pixels";
        return true;
      },
      error);
  std::lock_guard<std::mutex> hold(gLock);
  gListening = false;
  ASSERT_TRUE(written) << error;
  const std::vector<std::string> expected = {"fsync " + temporary, "rename " + temporary + " out.exr",
                                             "fsync " + dir.filename().string()};
  EXPECT_EQ(gCalls, expected);
  fs::remove_all(dir);
}
