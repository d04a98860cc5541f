// How well `vantrel match` does in each working space, on photographs it never saw: graded
// copies made through OpenColorIO with known grades (Same Frame), each photograph against
// itself, and pairs of different photographs (Different Clips); then the same for scene-linear
// plates with highlights above 1 and for plates in camera log spaces (colour_eval_hdr.cpp). The
// built tool is run on files as a user runs it; the figures are CIE dE2000 (Little CMS) in
// linear Rec.709.
//
//   colour_eval [--photos DIR] [--width N] [--tables sdr,hdr,camera] [--spaces a,b,...]
//               [--hdr-same-spaces a,b,...] [--hdr-different-spaces a,b,...] [--keep DIR] [--pairs]
//               [--learners-only] [--tool PATH --plugin PATH] [-- TOOL OPTIONS]
//               [--scene-photos DIR,DIR] [--scene-width N] [--scene-sets sdr,hdr,unrelated]
//               [--halves tuning,held-out]
//
// DIR holds JPEG or PNG photographs (default: the nature photographs of Debian's
// mate-backgrounds). Each is scaled to N pixels wide (default 640) and stored as an 8-bit
// sRGB PNG, as are its graded copies. The last row of each table is the tool with its defaults.
// --tables picks the sets (hdr-same and hdr-different: one mode of the scene-linear set;
// linear-host: the plug-in driven as a linear-light host drives it, beside the tool's default).
// TOOL OPTIONS go to every run of the tool (for example another learner, or --config).
// --tool and --plugin run another build (say, one from before a change) on the same set.
// Same Frame is measured once more per learner ("Same Frame Fit"), with each pair's .cube also
// applied to the next photograph graded alike; --learners-only measures only that.
// --tables same-scene (not run by default) measures Different Clips' two learners on two framings
// of one scene, on photographs of its own with a tuning and a held-out half
// (colour_eval_scene.cpp).
#include "colour_eval.h"
#include "colour_eval_scene.h"
#include "imaging/quality.h"
#include "run_quiet.h"

#include <OpenImageIO/imagebufalgo.h>
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

// The tool and module run: the build's own unless --tool and --plugin say otherwise.
static std::string gTool = VANTREL_TOOL, gPlugin = VANTREL_PLUGIN;

bool EvalOptions::wants(const std::string& table) const {
  return std::find(tables.begin(), tables.end(), table) != tables.end();
}

void fail(const std::string& message) {
  std::fprintf(stderr, "colour_eval: %s\n", message.c_str());
  std::exit(1);
}

namespace {

OCIO::TransformRcPtr between(const char* from, const char* to) {
  auto t = OCIO::ColorSpaceTransform::Create();
  t->setSrc(from);
  t->setDst(to);
  return t;
}

}  // namespace

OCIO::ConstTransformRcPtr inSpace(const char* space, const OCIO::TransformRcPtr& inner, const char* from) {
  auto group = OCIO::GroupTransform::Create();
  group->appendTransform(between(from, space));
  group->appendTransform(inner);
  group->appendTransform(between(space, from));
  return group;
}

OCIO::TransformRcPtr exposure(double stops, double contrast) {
  auto e = OCIO::ExposureContrastTransform::Create();
  e->setStyle(OCIO::EXPOSURE_CONTRAST_LINEAR);
  e->setExposure(stops);
  e->setContrast(contrast);
  e->setPivot(0.18);
  return e;
}

OCIO::TransformRcPtr matrix(const std::array<double, 9>& m) {
  auto t = OCIO::MatrixTransform::Create();
  const double v[16] = {m[0], m[1], m[2], 0, m[3], m[4], m[5], 0, m[6], m[7], m[8], 0, 0, 0, 0, 1};
  t->setMatrix(v);
  return t;
}

Image applied(const Image& image, const OCIO::ConstTransformRcPtr& grade) {
  Image out = image;
  OCIO::ConstProcessorRcPtr processor = builtInConfig()->getProcessor(grade);
  OCIO::PackedImageDesc desc(out.pixels.data(), out.width, out.height, 4);
  processor->getDefaultCPUProcessor()->apply(desc);
  return out;
}

