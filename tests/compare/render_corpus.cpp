// Writes a fixed set of renders and exports of the module into $VANTREL_CORPUS_OUT, for
// compare_builds.sh to set the Linux module's beside the Windows module's: both modes, every
// preserve mode, with and without masks, two sets of mixes, 8-bit, 16-bit and float images, and
// the .cube and .cdl of each match. The first run writes its inputs to OUT/inputs; a run given
// $VANTREL_CORPUS_INPUTS reads them from there, so both modules see the same bits.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "render_harness.h"

using namespace rendertest;

namespace {

constexpr int kWidth = 96, kHeight = 64;

std::string env(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

bool writeBytes(const std::string& path, const void* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = fwrite(data, 1, size, f) == size;
  return fclose(f) == 0 && ok;
}

// An input written by the first run, or read back by the second.
Picture input(const std::string& name, Picture made) {
  const std::string from = env("VANTREL_CORPUS_INPUTS");
  const size_t bytes = made.rgba.size() * sizeof(float);
  if (from.empty()) {
    EXPECT_TRUE(writeBytes(env("VANTREL_CORPUS_OUT") + "/inputs/" + name, made.rgba.data(), bytes)) << name;
    return made;
  }
  FILE* f = fopen((from + "/" + name).c_str(), "rb");
  EXPECT_NE(f, nullptr) << name;
  if (f) {
    EXPECT_EQ(fread(made.rgba.data(), 1, bytes, f), bytes) << name;
    fclose(f);
  }
  return made;
}

const char* bitsOf(PixelDepth depth) {
  return depth == PixelDepth::Byte ? "8" : depth == PixelDepth::Short ? "16" : "32";
}

TEST(Corpus, RendersAndExports) {
  const std::string out = env("VANTREL_CORPUS_OUT");
  ASSERT_FALSE(out.empty()) << "set VANTREL_CORPUS_OUT";
  const Picture source = input("source", photo("coffee.png", kWidth, kHeight));
  const Picture reference = input("reference", photo("chelsea.png", kWidth, kHeight));
  // Out-of-range and non-finite values as a damaged plate has them.
  Picture wild = input("wild", randomPicture(kWidth, kHeight, 11, -0.3f, 1.4f));
  wild.rgba[5] = std::numeric_limits<float>::quiet_NaN();
  wild.rgba[42] = std::numeric_limits<float>::infinity();
  const Picture sourceMask = input("source-mask", randomPicture(kWidth, kHeight, 12));
  const Picture referenceMask = input("reference-mask", randomPicture(kWidth, kHeight, 13));

  const Mixes mixes[] = {{}, {0.7, 1.0, 0.5, 0.25}};
  int renders = 0, exports = 0;
  for (int mode : {0, 1})
    for (int preserve : {0, 1, 2})
      for (bool masks : {false, true}) {
        Session session;
        session.setChoice("matchMode", mode);
        session.setChoice("preserveMode", preserve);
        session.attach("Reference", reference);
        if (masks) {
          session.attach("SourceMask", sourceMask);
          session.attach("ReferenceMask", referenceMask);
        }
        const std::string name = "m" + std::to_string(mode) + "p" + std::to_string(preserve) + (masks ? "k" : "");
        for (const Picture* picture : {&source, static_cast<const Picture*>(&wild)})
          for (PixelDepth depth : {PixelDepth::Byte, PixelDepth::Short, PixelDepth::Float})
            for (size_t m = 0; m < 2; ++m) {
              const ImageLayout layout{depth, ofxhost::Components::RGBA};
              session.attach("Source", *picture, layout);
              auto output = session.attachOutput(OfxRectI{0, 0, kWidth, kHeight}, layout);
              session.set("strength", mixes[m].strength);
              session.set("strengthR", mixes[m].r);
              session.set("strengthG", mixes[m].g);
              session.set("strengthB", mixes[m].b);
              ASSERT_EQ(session.render(), kOfxStatOK) << name;
              const std::string file = out + "/" + name + (picture == &wild ? "-wild" : "") + "-" + bitsOf(depth) +
                                       "bit-mix" + std::to_string(m) + ".raw";
              ASSERT_TRUE(writeBytes(file, output->storage.data(), output->storage.size())) << file;
              ++renders;
            }
        // The match of the photographs, exported at the second mixes.
        session.attach("Source", source);
        session.attachOutput(OfxRectI{0, 0, kWidth, kHeight});
        ASSERT_EQ(session.render(), kOfxStatOK);
        session.host().setParamString(session.instance(), "exportPath", out + "/" + name + ".cube");
        ASSERT_EQ(session.host().instanceChanged(session.instance(), kOfxTypeParameter, "exportButton"),
                  kOfxStatReplyDefault);
        ASSERT_EQ(session.host().instanceChanged(session.instance(), kOfxTypeParameter, "exportCDLButton"),
                  kOfxStatReplyDefault);
        exports += 2;
      }
  printf("%d renders and %d exports written to %s\n", renders, exports, out.c_str());
}

}  // namespace
