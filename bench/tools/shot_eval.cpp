// How steady each "Analysis" choice holds the grade on moving shots, and what it costs the match:
// the built vantrel is run as a user runs it, on 24-frame shots made from photographs and matched
// in Different Clips mode to a still Reference (another photograph), once per choice.
//
//   shot_eval [--photos DIR] [--count N] [--keep DIR] [--tool PATH --plugin PATH]
//
// Two shots per photograph (default: the first N = 6 nature photographs of Debian's
// mate-backgrounds), 640 x 360 float EXR plates in linear Rec.709:
//   pan:   a pan across the photograph, 40 pixels a frame;
//   enter: a still view into which a saturated object covering 2.4% of the frame comes at frame 13.
// Per choice: the change of the grade between consecutive frames (both frames' .cube exports,
// as the plug-in saved them, applied to the later frame's Source by OpenColorIO: mean dE2000 per
// pixel, the median pair and the worst), the change between the first and the last frame's
// grades, on "enter" the jump of the unchanged background in the Output (mean dE2000 and the
// largest 8-bit code difference), and the match over the shot (dE2000 of the mean colours of
// Output and Reference, difference of their spreads, from the JSON report, averaged over frames).
#include "imaging/colour.h"
#include "imaging/image_io.h"
#include "imaging/quality.h"
#include "run_quiet.h"

#include <OpenImageIO/imagebufalgo.h>
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

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
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr int kFrames = 24, kWidth = 640, kHeight = 360, kPan = 40;
// The entering object: 96 x 58 pixels, 2.4% of the frame.
constexpr int kObjectX = 420, kObjectY = 200, kObjectW = 96, kObjectH = 58, kObjectFrom = 13;

std::string gTool = VANTREL_TOOL, gPlugin = VANTREL_PLUGIN;

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "shot_eval: %s\n", message.c_str());
  std::exit(1);
}

int runTool(std::vector<std::string> args) {
  int spawnError = 0;
  const int status = runQuiet(gTool, args, spawnError);
  if (status < 0) fail("cannot run " + gTool + ": " + std::strerror(spawnError));
  return status;
}

// The photograph in linear Rec.709, `width` pixels wide.
Image linearPhoto(const std::string& path, int width) {
  OIIO::ImageBuf in(path);
  if (!in.read(0, 0, true, OIIO::TypeDesc::FLOAT)) fail("cannot read '" + path + "': " + in.geterror());
  const int height = std::max(kHeight, int(std::lround(double(in.spec().height) * width / in.spec().width)));
  OIIO::ImageBuf scaled(OIIO::ImageSpec(width, height, in.spec().nchannels, OIIO::TypeDesc::FLOAT));
  OIIO::ImageBufAlgo::resize(scaled, in);
  const int order[4] = {0, 1, 2, -1};
  const float fill[4] = {0, 0, 0, 1};
  OIIO::ImageBuf rgba = OIIO::ImageBufAlgo::channels(scaled, 4, order, fill);
  Image image;
  image.width = width;
  image.height = height;
  image.depth = SampleDepth::Float;
  image.pixels.resize(size_t(width) * size_t(height) * 4);
  rgba.get_pixels(OIIO::ROI::All(), OIIO::TypeDesc::FLOAT, image.pixels.data());
  srgbDecode(image.pixels.data(), size_t(width) * size_t(height), 4);
  return image;
}

Image crop(const Image& from, int x0, int y0) {
  Image out;
  out.width = kWidth;
  out.height = kHeight;
  out.depth = SampleDepth::Float;
  out.pixels.resize(size_t(kWidth) * kHeight * 4);
  for (int y = 0; y < kHeight; ++y)
    std::memcpy(&out.pixels[size_t(y) * kWidth * 4], &from.pixels[(size_t(y0 + y) * from.width + x0) * 4],
                size_t(kWidth) * 16);
  return out;
}

bool inObject(int x, int y) {
  return x >= kObjectX && x < kObjectX + kObjectW && y >= kObjectY && y < kObjectY + kObjectH;
}

void write(const std::string& path, const Image& image, SampleDepth depth) {
  WriteSettings settings;
  settings.depth = depth;
  settings.keepAlpha = false;
  std::string error;
  if (!writeColourImage(path, image, settings, error)) fail(error);
}

Image read(const std::string& path) {
  Image image;
  std::string error;
  if (!readColourImage(path, image, error)) fail(error);
  return image;
}

// The .cube as the plug-in saved it, applied trilinearly by OpenColorIO to linear pixels.
Image applyCube(const std::string& cube, Image image) {
  auto file = OCIO::FileTransform::Create();
  file->setSrc(cube.c_str());
  file->setInterpolation(OCIO::INTERP_LINEAR);
  OCIO::PackedImageDesc desc(image.pixels.data(), image.width, image.height, 4);
  OCIO::Config::CreateRaw()->getProcessor(file)->getDefaultCPUProcessor()->apply(desc);
  return image;
}