OCIO::TransformRcPtr cdl(std::array<double, 3> slope, std::array<double, 3> offset, std::array<double, 3> power,
                         double sat) {
  auto t = OCIO::CDLTransform::Create();
  const double s[3] = {slope[0], slope[1], slope[2]}, o[3] = {offset[0], offset[1], offset[2]};
  const double p[3] = {power[0], power[1], power[2]};
  t->setSlope(s);
  t->setOffset(o);
  t->setPower(p);
  t->setSat(sat);
  return t;
}

namespace {

std::vector<Grade> grades() {
  return {
      {"cdl-video", "CDL on sRGB code values: slope 1.12 1.0 0.86, offset 0.02 0 -0.01, power 1.1 1.0 0.92, sat 1.1",
       [] {
         return inSpace(kSrgbTexture, cdl({1.12, 1.0, 0.86}, {0.02, 0.0, -0.01}, {1.1, 1.0, 0.92}, 1.1));
       }},
      {"cdl-log", "CDL in ACEScct: slope 1.05 1.0 0.94, offset 0.015 0 -0.02, power 1.0, sat 0.85",
       [] {
         return inSpace(kAcesCct, cdl({1.05, 1.0, 0.94}, {0.015, 0.0, -0.02}, {1.0, 1.0, 1.0}, 0.85));
       }},
      {"matrix", "3x3 matrix in linear Rec.709 (warm white balance, channel mix)",
       [] {
         return inSpace(kLinearRec709, matrix({1.12, 0.06, -0.02, 0.02, 0.97, 0.01, -0.03, 0.05, 0.82}));
       }},
      {"curve", "RGB curves on sRGB code values: S-shaped master, lifted blue shadows",
       [] {
         auto master = OCIO::GradingBSplineCurve::Create(
             {{0.0f, 0.0f}, {0.2f, 0.14f}, {0.5f, 0.5f}, {0.8f, 0.87f}, {1.0f, 1.0f}});
         auto blue = OCIO::GradingBSplineCurve::Create({{0.0f, 0.06f}, {0.5f, 0.52f}, {1.0f, 1.0f}});
         auto identity = OCIO::GradingBSplineCurve::Create({{0.0f, 0.0f}, {1.0f, 1.0f}});
         auto curves = OCIO::GradingRGBCurveTransform::Create(OCIO::GRADING_VIDEO);
         curves->setValue(OCIO::GradingRGBCurve::Create(identity, identity, blue, master));
         return inSpace(kSrgbTexture, curves);
       }},
      {"exposure-up", "exposure +0.6 stop in linear Rec.709", [] { return inSpace(kLinearRec709, exposure(0.6)); }},
      {"exposure-down", "exposure -0.8 stop and contrast 1.15 in linear Rec.709 (pivot 0.18)",
       [] { return inSpace(kLinearRec709, exposure(-0.8, 1.15)); }},
  };
}

}  // namespace

Image readPhoto(const std::string& path, int width) {
  OIIO::ImageBuf in(path);
  if (!in.read(0, 0, true, OIIO::TypeDesc::FLOAT)) fail("cannot read '" + path + "': " + in.geterror());
  const OIIO::ImageSpec& header = in.spec();
  const int height = std::max(1, int(std::lround(double(header.height) * width / header.width)));
  OIIO::ImageBuf scaled(OIIO::ImageSpec(width, height, header.nchannels, OIIO::TypeDesc::FLOAT));
  OIIO::ImageBufAlgo::resize(scaled, in);
  Image image;
  image.width = width;
  image.height = height;
  image.channels = 4;
  image.depth = SampleDepth::UInt8;
  image.pixels.assign(size_t(width) * size_t(height) * 4, 1.0f);
  const int order[4] = {0, std::min(1, header.nchannels - 1), std::min(2, header.nchannels - 1), -1};
  const float fill[4] = {0, 0, 0, 1};
  OIIO::ImageBuf rgba = OIIO::ImageBufAlgo::channels(scaled, 4, order, fill);
  rgba.get_pixels(OIIO::ROI::All(), OIIO::TypeDesc::FLOAT, image.pixels.data());
  image.hasAlpha = false;
  return image;
}

