#include <atomic>

#include "engine/engine_internal.h"
#include "engine/kernels.h"

namespace engine {
namespace {

Isa detectIsa() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512dq")) {
    return Isa::Avx512;
  }
  if (__builtin_cpu_supports("avx2")) return Isa::Avx2;
  return Isa::Generic;
}

std::atomic<int>& chosen() {
  static std::atomic<int> isa{int(detectIsa())};
  return isa;
}

}  // namespace

Isa bestIsa() {
  static const Isa best = detectIsa();
  return best;
}

Isa activeIsa() { return Isa(chosen().load(std::memory_order_relaxed)); }

const Kernels& kernels() {
  switch (activeIsa()) {
    case Isa::Avx512: return kAvx512Kernels;
    case Isa::Avx2: return kAvx2Kernels;
    default: return kGenericKernels;
  }
}

bool useIsa(Isa isa) {
  if (int(isa) > int(bestIsa())) return false;
  chosen().store(int(isa), std::memory_order_relaxed);
  return true;
}

}  // namespace engine
