#include "cpu/cpu_features.h"

#include <strings.h>

CpuFeatures detectCpu() {
  __builtin_cpu_init();
  CpuFeatures cpu;
  cpu.intel = __builtin_cpu_is("intel");
  cpu.avx2 = __builtin_cpu_supports("avx2");
  cpu.avx512 = cpu.avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
               __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq");
  return cpu;
}

bool supports(const CpuFeatures& cpu, KernelSet set) {
  switch (set) {
    case KernelSet::Generic:
      return true;
    case KernelSet::Avx2:
      return cpu.avx2;
    case KernelSet::Avx512:
      return cpu.avx512;
  }
  return false;
}

KernelSet preferredKernelSet(const CpuFeatures& cpu, KernelFamily family) {
  if (cpu.avx512 && (cpu.intel || family == KernelFamily::Engine)) return KernelSet::Avx512;
  return cpu.avx2 ? KernelSet::Avx2 : KernelSet::Generic;
}

KernelSet preferredKernelSet(const CpuFeatures& cpu) { return preferredKernelSet(cpu, KernelFamily::Application); }

KernelSet preferredKernelSet(KernelFamily family) { return preferredKernelSet(detectCpu(), family); }

std::optional<KernelSet> parseKernelSet(const char* name) {
  if (name == nullptr) return std::nullopt;
  for (KernelSet set : {KernelSet::Generic, KernelSet::Avx2, KernelSet::Avx512})
    if (strcasecmp(name, kernelSetName(set)) == 0) return set;
  return std::nullopt;
}

const char* kernelSetName(KernelSet set) {
  switch (set) {
    case KernelSet::Avx2:
      return "avx2";
    case KernelSet::Avx512:
      return "avx512";
    case KernelSet::Generic:
      break;
  }
  return "generic";
}

namespace {

KernelSet widestBelow(const CpuFeatures& cpu, KernelSet set) {
  if (supports(cpu, set)) return set;
  return set == KernelSet::Avx512 && cpu.avx2 ? KernelSet::Avx2 : KernelSet::Generic;
}

}  // namespace

KernelSet usableKernelSet(KernelSet requested) { return widestBelow(detectCpu(), requested); }

KernelChoice chooseKernelSet(const CpuFeatures& cpu, const char* request) {
  const KernelSet application = preferredKernelSet(cpu, KernelFamily::Application);
  const KernelSet engine = preferredKernelSet(cpu, KernelFamily::Engine);
  if (request == nullptr || *request == '\0') return {application, engine, nullptr};
  const std::optional<KernelSet> asked = parseKernelSet(request);
  if (!asked) return {application, engine, "VANTREL_ISA is not one of generic, avx2, avx512 - ignored"};
  if (supports(cpu, *asked)) return {*asked, *asked, nullptr};
  const KernelSet below = widestBelow(cpu, *asked);
  return {below, below, "this processor lacks the kernel set VANTREL_ISA names - using the widest it has below it"};
}