// --- Running the tool -----------------------------------------------------------------------

int runTool(const std::vector<std::string>& args) {
  int spawnError = 0;
  const int status = runQuiet(gTool, args, spawnError);
  if (status < 0) fail("cannot run " + gTool + ": " + std::strerror(spawnError));
  return status;
}

// A file's samples in linear Rec.709.
Image linearOf(const std::string& path, const std::string& space) {
  Image image;
  std::string error;
  if (!readColourImage(path, image, error)) fail(error);
  const ColourConfig builtIn{builtInConfig(), "built-in"};
  Conversion toLinear;
  if (!makeConversion(builtIn, resolveSpace(builtIn, space), kLinearRec709, toLinear, error)) fail(error);
  toLinear.apply(image);
  return image;
}

const std::string& pluginPath() { return gPlugin; }

namespace {

void writePng(const std::string& path, const Image& image) {
  std::string error;
  WriteSettings settings;
  settings.depth = SampleDepth::UInt8;
  settings.keepAlpha = false;
  settings.colourSpace = "sRGB";
  if (!writeColourImage(path, image, settings, error)) fail(error);
}

Image graded(const Image& source, const OCIO::ConstTransformRcPtr& grade) {
  Image out = applied(source, grade);
  for (size_t i = 0; i < out.pixels.size(); ++i)
    if (i % 4 != 3) out.pixels[i] = std::min(1.0f, std::max(0.0f, out.pixels[i]));
  return out;
}

// The 99.9th percentile of the largest of R, G and B.
double top(const Image& image) {
  std::vector<float> largest;
  for (size_t i = 0; i + 3 < image.pixels.size(); i += 4)
    largest.push_back(std::max({image.pixels[i], image.pixels[i + 1], image.pixels[i + 2]}));
  if (largest.empty()) return 0;
  const size_t at = std::min(largest.size() - 1, size_t(0.999 * double(largest.size())));
  std::nth_element(largest.begin(), largest.begin() + long(at), largest.end());
  return largest[at];
}

double lowest(const Image& image) {
  float low = 0;
  for (size_t i = 0; i + 3 < image.pixels.size(); i += 4)
    low = std::min({low, image.pixels[i], image.pixels[i + 1], image.pixels[i + 2]});
  return low;
}

}  // namespace

Result matchPair(const EvalOptions& o, const Pair& pair, bool same, const std::string& space, const std::string& dir,
                 bool linearOutput) {
  const std::string output = dir + (linearOutput ? "/out.exr" : "/out.png");
  std::vector<std::string> args = {
      "match", pair.source, pair.reference, "-o", output, "--mode", same ? "same" : "different", "--plugin",
      gPlugin, "-q"};
  if (space == kLinearHost)
    args.insert(args.end(), {"--working-space", "lin_rec709", "--param", "plateEncoding=Scene Linear"});
  else if (!space.empty())
    args.insert(args.end(), {"--working-space", space});
  if (pair.giveSpaces)
    args.insert(args.end(), {"--source-space", pair.sourceSpace, "--reference-space", pair.referenceSpace});
  if (linearOutput) args.insert(args.end(), {"--output-space", "lin_rec709", "--depth", "float"});
  args.insert(args.end(), o.toolOptions.begin(), o.toolOptions.end());
  if (const int status = runTool(args))
    fail("vantrel failed (" + std::to_string(status) + ") on " + pair.name + " in " + space);
  const Image s = linearOf(pair.source, pair.sourceSpace), r = linearOf(pair.reference, pair.referenceSpace);
  const Image out = linearOf(output, linearOutput ? "lin_rec709" : pair.sourceSpace);
  Result result;
  if (same) {
    const PixelDeltaE b = comparePixels(s, r), a = comparePixels(out, r);
    result.before = b.mean;
    result.after = a.mean;
    result.before95 = b.p95;
    result.after95 = a.p95;
  } else {
    const SpreadDeltaE b = compareSpreads(s, r), a = compareSpreads(out, r);
    result.before = b.meanColourDeltaE;
    result.after = a.meanColourDeltaE;
    result.spreadBefore = b.stdDevDistance;
    result.spreadAfter = a.stdDevDistance;
  }
  result.sourceTop = top(s);
  result.referenceTop = top(r);
  result.outputTop = top(out);
  result.lowest = lowest(out);
  return result;
}

