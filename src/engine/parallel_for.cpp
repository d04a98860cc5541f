#include <algorithm>

#include "engine/engine.h"

void runTasks(const ParallelFor* parallel, int32_t tasks, TaskBody body) {
  if (parallel != nullptr && parallel->run && parallel->threads > 1 && tasks > 1) return parallel->run(tasks, body);
  for (int32_t t = 0; t < tasks; ++t) body(t);
}

int32_t taskCount(const ParallelFor* parallel, int32_t items) {
  if (parallel == nullptr || !parallel->run) return 1;
  return std::max(1, std::min(parallel->threads, items));
}
