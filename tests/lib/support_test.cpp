// The helpers every program of the tool's half leans on: work shared among threads, and the
// folder of a path as messages name it.
#include "support/paths.h"
#include "support/tasks.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
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

// Threads that cannot be started: pthread_create is replaced in this executable (a definition here
// comes first in symbol lookup) and fails all but the first call while asked to. The sanitizers
// own thread creation, so their builds leave this case to the normal build.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
namespace {
std::atomic<int> gThreadsAllowed{-1};  // -1: no limit
}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
  if (gThreadsAllowed.load() >= 0 && gThreadsAllowed.fetch_sub(1) <= 0) return EAGAIN;
  return real(thread, attr, start, arg);
}

TEST(ShareTasks, ThreadsThatCannotStartLeaveTheirTasksToTheOthers) {
  std::vector<std::atomic<int>> runs(64);
  std::mutex lock;
  std::set<std::thread::id> seen;
  gThreadsAllowed = 1;
  shareTasks(runs.size(), 4, [&](size_t task, int) {
    ++runs[task];
    std::lock_guard<std::mutex> hold(lock);
    seen.insert(std::this_thread::get_id());
  });
  gThreadsAllowed = -1;
  for (size_t t = 0; t < runs.size(); ++t) EXPECT_EQ(runs[t], 1) << "task " << t;
  EXPECT_LE(seen.size(), 2u) << "the caller and the one thread that started";
}
#endif

TEST(Paths, TheFolderIsWhatComesBeforeTheLastSlash) {
  EXPECT_EQ(folderOf("shot.exr"), ".");
  EXPECT_EQ(folderOf("/shot.exr"), "/");
  EXPECT_EQ(folderOf("out/shot.exr"), "out");
  EXPECT_EQ(folderOf("/a/b/"), "/a/b");
  EXPECT_EQ(folderOf("a//b"), "a/") << "as written, not normalised";
  EXPECT_TRUE(endsWith("look.cube", ".cube"));
  EXPECT_FALSE(endsWith("cube", ".cube"));
}