double mean(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x;
  return v.empty() ? 0 : sum / double(v.size());
}

double percentile95(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(std::ceil(0.95 * double(v.size()))) - 1)];
}

void sameFrameTable(const EvalOptions& o, const std::vector<std::string>& spaces, const std::vector<Pair>& graded,
                    const std::vector<Pair>& identical, const std::string& dir, bool sceneLinear) {
  std::printf(
      "| working space | mean before | mean after | p95 before | p95 after | mean after/before | worst "
      "pair after/before | pairs worse | identical: mean | identical: p95 |%s\n",
      sceneLinear ? " top: Reference | top: Output | lowest Output |" : "");
  std::printf("|---|---|---|---|---|---|---|---|---|---|%s\n", sceneLinear ? "---|---|---|" : "");
  for (const std::string& space : spaces) {
    std::vector<double> before, after, before95, after95, ratio, referenceTop, outputTop, low;
    int worse = 0;
    for (const Pair& p : graded) {
      const Result r = matchPair(o, p, true, space, dir, sceneLinear);
      before.push_back(r.before);
      after.push_back(r.after);
      before95.push_back(r.before95);
      after95.push_back(r.after95);
      ratio.push_back(r.after / r.before);
      referenceTop.push_back(r.referenceTop);
      outputTop.push_back(r.outputTop);
      low.push_back(r.lowest);
      worse += r.after > r.before;
      if (o.pairs)
        std::fprintf(stderr, "%s same %s: %.3f -> %.3f (p95 %.3f -> %.3f, top %.2f -> %.2f)\n", label(space).c_str(),
                     p.name.c_str(), r.before, r.after, r.before95, r.after95, r.referenceTop, r.outputTop);
    }
    std::vector<double> still, still95;
    for (const Pair& p : identical) {
      const Result r = matchPair(o, p, true, space, dir, sceneLinear);
      still.push_back(r.after);
      still95.push_back(r.after95);
      if (o.pairs)
        std::fprintf(stderr, "%s same %s: moved %.3f (p95 %.3f)\n", label(space).c_str(), p.name.c_str(), r.after,
                     r.after95);
    }
    std::printf("| %s | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %d of %zu | %.2f (worst %.2f) | %.2f |",
                label(space).c_str(), mean(before), mean(after), mean(before95), mean(after95), mean(ratio),
                *std::max_element(ratio.begin(), ratio.end()), worse, ratio.size(), mean(still),
                *std::max_element(still.begin(), still.end()), mean(still95));
    if (sceneLinear)
      std::printf(" %.2f | %.2f | %.3g |", mean(referenceTop), mean(outputTop),
                  *std::min_element(low.begin(), low.end()));
    std::printf("\n");
    std::fflush(stdout);
  }
}

