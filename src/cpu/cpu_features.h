// Which vector kernels run: the processor's features, the rule that picks a kernel set from
// them, and the VANTREL_ISA override. The engine and the renderer take the chosen set as an
// argument; only the plug-in decides it, once, when it is loaded.
#pragma once

#include <optional>

// Sets of vector kernels. Every set gives bit-identical results; they differ only in speed.
enum class KernelSet { Generic, Avx2, Avx512 };

struct CpuFeatures {
  bool intel = false;
  bool avx2 = false;
  bool avx512 = false;  // F, VL, BW and DQ together, which the AVX-512 kernels use
};

CpuFeatures detectCpu();

bool supports(const CpuFeatures& cpu, KernelSet set);

// The two families of kernels, each with its own rule: the engine's (statistics and LUT builds)
// and the application's (sampling the LUT for every pixel).
enum class KernelFamily { Engine, Application };

// The measured rules. Application: AVX-512 on Intel processors, AVX2 on every other processor
// that has it (on AMD's the AVX-512 build of the application kernels is the slower). Engine:
// AVX-512 wherever the processor has it (on AMD's too, where its kernels beat the AVX2 ones),
// else AVX2. The generic kernels otherwise.
KernelSet preferredKernelSet(const CpuFeatures& cpu, KernelFamily family);
// The application's rule, and the sets of the processor this runs on.
KernelSet preferredKernelSet(const CpuFeatures& cpu);
KernelSet preferredKernelSet(KernelFamily family = KernelFamily::Application);

// "generic", "avx2" or "avx512" (any case); nullopt for anything else.
std::optional<KernelSet> parseKernelSet(const char* name);
const char* kernelSetName(KernelSet set);

struct KernelChoice {
  KernelSet set;     // for the application
  KernelSet engine;  // for the engine
  // Set when the request could not be honoured: a line saying why (without a line feed).
  const char* problem;
};

// `requested` when this processor runs it, otherwise the widest set it has below it: a caller
// naming a set the processor lacks gets slower kernels, never an illegal instruction.
KernelSet usableKernelSet(KernelSet requested);

// The sets to use given an override (null or empty: none), which forces one set for both
// families. An unknown name is ignored; a set the processor lacks falls back to the widest one it
// has below it.
KernelChoice chooseKernelSet(const CpuFeatures& cpu, const char* request);
