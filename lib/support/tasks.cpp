#include "support/tasks.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

void shareTasks(size_t tasks, int threads, const std::function<void(size_t task, int worker)>& body) {
  std::atomic<size_t> next{0};
  auto work = [&](int worker) {
    for (size_t task = next++; task < tasks; task = next++) body(task, worker);
  };
  const size_t helpers = tasks == 0 ? 0 : std::min(size_t(std::max(threads, 1)) - 1, tasks - 1);
  std::vector<std::thread> started;
  started.reserve(helpers);
  for (size_t w = 1; w <= helpers; ++w) {
    try {
      started.emplace_back(work, int(w));
    } catch (const std::system_error&) {
      break;
    }
  }
  struct Join {
    std::vector<std::thread>& threads;
    ~Join() {
      for (std::thread& t : threads) t.join();
    }
  } join{started};
  work(0);
}
