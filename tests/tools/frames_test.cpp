#include "imaging/frames.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

TEST(FramePattern, PlaceholdersExpandWithTheirPadding) {
  EXPECT_EQ(expandFrame("shot.%04d.exr", 7), "shot.0007.exr");
  EXPECT_EQ(expandFrame("shot.%d.exr", 1001), "shot.1001.exr");
  EXPECT_EQ(expandFrame("shot.####.exr", 12), "shot.0012.exr");
  EXPECT_EQ(expandFrame("shot.#.exr", 12), "shot.12.exr");
  // Padding is a minimum width, never a truncation.
  EXPECT_EQ(expandFrame("shot.%03d.exr", 12345), "shot.12345.exr");
  EXPECT_EQ(expandFrame("shot.##.exr", 12345), "shot.12345.exr");
}

TEST(FramePattern, OnlyRealPlaceholdersCount) {
  EXPECT_TRUE(isFramePattern("a/b.%04d.png"));
  EXPECT_TRUE(isFramePattern("a/b.###.png"));
  EXPECT_FALSE(isFramePattern("a/b.0001.png"));
  EXPECT_FALSE(isFramePattern("grade 50%.png"));
  EXPECT_FALSE(isFramePattern("odd%0.png"));
  EXPECT_FALSE(isFramePattern("odd%s.png"));
  EXPECT_EQ(expandFrame("still.png", 4), "still.png");
  EXPECT_EQ(expandFrame("grade 50%.png", 4), "grade 50%.png");
}

TEST(FramePattern, TheFileNamePlaceholderWinsOverADirectoryOne) {
  EXPECT_EQ(expandFrame("take#2/shot.%04d.exr", 3), "take#2/shot.0003.exr");
}

TEST(FrameRange, AcceptsRangesAndSingleFrames) {
  FrameRange r;
  std::string error;
  ASSERT_TRUE(parseFrameRange("1001-1048", r, error));
  EXPECT_EQ(r.first, 1001);
  EXPECT_EQ(r.last, 1048);
  EXPECT_EQ(r.count(), 48);
  ASSERT_TRUE(parseFrameRange("7", r, error));
  EXPECT_EQ(r.first, 7);
  EXPECT_EQ(r.last, 7);
}

TEST(FrameRange, RejectsMalformedRangesNamingTheOption) {
  for (const char* bad : {"", "-", "5-", "-5", "a-b", "1-2-3", "3-1", "1 - 4", "1.5-3", "99999999999-1"}) {
    FrameRange r{11, 12};
    std::string error;
    EXPECT_FALSE(parseFrameRange(bad, r, error)) << bad;
    EXPECT_NE(error.find("--frames"), std::string::npos) << bad;
    EXPECT_EQ(r.first, 11) << "left untouched on error: " << bad;
  }
}

// The shot's frames are the files on disk that the pattern names, padding and all; a pattern
// with its placeholder in a folder name is probed outward from the frames asked for.
TEST(FramesOnDisk, FindsTheSequencesFilesExactly) {
  char scratch[] = "/tmp/vantrel-frames-XXXXXX";
  const std::string root = mkdtemp(scratch);
  auto touch = [](const std::string& path) { std::fclose(std::fopen(path.c_str(), "w")); };
  for (const char* name : {"s.0998.exr", "s.1001.exr", "s.1002.exr", "s.10000.exr", "s.12.exr", "s.0005.tif",
                           "t.0004.exr", "s.00099.exr", "s.abcd.exr"})
    touch(root + "/" + name);
  EXPECT_EQ(framesOnDisk(root + "/s.%04d.exr", {1001, 1001}), (std::vector<int>{998, 1001, 1002, 10000}));
  EXPECT_EQ(framesOnDisk(root + "/s.#.exr", {1001, 1001}), (std::vector<int>{12, 1001, 1002, 10000}));
  EXPECT_TRUE(framesOnDisk(root + "/still.exr", {1, 1}).empty());
  for (int f : {7, 8, 9, 11}) {
    mkdir((root + "/take" + std::to_string(f)).c_str(), 0755);
    touch(root + "/take" + std::to_string(f) + "/img.exr");
  }
  EXPECT_EQ(framesOnDisk(root + "/take%d/img.exr", {8, 8}), (std::vector<int>{7, 8, 9}));
  EXPECT_TRUE(framesOnDisk(root + "/take%d/img.exr", {10, 10}).empty());
  EXPECT_TRUE(framesOnDisk(root + "/missing/s.%04d.exr", {1, 1}).empty());
  std::system(("rm -rf " + root).c_str());
}
