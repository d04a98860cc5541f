// Large allocations fail while gFailLargeAllocations is set. The module's operator new calls
// malloc, and a definition in the executable comes first in symbol lookup, so the module gets
// this one. Include it in one file of a test executable only. Sanitizers own malloc, so there
// the failing cases are compiled out and run in the normal build.
#pragma once

#include <atomic>
#include <cstddef>

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define VANTREL_FAILING_MALLOC 1
extern "C" void* __libc_malloc(size_t size);
namespace {
std::atomic<bool> gFailLargeAllocations{false};
}
extern "C" void* malloc(size_t size) {
  if (size >= 1000000 && gFailLargeAllocations.load(std::memory_order_relaxed)) return nullptr;
  return __libc_malloc(size);
}
#endif