void differentClipsTable(const EvalOptions& o, const std::vector<std::string>& spaces, const std::vector<Pair>& pairs,
                         const std::string& dir, bool sceneLinear) {
  std::printf(
      "| working space | mean colour before | mean colour after | p95 before | p95 after | after/before | "
      "worst pair after/before | spread before | spread after |%s\n",
      sceneLinear ? " pairs spread worse | top: Source | top: Reference | top: Output | lowest Output |" : "");
  std::printf("|---|---|---|---|---|---|---|---|---|%s\n", sceneLinear ? "---|---|---|---|---|" : "");
  for (const std::string& space : spaces) {
    std::vector<double> before, after, ratio, spreadBefore, spreadAfter, sourceTop, referenceTop, outputTop, low;
    int spreadWorse = 0;
    for (const Pair& p : pairs) {
      const Result r = matchPair(o, p, false, space, dir, sceneLinear);
      before.push_back(r.before);
      after.push_back(r.after);
      ratio.push_back(r.after / r.before);
      spreadBefore.push_back(r.spreadBefore);
      spreadAfter.push_back(r.spreadAfter);
      spreadWorse += r.spreadAfter > r.spreadBefore;
      sourceTop.push_back(r.sourceTop);
      referenceTop.push_back(r.referenceTop);
      outputTop.push_back(r.outputTop);
      low.push_back(r.lowest);
      if (o.pairs)
        std::fprintf(stderr, "%s different %s: %.3f -> %.3f (spread %.3f -> %.3f, top %.2f %.2f -> %.2f)\n",
                     label(space).c_str(), p.name.c_str(), r.before, r.after, r.spreadBefore, r.spreadAfter,
                     r.sourceTop, r.referenceTop, r.outputTop);
    }
    std::printf("| %s | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f |", label(space).c_str(), mean(before),
                mean(after), percentile95(before), percentile95(after), mean(ratio),
                *std::max_element(ratio.begin(), ratio.end()), mean(spreadBefore), mean(spreadAfter));
    if (sceneLinear)
      std::printf(" %d of %zu | %.2f | %.2f | %.2f | %.3g |", spreadWorse, pairs.size(), mean(sourceTop),
                  mean(referenceTop), mean(outputTop), *std::min_element(low.begin(), low.end()));
    std::printf("\n");
    std::fflush(stdout);
  }
}

const char* const kLinearHost = "plug-in in a linear host";

std::string label(const std::string& space) {
  if (space == kLinearHost) return "plug-in, Scene Linear (lin_rec709 + --param)";
  return space.empty() ? std::string("(default)") : space;
}

std::vector<std::string> withDefault(std::vector<std::string> spaces) {
  spaces.push_back("");
  return spaces;
}

namespace {

// The photographs, graded copies and pairs of different scenes, as 8-bit sRGB PNG.
void runSdrTables(const EvalOptions& o, const std::vector<std::string>& photos, const std::string& dir) {
  const std::vector<Grade> gradeList = grades();
  std::vector<Pair> gradedPairs, identical, different;
  std::vector<std::string> names;
  for (const std::string& path : photos) {
    const std::string name = fs::path(path).stem().string();
    names.push_back(name);
    const Image photo = readPhoto(path, o.width);
    const std::string source = dir + "/" + name + ".png";
    writePng(source, photo);
    for (const Grade& g : gradeList) {
      const std::string reference = dir + "/" + name + "." + g.name + ".png";
      writePng(reference, graded(photo, g.make()));
      gradedPairs.push_back({name + " " + g.name, source, reference});
    }
    identical.push_back({name + " itself", source, source});
  }
  for (size_t i = 0; i < names.size(); ++i) {
    const size_t j = (i + 1) % names.size();
    different.push_back({names[i] + " to " + names[j], dir + "/" + names[i] + ".png", dir + "/" + names[j] + ".png"});
  }
  std::printf(
      "Evaluation set: %zu photographs from %s at %d pixels wide, %zu graded pairs, %zu identical pairs, "
      "%zu different-scene pairs (files in %s)\nGrades:\n",
      photos.size(), o.photos.c_str(), o.width, gradedPairs.size(), identical.size(), different.size(), dir.c_str());
  for (const Grade& g : gradeList) std::printf("  %-13s %s\n", g.name, g.what);

  if (o.learnersOnly) {
    learnerTable(o, withDefault(o.spaces), names, gradeList, dir);
    return;
  }
  std::printf("\nSame Frame, graded pairs: dE2000 per pixel, averaged over the pairs\n\n");
  sameFrameTable(o, withDefault(o.spaces), gradedPairs, identical, dir, false);
  learnerTable(o, withDefault(o.spaces), names, gradeList, dir);
  std::printf(
      "\nDifferent Clips, different-scene pairs: dE2000 of the mean colours (mean and 95th percentile over "
      "the pairs) and the Lab spread difference\n\n");
  differentClipsTable(o, withDefault(o.spaces), different, dir, false);
}

}  // namespace

