// Every heap allocation the module makes during a render or an export fails in turn, through the
// real module. The module links its C++ runtime statically, so its operator new is a private copy
// that calls malloc through the dynamic linker; the malloc defined here comes first in symbol
// lookup. Only calls made from the module's own code are counted and failed, so the host library
// and the test keep their memory.
#include <dlfcn.h>
#include <link.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "reliability_support.h"

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_realloc(void* p, size_t size);

namespace {

std::atomic<uintptr_t> gModuleBegin{0}, gModuleEnd{0};
std::atomic<bool> gArmed{false};
std::atomic<int> gFailAt{-1};             // index of the counted allocation that fails
std::atomic<size_t> gFailFrom{SIZE_MAX};  // every allocation at least this large fails
std::atomic<int> gCounted{0};

bool shouldFail(size_t size, const void* caller) {
  const auto at = reinterpret_cast<uintptr_t>(caller);
  if (!gArmed.load(std::memory_order_relaxed) || at < gModuleBegin || at >= gModuleEnd) return false;
  if (size >= gFailFrom.load(std::memory_order_relaxed)) return true;
  return gCounted.fetch_add(1) == gFailAt.load(std::memory_order_relaxed);
}

}  // namespace

extern "C" void* malloc(size_t size) {
  if (shouldFail(size, __builtin_return_address(0))) return nullptr;
  return __libc_malloc(size);
}

extern "C" void* realloc(void* p, size_t size) {
  if (shouldFail(size, __builtin_return_address(0))) return nullptr;
  return __libc_realloc(p, size);
}

using namespace reliability;

namespace {

// Loads the module once and finds its address range.
void locateModule() {
  if (gModuleEnd != 0) return;
  rendertest::Session loaded;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void*) -> int {
        const char* name = info->dlpi_name;
        const size_t n = std::strlen(name);
        if (n < 12 || std::strcmp(name + n - 12, "Brenvale.ofx") != 0) return 0;
        uintptr_t lo = UINTPTR_MAX, hi = 0;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          if (ph.p_type != PT_LOAD) continue;
          lo = std::min<uintptr_t>(lo, info->dlpi_addr + ph.p_vaddr);
          hi = std::max<uintptr_t>(hi, info->dlpi_addr + ph.p_vaddr + ph.p_memsz);
        }
        gModuleBegin = lo;
        gModuleEnd = hi;
        return 1;
      },
      nullptr);
  ASSERT_NE(gModuleEnd.load(), 0u) << "module not found among the loaded objects";
}

// Runs fn with the module's allocation number failAt (counting from 0) failing, or with every
// module allocation of at least failFrom bytes failing. Returns how many were counted.
template <class F>
int withFailure(int failAt, size_t failFrom, F fn) {
  gCounted = 0;
  gFailAt = failAt;
  gFailFrom = failFrom;
  gArmed = true;
  fn();
  gArmed = false;
  return gCounted;
}

constexpr size_t kLarge = 1000000;  // the lattice and the builders' arrays, not the small vectors

const char* const kLutMessage = "Vantrel: LUT allocation failed\n";
const char* const kBuildMessage = "Vantrel: LUT build failed - not enough memory, rendering without the match\n";
const char* const kRenderMessage = "Vantrel: Out of memory while rendering - frame not rendered\n";

ofxhost::TestingOptions capturing() {
  ofxhost::TestingOptions options;
  options.captureStderr = true;
  return options;
}

struct Case {
  int matchMode;
  bool converted;
  int builderArrays;  // working arrays the mode's builder allocates
};

class EveryRenderAllocation : public ::testing::TestWithParam<Case> {};

