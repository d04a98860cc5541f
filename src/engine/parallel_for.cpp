#include "engine/engine.h"

void runTasks(const ParallelFor* parallel, int32_t tasks, TaskBody body) {
  if (slotCount(parallel) > 1 && tasks > 1) return parallel->run(tasks, body);
  for (int32_t t = 0; t < tasks; ++t) body(t, 0);
}

int32_t slotCount(const ParallelFor* parallel) {
  if (parallel == nullptr || !parallel->run || parallel->threads < 1) return 1;
  return parallel->threads;
}