int main(int argc, char** argv) {
  EvalOptions o;
  CLI::App app{
      "colour_eval: how well vantrel match does per mode and working space (see the top of "
      "bench/tools/colour_eval.cpp)"};
  app.add_option("--photos", o.photos, "Folder of JPEG or PNG photographs");
  app.add_option("--width", o.width, "Width each photograph is scaled to (at least 64)");
  app.add_option("--tables", o.tables, "sdr, hdr, hdr-same, hdr-different, linear-host, camera, same-scene")
      ->delimiter(',');
  app.add_option("--spaces", o.spaces, "Working spaces of the sdr tables")->delimiter(',');
  app.add_option("--hdr-same-spaces", o.hdrSameSpaces, "Working spaces of Same Frame on plates")->delimiter(',');
  app.add_option("--hdr-different-spaces", o.hdrDifferentSpaces, "Working spaces of Different Clips on plates")
      ->delimiter(',');
  app.add_option("--keep", o.keep, "Keep the files in this folder");
  app.add_option("--tool", gTool, "The vantrel to run");
  app.add_option("--plugin", gPlugin, "The plug-in it loads");
  app.add_flag("--pairs", o.pairs, "Each pair's figures on standard error");
  app.add_flag("--learners-only", o.learnersOnly, "Only the table of Same Frame's learners");
  SceneOptions scene;
  app.add_option("--scene-photos", scene.photos, "Folders of photographs of the same-scene table")->delimiter(',');
  app.add_option("--scene-width", scene.width, "Width each photograph of the same-scene table is scaled to");
  app.add_option("--scene-sets", scene.sets, "sdr, hdr, unrelated")->delimiter(',');
  app.add_option("--halves", scene.halves, "tuning, held-out")->delimiter(',');
  app.add_option("--scene-setting", scene.settings, "name=value: a threshold of matching content (tuning only)");
  app.add_option("tool-options", o.toolOptions, "After --: given to every run of the tool");
  CLI11_PARSE(app, argc, argv);
  scene.pairs = o.pairs;
  // The same-scene table reads photographs of its own.
  if (o.tables == std::vector<std::string>{"same-scene"}) {
    sameSceneTable(scene);
    return 0;
  }
  o.width = std::max(64, o.width);

  std::vector<std::string> photos;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(o.photos, ec)) {
    const std::string ext = entry.path().extension().string();
    if (ext == ".jpg" || ext == ".jpeg" || ext == ".png") photos.push_back(entry.path().string());
  }
  if (ec || photos.size() < 2)
    fail("no photographs in '" + o.photos + "' (apt-get install mate-backgrounds, or give --photos DIR)");
  std::sort(photos.begin(), photos.end());

  char pattern[] = "/tmp/colour-eval-XXXXXX";
  const std::string dir = o.keep.empty() ? std::string(mkdtemp(pattern)) : o.keep;
  fs::create_directories(dir);
  if (!o.toolOptions.empty()) {
    std::printf("Every run of the tool with:");
    for (const std::string& option : o.toolOptions) std::printf(" %s", option.c_str());
    std::printf("\n");
  }
  if (o.wants("sdr")) runSdrTables(o, photos, dir);
  if (o.wants("hdr") || o.wants("hdr-same") || o.wants("hdr-different")) runHdrTables(o, photos, dir);
  if (o.wants("hdr") || o.wants("linear-host")) runLinearHostTables(o, photos, dir);
  if (o.wants("camera")) runCameraTables(o, photos, dir);
  if (o.wants("same-scene")) sameSceneTable(scene);
  if (o.keep.empty()) fs::remove_all(dir, ec);
  return 0;
}
