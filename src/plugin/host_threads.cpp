// The engine's parallel-for on the host's threads. multiThread calls our function once per thread
// index; each call takes the next task not yet taken until none are left, with its thread index as
// the slot, so a thread the host starts late still finds work. Tasks no thread took (a failed
// call) are run afterwards on the calling thread, in slot 0: every thread of the call has finished
// by then. Every task runs exactly once whatever the host does.
#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#include "plugin/plugin.h"

namespace {

struct Job {
  TaskBody body;
  int32_t tasks;
  int32_t slots;
  std::atomic<int32_t> next{0};
};

void threadFunction(unsigned int threadIndex, unsigned int threadMax, void* arg) {
  Job& job = *static_cast<Job*>(arg);
  if (threadIndex >= unsigned(job.slots) || threadMax == 0) return;  // a host giving more than asked
  // Bodies never throw; a C++ exception must not reach the host in any case.
  try {
    for (int32_t t = job.next++; t < job.tasks; t = job.next++) job.body(t, int32_t(threadIndex));
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
    Job job{body, tasks, threads};
    gMultiThreadSuite->multiThread(threadFunction, unsigned(std::min(threads, tasks)), &job);
    for (int32_t t = job.next++; t < tasks; t = job.next++) body(t, 0);
  };
  return parallel;
}
