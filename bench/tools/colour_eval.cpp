// How well `vantrel match` does in each working space, on photographs it never saw: graded
// copies made through OpenColorIO with known grades (Same Frame), each photograph against
// itself, and pairs of different photographs (Different Clips). The built tool is run on files
// as a user runs it; the figures are CIE dE2000 (Little CMS) in linear Rec.709.
//
//   colour_eval [--photos DIR] [--width N] [--spaces a,b,...] [--keep DIR] [--pairs] [--learners-only]
//
// DIR holds JPEG or PNG photographs (default: the nature photographs of Debian's
// mate-backgrounds). Each is scaled to N pixels wide (default 640) and stored as an 8-bit
// sRGB PNG, as are its graded copies. The last row of each table is the tool with its defaults.
// Same Frame is measured once more per learner ("Same Frame Fit"), with each pair's .cube also
// applied to the next photograph graded alike; --learners-only measures only that.
#include "colour.h"
#include "image_io.h"
#include "quality.h"

#include <OpenImageIO/imagebufalgo.h>

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

namespace {

struct Options {
  std::string photos = "/usr/share/backgrounds/mate/nature";
  int width = 640;
  std::vector<std::string> spaces = {"lin_rec709", "srgb", "rec709", "rec709_headroom", "acescg", "acescct", "aces"};
  std::string keep;
  bool pairs = false;
  bool learnersOnly = false;
};

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "colour_eval: %s\n", message.c_str());
  std::exit(1);
}

// --- The evaluation set ---------------------------------------------------------------------

// A grade with known parameters, applied through OpenColorIO to sRGB code values.
struct Grade {
  const char* name;
  const char* what;
  std::function<OCIO::ConstTransformRcPtr()> make;
};

OCIO::TransformRcPtr between(const char* from, const char* to) {
  auto t = OCIO::ColorSpaceTransform::Create();
  t->setSrc(from);
  t->setDst(to);
  return t;
}

// The grade `inner`, applied in `space` to a picture in sRGB code values.
OCIO::ConstTransformRcPtr inSpace(const char* space, const OCIO::TransformRcPtr& inner) {
  auto group = OCIO::GroupTransform::Create();
  group->appendTransform(between(kSrgbTexture, space));
  group->appendTransform(inner);
  group->appendTransform(between(space, kSrgbTexture));
  return group;
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
         auto m = OCIO::MatrixTransform::Create();
         const double v[16] = {1.12, 0.06, -0.02, 0, 0.02, 0.97, 0.01, 0, -0.03, 0.05, 0.82, 0, 0, 0, 0, 1};
         m->setMatrix(v);
         return inSpace(kLinearRec709, m);
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
      {"exposure-up", "exposure +0.6 stop in linear Rec.709",
       [] {
         auto e = OCIO::ExposureContrastTransform::Create();
         e->setStyle(OCIO::EXPOSURE_CONTRAST_LINEAR);
         e->setExposure(0.6);
         return inSpace(kLinearRec709, e);
       }},
      {"exposure-down", "exposure -0.8 stop and contrast 1.15 in linear Rec.709 (pivot 0.18)",
       [] {
         auto e = OCIO::ExposureContrastTransform::Create();
         e->setStyle(OCIO::EXPOSURE_CONTRAST_LINEAR);
         e->setExposure(-0.8);
         e->setContrast(1.15);
         e->setPivot(0.18);
         return inSpace(kLinearRec709, e);
       }},
  };
}

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

void writePng(const std::string& path, const Image& image) {
  std::string error;
  WriteSettings settings;
  settings.depth = SampleDepth::UInt8;
  settings.keepAlpha = false;
  settings.colourSpace = "sRGB";
  if (!writeColorImage(path, image, settings, error)) fail(error);
}

Image graded(const Image& source, const OCIO::ConstTransformRcPtr& grade) {
  Image out = source;
  OCIO::ConstProcessorRcPtr processor = builtInConfig()->getProcessor(grade);
  OCIO::PackedImageDesc desc(out.pixels.data(), out.width, out.height, 4);
  processor->getDefaultCPUProcessor()->apply(desc);
  for (size_t i = 0; i < out.pixels.size(); ++i)
    if (i % 4 != 3) out.pixels[i] = std::min(1.0f, std::max(0.0f, out.pixels[i]));
  return out;
}

// --- Running the tool -----------------------------------------------------------------------

int runTool(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::string program = VANTREL_TOOL;
  argv.push_back(program.data());
  std::vector<std::string> copy = args;
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) fail("cannot run " + program + ": " + std::strerror(spawned));
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Image linearOf(const std::string& path) {
  Image image;
  std::string error;
  if (!readColorImage(path, image, error)) fail(error);
  srgbDecode(image.pixels.data(), size_t(image.width) * size_t(image.height), 4);
  return image;
}

struct Pair {
  std::string name, source, reference;
};

struct Result {
  double before = 0, after = 0;      // Same Frame: mean dE; Different Clips: dE of the mean colours
  double before95 = 0, after95 = 0;  // Same Frame: 95th percentile dE
  double spreadBefore = 0, spreadAfter = 0;
};