// Mean dE2000 per pixel, over the pixels `keep` accepts.
template <class Keep>
double meanDeltaE(const Image& a, const Image& b, Keep keep) {
  const size_t n = size_t(a.width) * size_t(a.height);
  const std::vector<float> la = linearToLab(a.pixels.data(), n, 4), lb = linearToLab(b.pixels.data(), n, 4);
  double sum = 0.0;
  size_t count = 0;
  for (size_t i = 0; i < n; ++i) {
    if (!keep(int(i % size_t(a.width)), int(i / size_t(a.width)))) continue;
    sum += deltaE2000(&la[i * 3], &lb[i * 3]);
    ++count;
  }
  return count ? sum / double(count) : 0.0;
}

int largestCodeStep(const Image& a, const Image& b) {
  Image ea = a, eb = b;
  srgbEncode(ea.pixels.data(), size_t(a.width) * size_t(a.height), 4);
  srgbEncode(eb.pixels.data(), size_t(b.width) * size_t(b.height), 4);
  int largest = 0;
  for (size_t i = 0; i < ea.pixels.size(); ++i) {
    const int x = int((i / 4) % size_t(a.width)), y = int((i / 4) / size_t(a.width));
    if (i % 4 == 3 || inObject(x, y)) continue;
    auto code = [](float v) { return int(std::lround(std::min(1.0f, std::max(0.0f, v)) * 255.0f)); };
    largest = std::max(largest, std::abs(code(ea.pixels[i]) - code(eb.pixels[i])));
  }
  return largest;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : (v[(v.size() - 1) / 2] + v[v.size() / 2]) / 2.0;
}

double mean(const std::vector<double>& v) {
  double sum = 0.0;
  for (double x : v) sum += x;
  return v.empty() ? 0.0 : sum / double(v.size());
}

struct Choice {
  const char* name;
  std::vector<std::string> options;
};

struct Figures {
  std::vector<double> stepMedian, stepWorst, firstLast, jumpMean, jumpCodes, matchColour, matchSpread;
};

std::string frameName(const std::string& dir, const char* stem, int frame, const char* ext) {
  char name[32];
  std::snprintf(name, sizeof name, "%s.%04d.%s", stem, frame, ext);
  return dir + "/" + name;
}

// The match over the shot, from the JSON report: the mean colour and spread after, averaged
// over the frames.
void addMatchFigures(const std::string& reportPath, Figures& f) {
  std::ifstream json(reportPath);
  const nlohmann::json report = nlohmann::json::parse(json);
  std::vector<double> colour, spread;
  for (const auto& frame : report["frames"]) {
    colour.push_back(frame["quality"]["after"]["mean_colour"].get<double>());
    spread.push_back(frame["quality"]["after"]["spread"].get<double>());
  }
  f.matchColour.push_back(mean(colour));
  f.matchSpread.push_back(mean(spread));
}

// One shot through one choice: the per-pair figures added to `f`.
void measure(const std::string& shotDir, const std::string& reference, bool entering, const Choice& choice,
             Figures& f) {
  const std::string out = shotDir + "/" + choice.name;
  fs::create_directories(out);
  std::vector<std::string> args = {"match",
                                   shotDir + "/plate.%04d.exr",
                                   reference,
                                   "-o",
                                   out + "/o.%04d.exr",
                                   "--frames",
                                   "1-24",
                                   "--cube",
                                   out + "/look.%04d.cube",
                                   "--report-json",
                                   out + "/r.json",
                                   "--plugin",
                                   gPlugin,
                                   "-q"};
  args.insert(args.end(), choice.options.begin(), choice.options.end());
  if (const int status = runTool(args)) fail("vantrel failed (" + std::to_string(status) + ") on " + out);

  std::vector<double> steps;
  Image previousOutput = read(frameName(out, "o", 1, "exr"));
  double jump = 0.0;
  int codes = 0;
  for (int t = 1; t < kFrames; ++t) {
    const Image later = read(frameName(shotDir, "plate", t + 1, "exr"));
    const Image a = applyCube(frameName(out, "look", t, "cube"), later);
    const Image b = applyCube(frameName(out, "look", t + 1, "cube"), later);
    steps.push_back(meanDeltaE(a, b, [](int, int) { return true; }));
    const Image output = read(frameName(out, "o", t + 1, "exr"));
    if (entering) {
      const double background = meanDeltaE(previousOutput, output, [](int x, int y) { return !inObject(x, y); });
      if (background > jump) {
        jump = background;
        codes = largestCodeStep(previousOutput, output);
      }
    }
    previousOutput = output;
  }
  f.stepMedian.push_back(median(steps));
  f.stepWorst.push_back(*std::max_element(steps.begin(), steps.end()));
  const Image last = read(frameName(shotDir, "plate", kFrames, "exr"));
  f.firstLast.push_back(meanDeltaE(applyCube(frameName(out, "look", 1, "cube"), last),
                                   applyCube(frameName(out, "look", kFrames, "cube"), last),
                                   [](int, int) { return true; }));
  if (entering) {
    f.jumpMean.push_back(jump);
    f.jumpCodes.push_back(codes);
  }
  addMatchFigures(out + "/r.json", f);
}

