// Work spread over threads for a call: the calling thread and up to `threads - 1` more, started
// for it, each taking the next task until none is left.
#pragma once

#include <cstddef>
#include <functional>

// body(task, worker) once for every task below `tasks`; `worker` (0 on the calling thread, below
// `threads`) tells the threads running at once apart, for scratch space of their own. Returns
// when every task is done. A thread that cannot be started leaves its tasks to the others. The
// tasks must not depend on which thread runs them or in what order.
void shareTasks(size_t tasks, int threads, const std::function<void(size_t task, int worker)>& body);
