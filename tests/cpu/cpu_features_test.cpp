#include "cpu/cpu_features.h"

#include <gtest/gtest.h>

namespace {

const CpuFeatures kIntel512{true, true, true}, kAmd512{false, true, true}, kAvx2Only{false, true, false},
    kPlain{false, false, false};

}  // namespace

// The measured rule, then the override: a set the processor has is honoured, a wider one falls
// back to the widest below it, and an unknown name is ignored; each refusal says why.
TEST(KernelChoice, RuleAndOverride) {
  EXPECT_EQ(preferredKernelSet(kIntel512), KernelSet::Avx512);
  EXPECT_EQ(preferredKernelSet(kAmd512), KernelSet::Avx2);
  EXPECT_EQ(preferredKernelSet(kAvx2Only), KernelSet::Avx2);
  EXPECT_EQ(preferredKernelSet(kPlain), KernelSet::Generic);
  // The engine's rule differs on AMD processors with AVX-512 only.
  EXPECT_EQ(preferredKernelSet(kAmd512, KernelFamily::Engine), KernelSet::Avx512);
  EXPECT_EQ(preferredKernelSet(kIntel512, KernelFamily::Engine), KernelSet::Avx512);
  EXPECT_EQ(preferredKernelSet(kAvx2Only, KernelFamily::Engine), KernelSet::Avx2);
  EXPECT_EQ(preferredKernelSet(kPlain, KernelFamily::Engine), KernelSet::Generic);

  struct Case {
    CpuFeatures cpu;
    const char* request;
    KernelSet set;
    bool problem;
    KernelSet engine = set;  // VANTREL_ISA forces one set for both families
  };
  for (const Case& c :
       {Case{kAmd512, nullptr, KernelSet::Avx2, false, KernelSet::Avx512},
        Case{kAmd512, "", KernelSet::Avx2, false, KernelSet::Avx512}, Case{kAmd512, "avx2", KernelSet::Avx2, false},
        Case{kAmd512, "avx512", KernelSet::Avx512, false}, Case{kIntel512, "GENERIC", KernelSet::Generic, false},
        Case{kIntel512, "avx2", KernelSet::Avx2, false}, Case{kAvx2Only, "avx512", KernelSet::Avx2, true},
        Case{kPlain, "avx512", KernelSet::Generic, true}, Case{kPlain, "avx2", KernelSet::Generic, true},
        Case{kIntel512, "sse9", KernelSet::Avx512, true},
        Case{kAmd512, "sse9", KernelSet::Avx2, true, KernelSet::Avx512}}) {
    const KernelChoice choice = chooseKernelSet(c.cpu, c.request);
    EXPECT_EQ(choice.set, c.set) << (c.request ? c.request : "(none)");
    EXPECT_EQ(choice.engine, c.engine) << (c.request ? c.request : "(none)");
    EXPECT_EQ(choice.problem != nullptr, c.problem) << (c.request ? c.request : "(none)");
  }
  for (KernelSet set : {KernelSet::Generic, KernelSet::Avx2, KernelSet::Avx512})
    EXPECT_EQ(parseKernelSet(kernelSetName(set)), set);
  EXPECT_FALSE(parseKernelSet(nullptr));
  // Whatever is asked for, only a set this processor runs comes back.
  EXPECT_TRUE(supports(detectCpu(), usableKernelSet(KernelSet::Avx512)));
}