// A shot's 24 plates: a pan across the photograph, or a still view the object enters.
void writeShot(const std::string& shotDir, const Image& wide, bool entering) {
  fs::create_directories(shotDir);
  for (int t = 1; t <= kFrames; ++t) {
    Image frame = crop(wide, entering ? kPan * 10 : kPan * (t - 1), (wide.height - kHeight) / 2);
    if (entering && t >= kObjectFrom)
      for (int y = kObjectY; y < kObjectY + kObjectH; ++y)
        for (int x = kObjectX; x < kObjectX + kObjectW; ++x) {
          float* px = &frame.pixels[(size_t(y) * kWidth + x) * 4];
          px[0] = 0.75f;
          px[1] = 0.03f;
          px[2] = 0.02f;
        }
    write(frameName(shotDir, "plate", t, "exr"), frame, SampleDepth::Float);
  }
}

// The first `count` photographs of the folder, by name.
std::vector<std::string> photosIn(const std::string& photosDir, size_t count) {
  std::vector<std::string> photos;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(photosDir, ec)) {
    const std::string ext = entry.path().extension().string();
    if (ext == ".jpg" || ext == ".jpeg" || ext == ".png") photos.push_back(entry.path().string());
  }
  if (ec || photos.size() < 2)
    fail("no photographs in '" + photosDir + "' (apt-get install mate-backgrounds, or give --photos DIR)");
  std::sort(photos.begin(), photos.end());
  photos.resize(std::min(photos.size(), count));
  return photos;
}

void printTable(const std::vector<Choice>& choices, const Figures pan[], const Figures enter[]) {
  std::printf(
      "| analysis | pan: grade change, median pair | pan: worst pair | pan: first vs last | enter: grade "
      "change, median pair | enter: worst pair | enter: background jump | enter: largest 8-bit step | match "
      "(mean colour, spread) |\n|---|---|---|---|---|---|---|---|---|\n");
  for (size_t c = 0; c < choices.size(); ++c) {
    const Figures &p = pan[c], &e = enter[c];
    std::vector<double> colour = p.matchColour, spread = p.matchSpread;
    colour.insert(colour.end(), e.matchColour.begin(), e.matchColour.end());
    spread.insert(spread.end(), e.matchSpread.begin(), e.matchSpread.end());
    std::printf("| %s | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.0f | %.2f, %.2f |\n", choices[c].name,
                mean(p.stepMedian), mean(p.stepWorst), mean(p.firstLast), mean(e.stepMedian), mean(e.stepWorst),
                mean(e.jumpMean), mean(e.jumpCodes), mean(colour), mean(spread));
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string photosDir = "/usr/share/backgrounds/mate/nature", keep;
  size_t count = 6;
  CLI::App app{
      "shot_eval: how steady each Analysis choice holds the grade on moving shots (see the top of "
      "bench/tools/shot_eval.cpp)"};
  app.add_option("--photos", photosDir, "Folder of JPEG or PNG photographs");
  app.add_option("--count", count, "Photographs used (at least 2)");
  app.add_option("--keep", keep, "Keep the files in this folder");
  app.add_option("--tool", gTool, "The vantrel to run");
  app.add_option("--plugin", gPlugin, "The plug-in it loads");
  CLI11_PARSE(app, argc, argv);
  const std::vector<std::string> photos = photosIn(photosDir, std::max<size_t>(2, count));
  char pattern[] = "/tmp/shot-eval-XXXXXX";
  const std::string dir = keep.empty() ? std::string(mkdtemp(pattern)) : keep;
  fs::create_directories(dir);

  const std::vector<Choice> choices = {{"current", {}},
                                       {"key", {"--analysis", "key"}},
                                       {"range", {"--analysis", "range"}},
                                       {"range step 4", {"--analysis", "range", "--frame-step", "4"}},
                                       {"window r5", {"--analysis", "window"}},
                                       {"window r12", {"--analysis", "window", "--window-radius", "12"}}};
  Figures pan[6], enter[6];
  for (size_t p = 0; p < photos.size(); ++p) {
    const std::string name = fs::path(photos[p]).stem().string();
    const Image wide = linearPhoto(photos[p], kWidth + kPan * (kFrames - 1));
    const std::string reference = dir + "/" + name + ".reference.png";
    Image still = linearPhoto(photos[(p + 1) % photos.size()], kWidth);
    srgbEncode(still.pixels.data(), size_t(still.width) * size_t(still.height), 4);
    write(reference, crop(still, 0, 0), SampleDepth::UInt8);
    for (bool entering : {false, true}) {
      const std::string shotDir = dir + "/" + name + (entering ? ".enter" : ".pan");
      writeShot(shotDir, wide, entering);
      for (size_t c = 0; c < choices.size(); ++c)
        measure(shotDir, reference, entering, choices[c], (entering ? enter : pan)[c]);
    }
    std::fprintf(stderr, "shot_eval: %s done\n", name.c_str());
  }

  std::printf("%zu photographs from %s, two 24-frame shots each (files in %s)\n\n", photos.size(), photosDir.c_str(),
              dir.c_str());
  printTable(choices, pan, enter);
  return 0;
}
