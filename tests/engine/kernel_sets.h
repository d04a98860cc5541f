// Runs a test body once for each vector kernel set this CPU supports, passing the set.
#pragma once

#include <gtest/gtest.h>

#include "cpu/cpu_features.h"

template <class Fn>
void forEachKernelSet(Fn fn) {
  const CpuFeatures cpu = detectCpu();
  for (KernelSet set : {KernelSet::Generic, KernelSet::Avx2, KernelSet::Avx512}) {
    if (!supports(cpu, set)) continue;
    SCOPED_TRACE(kernelSetName(set));
    fn(set);
  }
}
