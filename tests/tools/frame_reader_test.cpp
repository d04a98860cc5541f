// The reader of a shot's sequences: each frame read once while the budget holds it, the least
// recently used let go first, the frame being rendered never, failures and warnings handed on.
#include "imaging/frame_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace {

struct Counted {
  std::vector<std::pair<int, int>> loads;
  int headers = 0;
  FrameReader reader;
  // Frames of 100 floats (400 bytes); frame 13 does not read.
  explicit Counted(size_t budget)
      : reader(
            budget,
            [this](int input, int frame, ShotFrame& out, std::vector<std::string>& warnings, std::string& error) {
              loads.push_back({input, frame});
              if (frame == 13) {
                error = "frame 13 is damaged";
                return false;
              }
              out.image.width = 5;
              out.image.height = 5;
              out.image.pixels.assign(100, float(frame));
              out.path = std::to_string(frame);
              if (frame == 7) warnings.push_back("frame 7 has two parts");
              return true;
            },
            [this](int, int frame, PixelRect& out, std::string&) {
              ++headers;
              out = PixelRect{0, 0, frame, frame};
              return true;
            }) {}
};

}  // namespace

TEST(FrameReader, KeepsFramesWhileTheBudgetAllowsLeastRecentlyUsedGoFirst) {
  Counted c(1000);  // two frames
  std::string error;
  for (int frame : {1, 2, 1, 3, 1, 2})
    EXPECT_EQ(c.reader.frame(0, frame, error)->image.pixels[0], float(frame)) << frame;
  // 1 stays (used last but one each time); 2 went when 3 came, 3 when 2 came back.
  EXPECT_EQ(c.loads, (std::vector<std::pair<int, int>>{{0, 1}, {0, 2}, {0, 3}, {0, 2}}));
  EXPECT_EQ(c.reader.reads(), 4);
  c.reader.frame(1, 1, error);  // another input's frame 1 is another file
  EXPECT_EQ(c.reader.reads(), 5);

  // The held frame stays whatever the budget; a frame handed out stays valid after it goes.
  Counted tight(10);
  tight.reader.hold(5);
  const auto five = tight.reader.frame(0, 5, error);
  const auto six = tight.reader.frame(0, 6, error);
  tight.reader.frame(0, 7, error);
  tight.reader.frame(0, 5, error);
  EXPECT_EQ(tight.reader.reads(), 3);
  EXPECT_EQ(five->image.pixels[0], 5.0f);
  EXPECT_EQ(six->image.pixels[99], 6.0f);
}

TEST(FrameReader, HandsOnFailuresWarningsAndBoundsOnce) {
  Counted c(1 << 20);
  std::string error;
  EXPECT_EQ(c.reader.frame(0, 13, error), nullptr);
  EXPECT_EQ(error, "frame 13 is damaged");
  c.reader.frame(0, 7, error);
  EXPECT_EQ(c.reader.takeError(), "frame 13 is damaged");
  EXPECT_EQ(c.reader.takeError(), "");
  EXPECT_EQ(c.reader.takeWarnings(), std::vector<std::string>{"frame 7 has two parts"});
  EXPECT_TRUE(c.reader.takeWarnings().empty());
  // Bounds of a frame read come from it; others from the header, asked once.
  EXPECT_EQ(c.reader.bounds(0, 7)->x2, 5);
  EXPECT_EQ(c.reader.bounds(0, 9)->x2, 9);
  EXPECT_EQ(c.reader.bounds(0, 9)->x2, 9);
  EXPECT_EQ(c.headers, 1);
  // Render threads asking at once each get the frame, read once.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      std::string e;
      EXPECT_EQ(c.reader.frame(2, 30, e)->image.pixels[0], 30.0f);
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(std::count(c.loads.begin(), c.loads.end(), std::make_pair(2, 30)), 1);
}
