// The engine's parallel-for on the host's threads. multiThread calls our function once per thread
// index; each index takes its share of the tasks in turn. Tasks the host did not run (a failed
// call, fewer threads than asked) are run afterwards on the calling thread, so every task runs
// exactly once whatever the host does.
#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#include "plugin/plugin.h"

namespace {

struct Job {
  TaskBody body;
  int32_t tasks;
  std::unique_ptr<std::atomic<bool>[]> claimed;
};

void runClaimed(Job& job, int32_t task) {
  if (!job.claimed[task].exchange(true)) job.body(task);
}

void threadFunction(unsigned int threadIndex, unsigned int threadMax, void* arg) {
  Job& job = *static_cast<Job*>(arg);
  if (threadMax == 0) return;
  // Bodies never throw; a C++ exception must not reach the host in any case.
  try {
    for (int64_t t = threadIndex; t < job.tasks; t += threadMax) runClaimed(job, int32_t(t));
  } catch (...) {
  }
}

unsigned hostThreads() {
  unsigned cpus = 1;
  if (gMultiThreadSuite && gMultiThreadSuite->multiThreadNumCPUs &&
      gMultiThreadSuite->multiThreadNumCPUs(&cpus) != kOfxStatOK)
    cpus = 1;
  return cpus == 0 ? 1 : cpus;
}

}  // namespace

ParallelFor hostParallelFor() {
  ParallelFor parallel;
  if (!gMultiThreadSuite || !gMultiThreadSuite->multiThread) return parallel;
  parallel.threads = int32_t(std::min(hostThreads(), 64u));
  if (parallel.threads < 2) return parallel;
  const int32_t threads = parallel.threads;
  parallel.run = [threads](int32_t tasks, TaskBody body) {
    // Builds must not fail for want of this bookkeeping: without it, one thread does the work.
    Job job{body, tasks, std::unique_ptr<std::atomic<bool>[]>(new (std::nothrow) std::atomic<bool>[size_t(tasks)])};
    if (!job.claimed) {
      for (int32_t t = 0; t < tasks; ++t) body(t);
      return;
    }
    for (int32_t t = 0; t < tasks; ++t) job.claimed[t] = false;
    gMultiThreadSuite->multiThread(threadFunction, unsigned(std::min(threads, tasks)), &job);
    for (int32_t t = 0; t < tasks; ++t) runClaimed(job, t);
  };
  return parallel;
}
