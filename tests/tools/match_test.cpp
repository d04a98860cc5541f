// `vantrel match` end to end: the built tool, the real module, files read back by real readers.
#include "imaging/colour.h"
#include "imaging/quality.h"
#include "imaging/sheet.h"
#include "support.h"

#include <OpenColorIO/OpenColorIO.h>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

namespace OCIO = OCIO_NAMESPACE;

namespace {

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void applyProcessor(const OCIO::ConstProcessorRcPtr& processor, Image& image) {
  OCIO::PackedImageDesc desc(image.pixels.data(), image.width, image.height, image.channels);
  processor->getDefaultCPUProcessor()->apply(desc);
}

// The known grade the Same Frame match has to learn, applied by OpenColorIO.
Image gradeWithCdl(Image image) {
  auto cdl = OCIO::CDLTransform::Create();
  const double slope[3] = {1.15, 0.95, 0.8}, offset[3] = {0.02, 0.0, 0.04}, power[3] = {1.1, 1.0, 0.9};
  cdl->setSlope(slope);
  cdl->setOffset(offset);
  cdl->setPower(power);
  cdl->setSat(1.1);
  applyProcessor(OCIO::Config::CreateRaw()->getProcessor(cdl), image);
  for (size_t i = 0; i < image.pixels.size(); ++i)
    if (i % 4 != 3) image.pixels[i] = std::min(1.0f, std::max(0.0f, image.pixels[i]));
  return image;
}

double maxDifference(const Image& a, const Image& b) {
  EXPECT_EQ(a.pixels.size(), b.pixels.size());
  double worst = 0.0;
  for (size_t i = 0; i < a.pixels.size() && i < b.pixels.size(); ++i)
    worst = std::max(worst, double(std::fabs(a.pixels[i] - b.pixels[i])));
  return worst;
}

bool samePixels(const Image& a, const Image& b) { return a.pixels == b.pixels && a.width == b.width; }

// A file in linear light, as the figures see it: integer files hold sRGB code values.
Image decoded(const std::string& path) {
  Image image;
  std::string error;
  EXPECT_TRUE(readColourImage(path, image, error)) << error;
  if (isIntegerDepth(image.depth)) srgbDecode(image.pixels.data(), size_t(image.width) * size_t(image.height), 4);
  return image;
}

class Match : public ::testing::Test {
 protected:
  ScratchDir dir;
  ToolRun vantrel(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    return runMatch(dir, std::move(args), env);
  }
};

}  // namespace

// Every lattice colour of the sub-cube [lo, hi]^3 of a 65-point lattice, one per pixel: dense
// enough that each cell the Same Frame match learns from holds a sample.
Image latticeColours(int lo, int hi, int width) {
  const int side = hi - lo + 1, count = side * side * side;
  Image image;
  image.width = width;
  image.height = (count + width - 1) / width;
  image.depth = SampleDepth::Float;
  image.pixels.resize(size_t(image.width) * size_t(image.height) * 4);
  for (int i = 0; i < image.width * image.height; ++i) {
    const int k = std::min(i, count - 1);
    float* p = &image.pixels[size_t(i) * 4];
    p[0] = float(lo + k / (side * side)) / 64.0f;
    p[1] = float(lo + (k / side) % side) / 64.0f;
    p[2] = float(lo + k % side) / 64.0f;
    p[3] = 1.0f;
  }
  return image;
}

// The pixels of `image` at the places where `source` holds a colour at least `margin` lattice
// steps inside [lo, hi]^3.
Image inner(const Image& image, const Image& source, int lo, int hi, int margin) {
  Image kept = image;
  kept.pixels.clear();
  for (size_t i = 0; i < source.pixels.size(); i += 4) {
    bool inside = true;
    for (int c = 0; c < 3; ++c) {
      const float index = source.pixels[i + size_t(c)] * 64.0f;
      inside = inside && index >= float(lo + margin) - 0.01f && index <= float(hi - margin) + 0.01f;
    }
    if (inside)
      kept.pixels.insert(kept.pixels.end(), image.pixels.begin() + long(i), image.pixels.begin() + long(i) + 4);
  }
  kept.width = int(kept.pixels.size() / 4);
  kept.height = 1;
  return kept;
}

