// The helpers every program of the tool's half leans on: work shared among threads, and the
// folder of a path as messages name it.
#include "support/paths.h"
#include "support/tasks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

TEST(ShareTasks, EveryTaskRunsOnceOnAtMostTheThreadsAskedTheCallerAmongThem) {
  for (const int threads : {1, 2, 5}) {
    for (const size_t tasks : {size_t(0), size_t(1), size_t(3), size_t(200)}) {
      std::vector<std::atomic<int>> runs(tasks);
      std::mutex lock;
      std::set<std::thread::id> seen;
      std::set<int> workers;
      shareTasks(tasks, threads, [&](size_t task, int worker) {
        ++runs[task];
        std::lock_guard<std::mutex> hold(lock);
        seen.insert(std::this_thread::get_id());
        workers.insert(worker);
      });
      for (size_t t = 0; t < tasks; ++t) EXPECT_EQ(runs[t], 1) << threads << " threads, task " << t;
      EXPECT_LE(seen.size(), size_t(threads));
      for (int worker : workers) EXPECT_TRUE(worker >= 0 && worker < threads);
      if (tasks > 0 && threads == 1) {
        EXPECT_EQ(seen, std::set<std::thread::id>{std::this_thread::get_id()});
      }
    }
  }
}

TEST(Paths, TheFolderIsWhatComesBeforeTheLastSlash) {
  EXPECT_EQ(folderOf("shot.exr"), ".");
  EXPECT_EQ(folderOf("/shot.exr"), "/");
  EXPECT_EQ(folderOf("out/shot.exr"), "out");
  EXPECT_EQ(folderOf("/a/b/"), "/a/b");
  EXPECT_EQ(folderOf("a//b"), "a/") << "as written, not normalised";
  EXPECT_TRUE(endsWith("look.cube", ".cube"));
  EXPECT_FALSE(endsWith("cube", ".cube"));
}