// Each round starts from an instance created without lattice storage, so that the lattice is
// one of the allocations of its first render, and fails one allocation of that render.
TEST_P(EveryRenderAllocation, FailsCleanlyAndTheInstanceRecovers) {
  const Case c = GetParam();
  coffee(), chelsea();  // decoded before anything fails
  ScratchDir dir;
  locateModule();
  auto makeScene = [&] {
    std::unique_ptr<Scene> s;
    withFailure(-1, kLarge, [&] { s = std::make_unique<Scene>(capturing(), c.converted); });
    EXPECT_EQ(s->session.record().lut.data, nullptr);
    s->session.setChoice("matchMode", c.matchMode);
    s->setExportPath(dir.file("look.cube"));
    return s;
  };

  // The clean run gives the expected Output and the number of allocations of a render.
  std::vector<float> matched;
  int allocations = 0;
  {
    auto s = makeScene();
    allocations = withFailure(-1, SIZE_MAX, [&] { EXPECT_EQ(s->session.render(), kOfxStatOK); });
    matched = s->session.output();
  }
  const std::vector<float> clamped = rendertest::expectedOutput(coffee(), nullptr);
  ASSERT_GE(allocations, 2 + c.builderArrays);

  int lutFailures = 0, buildFailures = 0, renderFailures = 0, silentFallbacks = 0;
  for (int failAt = 0; failAt < allocations; ++failAt) {
    SCOPED_TRACE("allocation " + std::to_string(failAt));
    auto s = makeScene();
    rendertest::Session& session = s->session;
    OfxStatus status = kOfxStatOK;
    withFailure(failAt, SIZE_MAX, [&] { status = session.render(); });
    const std::string said = session.host().lastStderr();
    const InstanceData& record = session.record();
    if (said.empty() && status == kOfxStatOK && record.lut.valid) {
      // Only a speed-up went without: the application's red-pair table (the match is applied
      // from the lattice itself) or the bookkeeping of a threaded step (one thread does it).
      // Nothing is said and the pixels are the same.
      ++silentFallbacks;
      EXPECT_TRUE(rendertest::samePixels(session.output(), matched));
      continue;
    }
    if (said == kLutMessage || said == kBuildMessage) {
      // Rendered without the match; the keys stay as they were, so the next render builds.
      lutFailures += said == kLutMessage;
      buildFailures += said == kBuildMessage;
      EXPECT_EQ(status, kOfxStatOK);
      EXPECT_TRUE(rendertest::samePixels(session.output(), clamped));
      if (said == kLutMessage) {
        EXPECT_EQ(record.lut.size, 0);
      }
    } else {
      ++renderFailures;
      EXPECT_EQ(said, kRenderMessage);
      EXPECT_EQ(status, kOfxStatErrMemory);
    }
    EXPECT_FALSE(record.lut.valid);
    EXPECT_EQ(record.lutMatchMode, -1);
    EXPECT_EQ(record.lutSourceTime, -1.0);
    EXPECT_EQ(session.host().outstandingImages(), 0);

    // With memory back the next render builds, and both exports write whole files.
    EXPECT_EQ(session.render(), kOfxStatOK);
    EXPECT_EQ(session.host().lastStderr(), "");
    EXPECT_TRUE(rendertest::samePixels(session.output(), matched));
    EXPECT_EQ(s->press("exportButton"), kOfxStatReplyDefault);
    EXPECT_EQ(s->press("exportCDLButton"), kOfxStatReplyDefault);
    EXPECT_TRUE(completeCube(readFile(dir.file("look.cube"))));
    EXPECT_TRUE(completeCDL(readFile(dir.file("look.cdl"))));
  }
  EXPECT_EQ(lutFailures, 1);
  EXPECT_GE(silentFallbacks, 1);
  EXPECT_EQ(buildFailures, c.builderArrays);
  EXPECT_EQ(renderFailures, allocations - 1 - silentFallbacks - c.builderArrays);
}

// Different Clips allocates the smoothing's working storage; Same Frame its sums, coordinates,
// counts, smoothing storage and sampled pairs. Converted inputs add the working copies of Reference and mask.
INSTANTIATE_TEST_SUITE_P(BothModes, EveryRenderAllocation,
                         ::testing::Values(Case{0, false, 1}, Case{1, false, 5}, Case{0, true, 1}, Case{1, true, 5}));

// An export whose memory runs out fails as an unwritable file does: the old file stays whole,
// the path is not rewritten, and the next press works.
TEST(EveryExportAllocation, FailsAndKeepsTheOldFile) {
  locateModule();
  ScratchDir dir;
  Scene scene(capturing());
  ASSERT_EQ(scene.session.render(), kOfxStatOK);
  const std::string cube = dir.file("look.cube"), cdl = dir.file("look.cdl");
  scene.setExportPath(cube);

  const struct {
    const char* button;
    std::string file;
    std::string failed;
    std::string message;
  } exports[] = {
      {"exportButton", cube,
       "Vantrel: Exporting cached LUT with Mix=1.000, R=1.000, G=1.000, B=1.000\nVantrel: Export FAILED\n",
       "Failed to save .cube file"},
      {"exportCDLButton", cdl, "Vantrel: CDL Export FAILED\n", "Failed to save .cdl file"},
  };
  writeFile(cube, "good");
  writeFile(cdl, "good");
  for (const auto& e : exports) {
    const int allocations = withFailure(-1, SIZE_MAX, [&] { scene.press(e.button); });
    for (int failAt = 0; failAt < allocations; ++failAt) {
      SCOPED_TRACE(std::string(e.button) + " allocation " + std::to_string(failAt));
      writeFile(e.file, "good");
      scene.session.host().clearMessages();
      OfxStatus status = kOfxStatOK;
      withFailure(failAt, SIZE_MAX, [&] { status = scene.press(e.button); });
      EXPECT_EQ(status, kOfxStatReplyDefault);
      EXPECT_EQ(scene.session.host().lastStderr(), e.failed);
      EXPECT_EQ(readFile(e.file), "good");
      EXPECT_EQ(dir.entries().size(), 2u);  // no temporary file left behind
      ASSERT_EQ(scene.session.host().messages().size(), 1u);
      EXPECT_EQ(scene.session.host().messages()[0].text, e.message);
      EXPECT_EQ(scene.exportPath(), cube);
      EXPECT_TRUE(scene.session.record().lut.valid);
    }
    EXPECT_EQ(scene.press(e.button), kOfxStatReplyDefault);
    EXPECT_EQ(scene.exportPath(), cube);
  }
  EXPECT_TRUE(completeCube(readFile(cube)));
  EXPECT_TRUE(completeCDL(readFile(cdl)));
}

}  // namespace