TEST_F(Match, SameFrameLearnsAKnownCdlGradeAndExportsWhatThePlugInWrote) {
  const Image source = latticeColours(13, 51, 250);
  const Image reference = gradeWithCdl(source);
  writeRawImage(dir / "source.exr", source, SampleDepth::Float);
  writeRawImage(dir / "reference.exr", reference, SampleDepth::Float);

  // Matched in the files' own space, so that the lattice is the one the colours were placed on
  // (named: colours all within 0.2..0.8 could as well be log codes).
  const ToolRun run =
      vantrel({"source.exr", "reference.exr", "-o", "out.exr", "--mode", "same", "--cube", "look.cube", "--cdl",
               "look.cdl", "--report", "--verbose", "--working-space", "lin_rec709", "--source-space", "lin_rec709"});
  ASSERT_EQ(run.status, 0) << run.err;
  const Image output = readRawImage(dir / "out.exr");
  const double before = comparePixels(source, reference).mean, after = comparePixels(output, reference).mean;
  // Where every neighbour within the smoothing radius (5 steps) was learnt, the grade is reproduced
  // closely; near the edge of the covered colours the smoothing mixes in untouched cells.
  const int lo = 13, hi = 51;
  const double innerBefore = comparePixels(inner(source, source, lo, hi, 5), inner(reference, source, lo, hi, 5)).mean;
  const double innerAfter = comparePixels(inner(output, source, lo, hi, 5), inner(reference, source, lo, hi, 5)).mean;
  EXPECT_GT(innerBefore, 5.0);
  EXPECT_LT(innerAfter, 0.1) << "before " << innerBefore;
  EXPECT_GT(before, 4.0);
  EXPECT_LT(after, 1.0) << "before " << before;
  EXPECT_NE(run.out.find("Output vs Reference: mean"), std::string::npos) << run.out;

  // The plug-in's own export: its header, its diagnostics and its message, moved into place whole.
  const std::string cube = readText(dir / "look.cube");
  EXPECT_EQ(cube.rfind("TITLE \"Vantrel LUT\"\n", 0), 0u);
  EXPECT_NE(cube.find("LUT_3D_SIZE 65\n"), std::string::npos);
  EXPECT_NE(run.err.find("Vantrel: Export successful"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("vantrel: plug-in OfxMessageMessage: LUT saved to: look.cube\n"), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("Vantrel: CDL Export successful"), std::string::npos) << run.err;
  EXPECT_EQ(dir.files(), (std::vector<std::string>{"look.cdl", "look.cube", "out.exr", "reference.exr", "source.exr"}));

  // Another LUT tool applies the .cube to the Source and gets the rendered Output.
  auto file = OCIO::FileTransform::Create();
  file->setSrc((dir / "look.cube").c_str());
  file->setInterpolation(OCIO::INTERP_LINEAR);
  Image viaCube = source;
  applyProcessor(OCIO::Config::CreateRaw()->getProcessor(file), viaCube);
  EXPECT_LT(maxDifference(viaCube, output), 2e-4);

  // The .cdl reads as an ASC CDL whose grey response is the written slope and offset.
  auto cdl = OCIO::CDLTransform::CreateFromFile((dir / "look.cdl").c_str(), "Vantrel");
  ASSERT_TRUE(cdl);
  double slope[3], offset[3];
  cdl->getSlope(slope);
  cdl->getOffset(offset);
  EXPECT_NEAR(slope[0], 1.15, 0.25);
  EXPECT_LT(slope[2], slope[0]) << "the warm grade shows in the fitted slopes";
}

// Same Frame learns with the fitted lattice unless --fit cells asks for the plug-in's own default;
// the JSON report names the learner, and --fit in Different Clips mode gets a warning.
TEST_F(Match, FitChoosesSameFramesLearner) {
  const Image source = testPicture(120, 80, 5);
  writeRawImage(dir / "source.exr", source, SampleDepth::Float);
  writeRawImage(dir / "reference.exr", gradeWithCdl(source), SampleDepth::Float);
  const Image reference = readRawImage(dir / "reference.exr");
  struct Case {
    std::vector<std::string> fit;
    const char* named;
  };
  std::vector<double> after;
  std::vector<Image> outputs;
  for (const Case& c :
       {Case{{}, "lattice"}, Case{{"--fit", "lattice"}, "lattice"}, Case{{"--fit", "cells"}, "cells"}}) {
    std::vector<std::string> args = {"source.exr", "reference.exr", "-o",         "out.exr", "--mode",
                                     "same",       "--report-json", "report.json"};
    args.insert(args.end(), c.fit.begin(), c.fit.end());
    const ToolRun run = vantrel(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
    EXPECT_NE(readText(dir / "report.json").find(std::string("\"fit\": \"") + c.named + "\""), std::string::npos);
    outputs.push_back(readRawImage(dir / "out.exr"));
    after.push_back(comparePixels(outputs.back(), reference).mean);
  }
  const double before = comparePixels(source, reference).mean;
  EXPECT_TRUE(samePixels(outputs[0], outputs[1]));
  EXPECT_LT(after[0], 0.1 * before);
  EXPECT_LT(after[0], 0.5 * after[2]) << "cells " << after[2] << " of " << before;

  const ToolRun run =
      vantrel({"source.exr", "reference.exr", "-o", "dc.exr", "--fit", "cells", "--report-json", "report.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err.rfind("vantrel: warning: --fit plays no part in Different Clips mode (it chooses Same Frame's "
                          "learner)\n",
                          0),
            0u)
      << run.err;
  EXPECT_NE(readText(dir / "report.json").find("\"fit\": null"), std::string::npos);
}

// Different Clips learns from matching content unless --dc-learner statistics asks for the
// plug-in's own default: on two framings of one scene it comes far closer to the grade; the JSON
// report names the learner, and --dc-learner in Same Frame mode gets a warning.
TEST_F(Match, DcLearnerChoosesDifferentClipsLearner) {
  const Image photo = readRawImage(photoPath("astronaut.png"));
  auto crop = [&](int x0, int y0, bool graded) {
    Image c;
    c.width = 320;
    c.height = 240;
    c.pixels.assign(size_t(320 * 240 * 4), 1.0f);
    for (int y = 0; y < 240; ++y)
      for (int x = 0; x < 320; ++x) {
        const float* in = &photo.pixels[(size_t(y0 + y) * photo.width + size_t(x0 + x)) * size_t(photo.channels)];
        float* out = &c.pixels[(size_t(y) * 320 + size_t(x)) * 4];
        out[0] = graded ? 0.9f * std::pow(in[0], 0.8f) + 0.05f : in[0];
        out[1] = graded ? std::pow(in[1], 1.15f) : in[1];
        out[2] = graded ? 0.8f * in[2] + 0.1f : in[2];
      }
    return c;
  };
  writeRawImage(dir / "source.exr", crop(20, 30, false), SampleDepth::Float);
  writeRawImage(dir / "reference.exr", crop(130, 100, true), SampleDepth::Float);
  const Image truth = crop(20, 30, true);
  std::vector<double> after;
  std::vector<Image> outputs;
  for (const char* learner : {"", "content", "statistics"}) {
    std::vector<std::string> args = {"source.exr", "reference.exr", "-o", "out.exr", "--report-json", "report.json"};
    if (*learner) args.insert(args.end(), {"--dc-learner", learner});
    const ToolRun run = vantrel(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
    EXPECT_NE(readText(dir / "report.json").find(std::string("\"dc_learner\": \"") + (*learner ? learner : "content")),
              std::string::npos);
    outputs.push_back(readRawImage(dir / "out.exr"));
    after.push_back(comparePixels(outputs.back(), truth).mean);
  }
  EXPECT_TRUE(samePixels(outputs[0], outputs[1]));
  EXPECT_LT(after[0], 0.3 * after[2]) << "statistics " << after[2];

  const ToolRun run = vantrel({"source.exr", "reference.exr", "-o", "same.exr", "--mode", "same", "--dc-learner",
                               "statistics", "--report-json", "report.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err.rfind("vantrel: warning: --dc-learner plays no part in Same Frame mode (it chooses Different "
                          "Clips' learner)\n",
                          0),
            0u)
      << run.err;
  EXPECT_NE(readText(dir / "report.json").find("\"dc_learner\": null"), std::string::npos);
}

TEST_F(Match, MixesAreBakedIntoTheCubeAndAppliedToTheOutput) {
  writeRawImage(dir / "s.exr", testPicture(64, 48, 1), SampleDepth::Float);
  writeRawImage(dir / "r.exr", testPicture(64, 48, 4), SampleDepth::Float);
  ToolRun run = vantrel({"s.exr", "r.exr", "-o", "full.exr"});
  ASSERT_EQ(run.status, 0) << run.err;
  run = vantrel({"s.exr", "r.exr", "-o", "none.exr", "--mix", "0"});
  ASSERT_EQ(run.status, 0) << run.err;
  run = vantrel(
      {"s.exr", "r.exr", "-o", "half.exr", "--mix", "0.5", "--mix-b", "0", "--cube", "half.cube", "--cdl", "half.xml"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(readText(dir / "half.cube").find("# Combined: sR=0.5000, sG=0.5000, sB=0.0000\n"), std::string::npos);
  // A name without the plug-in's own extension is still the plug-in's file, under that name.
  EXPECT_EQ(readText(dir / "half.xml").rfind("<?xml version=\"1.0\"", 0), 0u);
  EXPECT_EQ(dir.files(),
            (std::vector<std::string>{"full.exr", "half.cube", "half.exr", "half.xml", "none.exr", "r.exr", "s.exr"}));

  const Image source = readRawImage(dir / "s.exr"), full = readRawImage(dir / "full.exr");
  const Image none = readRawImage(dir / "none.exr"), half = readRawImage(dir / "half.exr");
  EXPECT_TRUE(samePixels(none, source)) << "mix 0 passes the Source through";
  EXPECT_GT(maxDifference(full, source), 0.05);
  for (size_t i = 0; i < source.pixels.size(); i += 4) {
    EXPECT_NEAR(half.pixels[i], 0.5f * (source.pixels[i] + full.pixels[i]), 1e-5);
    EXPECT_EQ(half.pixels[i + 2], source.pixels[i + 2]);
  }
}

TEST_F(Match, DifferentClipsMovesRealPhotographsTowardsTheReferenceAndHonoursMasks) {
  const ToolRun run = vantrel(
      {photoPath("astronaut.png"), photoPath("coffee.png"), "-o", "out.png", "--report", "--sheet", "sheet.png"});
  ASSERT_EQ(run.status, 0) << run.err;
  const Image source = decoded(photoPath("astronaut.png")), reference = decoded(photoPath("coffee.png"));
  const Image output = decoded(dir / "out.png");
  const SpreadDeltaE before = compareSpreads(source, reference), after = compareSpreads(output, reference);
  EXPECT_LT(after.meanColourDeltaE, before.meanColourDeltaE / 2) << run.out;
  EXPECT_NE(run.out.find("Different Clips"), std::string::npos);

  // The sheet has the size its layout gives for these three pictures and three lines.
  const Image sheet = readRawImage(dir / "sheet.png");
  const SheetLayout layout = sheetLayout(source, reference, output, 3);
  EXPECT_EQ(sheet.width, layout.width);
  EXPECT_EQ(sheet.height, layout.height);

  // A mask of another size (stretched by the plug-in) that keeps the left half changes the match.
  Image mask;
  mask.width = 64;
  mask.height = 64;
  mask.channels = 1;
  mask.pixels.resize(64 * 64);
  for (size_t i = 0; i < mask.pixels.size(); ++i) mask.pixels[i] = i % 64 < 32 ? 1.0f : 0.0f;
  writeRawImage(dir / "mask.png", mask, SampleDepth::UInt8);
  const ToolRun masked = vantrel({photoPath("astronaut.png"), photoPath("coffee.png"), "-o", "masked.png",
                                  "--source-mask", "mask.png", "--reference-mask", "mask.png"});
  ASSERT_EQ(masked.status, 0) << masked.err;
  EXPECT_GT(maxDifference(readRawImage(dir / "masked.png"), readRawImage(dir / "out.png")), 0.02);
}

TEST_F(Match, FilesAreConvertedIntoTheWorkingSpaceAndBack) {
  // The Reference is the PNG's linear decode as a float file: the same picture in the same
  // light, so correct conversions leave almost nothing to match.
  writeRawImage(dir / "linear.exr", decoded(photoPath("chelsea.png")), SampleDepth::Float);
  ToolRun run = vantrel({photoPath("chelsea.png"), "linear.exr", "-o", "auto.png", "--report"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("Source in sRGB - Texture, Reference in Linear Rec.709 (sRGB), matched in Linear Rec.709 "
                         "(sRGB) (the default for a Source within 1 in linear light; what the .cube expects), Output "
                         "in sRGB - Texture"),
            std::string::npos)
      << run.out;
  // Told that the linear file holds sRGB code values, the match goes far off.
  run = vantrel({photoPath("chelsea.png"), "linear.exr", "-o", "codes.png", "--reference-space", "SRGB"});
  ASSERT_EQ(run.status, 0) << run.err;
  const Image original = decoded(photoPath("chelsea.png"));
  EXPECT_LT(comparePixels(decoded(dir / "auto.png"), original).mean, 1.0);
  EXPECT_GT(comparePixels(decoded(dir / "codes.png"), original).mean, 3.0);

  // At mix 0 an 8-bit file comes back with the very same code values through each space, and a
  // float file within 1e-5.
  const Image plate = readRawImage(dir / "linear.exr");
  for (const char* space : {"lin_rec709", "srgb", "rec709", "rec709_headroom", "acescg", "acescct", "aces"}) {
    run = vantrel({photoPath("chelsea.png"), "linear.exr", "-o", "same.png", "--mix", "0", "--working-space", space});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(samePixels(readRawImage(dir / "same.png"), readRawImage(photoPath("chelsea.png")))) << space;
    run = vantrel({"linear.exr", photoPath("chelsea.png"), "-o", "same.exr", "--mix", "0", "--mode", "same",
                   "--working-space", space});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_LT(maxDifference(readRawImage(dir / "same.exr"), plate), 1e-5) << space;
  }
}

TEST_F(Match, SequencesHoldAStillReferenceAndGiveTheSameFramesHoweverSplit) {
  for (int frame = 1; frame <= 4; ++frame)
    writeRawImage(dir / ("plate." + std::to_string(1000 + frame) + ".exr"), testPicture(96, 64, frame),
                  SampleDepth::Float);
  writeRawImage(dir / "grade.exr", testPicture(80, 80, 9), SampleDepth::Float);

  ToolRun run = vantrel({"plate.####.exr", "grade.exr", "-o", "whole.%04d.exr", "--frames", "1001-1004", "--cube",
                         "look.%04d.cube", "--threads", "3", "--tile-size", "32"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("vantrel: frame 1004 done (4/4"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("vantrel: 4 frames in"), std::string::npos) << run.err;
  for (int frame = 1001; frame <= 1004; ++frame)
    EXPECT_NE(readText(dir / ("look." + std::to_string(frame) + ".cube")).find("LUT_3D_SIZE 65"), std::string::npos);

  // Split as a farm would, one thread and small tiles: the same pixels.
  for (const char* part : {"1001-1002", "1003", "1004-1004"}) {
    run = vantrel({"plate.%04d.exr", "grade.exr", "-o", "split.%04d.exr", "--frames", part, "--threads", "1",
                   "--tile-size", "16"});
    ASSERT_EQ(run.status, 0) << run.err;
  }
  for (int frame = 1001; frame <= 1004; ++frame) {
    const std::string n = std::to_string(frame);
    const Image whole = readRawImage(dir / ("whole." + n + ".exr"));
    EXPECT_TRUE(samePixels(whole, readRawImage(dir / ("split." + n + ".exr")))) << frame;
    // Each frame is the match of that plate alone against the held grade.
    run = vantrel({"plate." + n + ".exr", "grade.exr", "-o", "alone." + n + ".exr"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(samePixels(whole, readRawImage(dir / ("alone." + n + ".exr")))) << frame;
  }
  EXPECT_FALSE(samePixels(readRawImage(dir / "whole.1001.exr"), readRawImage(dir / "whole.1002.exr")));
}

// Masks given as patterns follow the frames: each frame of the shot equals that frame matched
// alone with its own mask, and the two masks really give different matches.
TEST_F(Match, MaskSequencesFollowTheFrames) {
  for (int frame = 1; frame <= 2; ++frame) {
    writeRawImage(dir / ("plate." + std::to_string(frame) + ".exr"), testPicture(64, 48, 1), SampleDepth::Float);
    Image mask;
    mask.width = 64;
    mask.height = 48;
    mask.channels = 1;
    mask.pixels.resize(64 * 48);
    for (size_t i = 0; i < mask.pixels.size(); ++i) mask.pixels[i] = frame == 1 || i % 64 < 20 ? 1.0f : 0.0f;
    writeRawImage(dir / ("mask." + std::to_string(frame) + ".png"), mask, SampleDepth::UInt8);
  }
  writeRawImage(dir / "grade.exr", testPicture(64, 48, 5), SampleDepth::Float);

  ToolRun run =
      vantrel({"plate.%d.exr", "grade.exr", "-o", "shot.%d.exr", "--frames", "1-2", "--source-mask", "mask.%d.png"});
  ASSERT_EQ(run.status, 0) << run.err;
  for (const std::string n : {"1", "2"}) {
    run = vantrel(
        {"plate." + n + ".exr", "grade.exr", "-o", "alone." + n + ".exr", "--source-mask", "mask." + n + ".png"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(samePixels(readRawImage(dir / ("shot." + n + ".exr")), readRawImage(dir / ("alone." + n + ".exr"))))
        << "frame " << n;
  }
  EXPECT_GT(maxDifference(readRawImage(dir / "shot.1.exr"), readRawImage(dir / "shot.2.exr")), 0.01)
      << "the same plate under two masks";
}