Result matchPair(const Pair& pair, bool same, const std::string& space, const std::string& dir) {
  const std::string output = dir + "/out.png";
  std::vector<std::string> args = {
      "match",        pair.source, pair.reference, "-o", output, "--mode", same ? "same" : "different", "--plugin",
      VANTREL_PLUGIN, "-q"};
  if (!space.empty()) args.insert(args.end(), {"--working-space", space});
  if (const int status = runTool(args))
    fail("vantrel failed (" + std::to_string(status) + ") on " + pair.name + " in " + space);
  const Image s = linearOf(pair.source), r = linearOf(pair.reference), o = linearOf(output);
  Result result;
  if (same) {
    const PixelDeltaE b = comparePixels(s, r), a = comparePixels(o, r);
    result = {b.mean, a.mean, b.p95, a.p95, 0, 0};
  } else {
    const SpreadDeltaE b = compareSpreads(s, r), a = compareSpreads(o, r);
    result.before = b.meanColorDeltaE;
    result.after = a.meanColorDeltaE;
    result.spreadBefore = b.stdDevDistance;
    result.spreadAfter = a.stdDevDistance;
  }
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

// --- Same Frame's two learners ----------------------------------------------------------------
// "Same Frame Fit" side by side per working space: the in-frame figures, the image against itself,
// and the .cube learnt on each graded pair applied to the next photograph with the same grade,
// through the config --ocio-config-out writes (as another application would apply it).

// The next photograph's distance from its graded copy, after/before the look of `config`.
double lookOnOther(const std::string& config, const std::string& source, const std::string& reference) {
  Image other;
  std::string error;
  if (!readColorImage(source, other, error)) fail(error);
  // OpenColorIO keeps the LUT files it has read by path: without this every run would apply the
  // first .cube ever written there.
  OCIO::ClearAllCaches();
  OCIO::ConstConfigRcPtr look = OCIO::Config::CreateFromFile(config.c_str());
  OCIO::PackedImageDesc pixels(other.pixels.data(), other.width, other.height, 4);
  look->getProcessor(kSrgbTexture, kMatchSpace)->getDefaultCPUProcessor()->apply(pixels);
  // Written as an 8-bit file would be, like the in-frame outputs.
  for (size_t i = 0; i < other.pixels.size(); ++i)
    if (i % 4 != 3) other.pixels[i] = std::round(std::min(1.0f, std::max(0.0f, other.pixels[i])) * 255.0f) / 255.0f;
  srgbDecode(other.pixels.data(), size_t(other.width) * size_t(other.height), 4);
  const Image before = linearOf(source), target = linearOf(reference);
  return comparePixels(other, target).mean / comparePixels(before, target).mean;
}

void learnerTable(const std::vector<std::string>& spaces, const std::vector<std::string>& names,
                  const std::vector<Grade>& gradeList, const std::string& dir, bool pairs) {
  std::printf(
      "\nSame Frame by learner (\"Same Frame Fit\"): after/before of the mean dE2000 per pixel on each graded "
      "pair, and with its .cube applied to the next photograph graded alike\n\n");
  std::printf(
      "| learner | working space | in-frame mean | in-frame worst | pairs worse | identical: mean | "
      "other picture: mean | other picture: worst |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  struct Row {
    const char* learner;  // null: the tool's defaults
    std::string space;
  };
  std::vector<Row> rows;
  for (const char* learner : {"cells", "lattice"})
    for (const std::string& space : spaces)
      if (!space.empty()) rows.push_back({learner, space});
  rows.push_back({nullptr, ""});
  const std::string output = dir + "/learner.png", config = dir + "/learner.ocio";
  for (const Row& row : rows) {
    std::vector<double> ratio, still, cross;
    int worse = 0;
    auto run = [&](const std::string& source, const std::string& reference) {
      std::vector<std::string> args = {"match", source,     reference,      "-o",
                                       output,  "--mode",   "same",         "--ocio-config-out",
                                       config,  "--plugin", VANTREL_PLUGIN, "-q"};
      if (row.learner) args.insert(args.end(), {"--fit", row.learner});
      if (!row.space.empty()) args.insert(args.end(), {"--working-space", row.space});
      if (const int status = runTool(args)) fail("vantrel failed (" + std::to_string(status) + ") on " + source);
      return comparePixels(linearOf(output), linearOf(reference)).mean;
    };
    const std::string label = std::string(row.learner ? row.learner : "(default)") + " " +
                              (row.space.empty() ? std::string("(default)") : row.space);
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string source = dir + "/" + names[i] + ".png", next = dir + "/" + names[(i + 1) % names.size()];
      for (const Grade& g : gradeList) {
        const std::string reference = dir + "/" + names[i] + "." + g.name + ".png";
        const double after = run(source, reference);
        const double before = comparePixels(linearOf(source), linearOf(reference)).mean;
        ratio.push_back(after / before);
        worse += after > before;
        cross.push_back(lookOnOther(config, next + ".png", next + "." + g.name + ".png"));
        if (pairs)
          std::fprintf(stderr, "%s %s %s: %.3f, on the next picture %.3f\n", label.c_str(), names[i].c_str(), g.name,
                       ratio.back(), cross.back());
      }
      still.push_back(run(source, source));
    }
    std::printf("| %s | %s | %.3f | %.3f | %d of %zu | %.3f (worst %.3f) | %.3f | %.3f |\n",
                row.learner ? row.learner : "(default)", row.space.empty() ? "(default)" : row.space.c_str(),
                mean(ratio), *std::max_element(ratio.begin(), ratio.end()), worse, ratio.size(), mean(still),
                *std::max_element(still.begin(), still.end()), mean(cross),
                *std::max_element(cross.begin(), cross.end()));
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) fail(a + " needs a value");
      return argv[++i];
    };
    if (a == "--photos")
      o.photos = value();
    else if (a == "--width")
      o.width = std::max(64, std::atoi(value().c_str()));
    else if (a == "--keep")
      o.keep = value();
    else if (a == "--pairs")
      o.pairs = true;
    else if (a == "--learners-only")
      o.learnersOnly = true;
    else if (a == "--spaces") {
      o.spaces.clear();
      std::string list = value();
      for (size_t start = 0; start <= list.size();) {
        const size_t comma = std::min(list.find(',', start), list.size());
        if (comma > start) o.spaces.push_back(list.substr(start, comma - start));
        start = comma + 1;
      }
    } else
      fail("unknown option " + a + " (see the top of bench/tools/colour_eval.cpp)");
  }

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

  // The set: every photograph, each of its graded copies, and the next photograph.
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

  std::vector<std::string> spaces = o.spaces;
  spaces.push_back("");  // the defaults
  auto label = [](const std::string& space) { return space.empty() ? std::string("(default)") : space; };

  if (o.learnersOnly) {
    learnerTable(spaces, names, gradeList, dir, o.pairs);
    if (o.keep.empty()) fs::remove_all(dir, ec);
    return 0;
  }

  std::printf("\nSame Frame, graded pairs: dE2000 per pixel, averaged over the pairs\n\n");
  std::printf(
      "| working space | mean before | mean after | p95 before | p95 after | mean after/before | worst "
      "pair after/before | pairs worse | identical: mean | identical: p95 |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
  for (const std::string& space : spaces) {
    std::vector<double> before, after, before95, after95, ratio;
    int worse = 0;
    std::string worst;
    for (const Pair& p : gradedPairs) {
      const Result r = matchPair(p, true, space, dir);
      before.push_back(r.before);
      after.push_back(r.after);
      before95.push_back(r.before95);
      after95.push_back(r.after95);
      ratio.push_back(r.after / r.before);
      worse += r.after > r.before;
      if (o.pairs)
        std::fprintf(stderr, "%s same %s: %.3f -> %.3f (p95 %.3f -> %.3f)\n", label(space).c_str(), p.name.c_str(),
                     r.before, r.after, r.before95, r.after95);
    }
    std::vector<double> still, still95;
    for (const Pair& p : identical) {
      const Result r = matchPair(p, true, space, dir);
      still.push_back(r.after);
      still95.push_back(r.after95);
      if (o.pairs)
        std::fprintf(stderr, "%s same %s: moved %.3f (p95 %.3f)\n", label(space).c_str(), p.name.c_str(), r.after,
                     r.after95);
    }
    std::printf("| %s | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %d of %zu | %.2f (worst %.2f) | %.2f |\n",
                label(space).c_str(), mean(before), mean(after), mean(before95), mean(after95), mean(ratio),
                *std::max_element(ratio.begin(), ratio.end()), worse, ratio.size(), mean(still),
                *std::max_element(still.begin(), still.end()), mean(still95));
    std::fflush(stdout);
  }

  learnerTable(spaces, names, gradeList, dir, o.pairs);

  std::printf(
      "\nDifferent Clips, different-scene pairs: dE2000 of the mean colours (mean and 95th percentile over "
      "the pairs) and the Lab spread difference\n\n");
  std::printf(
      "| working space | mean colour before | mean colour after | p95 before | p95 after | after/before | "
      "worst pair after/before | spread before | spread after |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|\n");
  for (const std::string& space : spaces) {
    std::vector<double> before, after, ratio, spreadBefore, spreadAfter;
    for (const Pair& p : different) {
      const Result r = matchPair(p, false, space, dir);
      before.push_back(r.before);
      after.push_back(r.after);
      ratio.push_back(r.after / r.before);
      spreadBefore.push_back(r.spreadBefore);
      spreadAfter.push_back(r.spreadAfter);
      if (o.pairs)
        std::fprintf(stderr, "%s different %s: %.3f -> %.3f (spread %.3f -> %.3f)\n", label(space).c_str(),
                     p.name.c_str(), r.before, r.after, r.spreadBefore, r.spreadAfter);
    }
    std::printf("| %s | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f |\n", label(space).c_str(), mean(before),
                mean(after), percentile95(before), percentile95(after), mean(ratio),
                *std::max_element(ratio.begin(), ratio.end()), mean(spreadBefore), mean(spreadAfter));
    std::fflush(stdout);
  }
  if (o.keep.empty()) fs::remove_all(dir, ec);
  return 0;
}
