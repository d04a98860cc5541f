#include "export/safe_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "export_test_util.h"

namespace {

bool writeWhole(const std::string& path, const std::string& text) {
  SafeFile file;
  if (!safeFileOpen(file, path.c_str())) return false;
  if (!safeFileWrite(file, text.data(), text.size())) {
    safeFileDiscard(file);
    return false;
  }
  return safeFileCommit(file);
}

mode_t modeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(SafeFile, CreatesAndReplacesWithUsualPermissions) {
  ScratchDir dir;
  std::string path = dir.file("a.cube");
  mode_t old = umask(022);
  EXPECT_TRUE(writeWhole(path, "first"));
  umask(old);
  EXPECT_EQ(readFile(path), "first");
  EXPECT_EQ(modeOf(path), mode_t(0644));

  chmod(path.c_str(), 0600);
  EXPECT_TRUE(writeWhole(path, "second, longer"));
  EXPECT_EQ(readFile(path), "second, longer");
  EXPECT_EQ(modeOf(path), mode_t(0600));
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"a.cube"});
}

TEST(SafeFile, WritesThroughSymbolicLinks) {
  ScratchDir dir;
  writeFile(dir.file("real.cube"), "old");
  ASSERT_EQ(symlink("real.cube", dir.file("link.cube").c_str()), 0);
  EXPECT_TRUE(writeWhole(dir.file("link.cube"), "new"));
  EXPECT_EQ(readFile(dir.file("real.cube")), "new");
  struct stat info;
  ASSERT_EQ(lstat(dir.file("link.cube").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
}

TEST(SafeFile, RefusesTargetsThatCannotBeFiles) {
  ScratchDir dir;
  mkdir(dir.file("folder.cube").c_str(), 0755);
  EXPECT_FALSE(writeWhole(dir.file("folder.cube"), "x"));
  EXPECT_FALSE(writeWhole(dir.file("missing/a.cube"), "x"));
  EXPECT_FALSE(writeWhole("", "x"));
  EXPECT_FALSE(writeWhole(std::string(5000, 'a'), "x"));
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"folder.cube"});
}

// The folder allows replacing the file, but the file itself is read-only: it must not be replaced.
TEST(SafeFile, ReadOnlyTargetIsLeftAlone) {
  ScratchDir dir;
  std::string path = dir.file("a.cube");
  writeFile(path, "good");
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Root may write anything, so the check runs as an ordinary user.
    if (geteuid() == 0 && setuid(65534) != 0) _exit(2);
    bool refused = !writeWhole(path, "bad");
    bool others = writeWhole(dir.file("b.cube"), "fine");
    _exit(refused && others ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(readFile(path), "good");
  EXPECT_EQ(readFile(dir.file("b.cube")), "fine");
  EXPECT_EQ(dir.entries().size(), 2u);
}

// A failing write or flush leaves the previous file as it was and no temporary behind.
TEST(SafeFile, FailuresKeepTheOldFile) {
  ScratchDir dir;
  std::string path = dir.file("a.cube");
  writeFile(path, "good");

  SafeFile file;
  // A full disk: every write fails with ENOSPC.
  ASSERT_TRUE(safeFileOpen(file, path.c_str()));
  int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  dup2(full, file.fd);
  close(full);
  EXPECT_FALSE(safeFileWrite(file, "partial", 7));
  safeFileDiscard(file);
  EXPECT_EQ(readFile(path), "good");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"a.cube"});

  ASSERT_TRUE(safeFileOpen(file, path.c_str()));
  EXPECT_TRUE(safeFileWrite(file, "partial", 7));
  int readOnly = open("/dev/null", O_RDONLY);
  dup2(readOnly, file.fd);
  close(readOnly);
  EXPECT_FALSE(safeFileWrite(file, "more", 4));
  safeFileDiscard(file);
  EXPECT_EQ(readFile(path), "good");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"a.cube"});

  // A pipe accepts the data but cannot be flushed to a device: the commit must fail.
  ASSERT_TRUE(safeFileOpen(file, path.c_str()));
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  dup2(ends[1], file.fd);
  close(ends[1]);
  EXPECT_TRUE(safeFileWrite(file, "bad", 3));
  EXPECT_FALSE(safeFileCommit(file));
  close(ends[0]);
  EXPECT_EQ(readFile(path), "good");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"a.cube"});
}

// Under a file size limit the write is refused before the kernel would raise SIGXFSZ, whose
// default action would end the whole process.
TEST(SafeFile, FileSizeLimitIsAnErrorNotASignal) {
  ScratchDir dir;
  std::string path = dir.file("a.cube");
  writeFile(path, "good");
  for (bool ignoreSignal : {false, true}) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(SIGXFSZ, ignoreSignal ? SIG_IGN : SIG_DFL);
      struct rlimit limit = {1000, 1000};
      setrlimit(RLIMIT_FSIZE, &limit);
      bool tooBig = writeWhole(path, std::string(1001, 'x'));
      bool fits = writeWhole(dir.file("b.cube"), std::string(1000, 'y'));
      _exit(!tooBig && fits ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readFile(path), "good");
    EXPECT_EQ(readFile(dir.file("b.cube")).size(), 1000u);
  }
  EXPECT_EQ(dir.entries().size(), 2u);
}

}  // namespace
