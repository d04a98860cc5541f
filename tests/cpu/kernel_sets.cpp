// Prints the kernel sets this processor runs, one per line, for scripts that repeat the
// integration tests with each of them.
#include <cstdio>

#include "cpu/cpu_features.h"

int main() {
  const CpuFeatures cpu = detectCpu();
  for (KernelSet set : {KernelSet::Generic, KernelSet::Avx2, KernelSet::Avx512})
    if (supports(cpu, set)) std::printf("%s\n", kernelSetName(set));
  return 0;
}
