// The plug-in in a linear-light host, measured against the tool's default run on the same files:
// scene-linear plates made from photographs (in linear light, in turn times 4, with highlights
// stretched to 16, times 2 and times 8, as half float EXR), matched in Different Clips to the next
// plate and in Same Frame to graded copies (not clipped), once by `vantrel match` with its
// defaults and once by the module through the host library with "Plate Encoding" "Scene Linear"
// on the very floats the files hold. Figures in linear Rec.709: CIE dE2000 (the Different Clips
// mean colours, the Same Frame pixels) and the 99.9th percentile of the largest of R, G and B.
// Not a benchmark: it runs the tool about 100 times.
//
//   plate_eval [--photos DIR] [--width N] [--keep DIR] [--gain G]
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "encoding/plate_encoding.h"
#include "host/ofx_host.h"

namespace OIIO = OIIO_NAMESPACE;
namespace fs = std::filesystem;

namespace {

struct Picture {
  int width = 0, height = 0;
  std::vector<float> rgba;
};

float srgbToLinear(float v) { return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f); }

Picture readPhoto(const std::string& path, int width) {
  OIIO::ImageBuf in(path);
  const int height = int(std::lround(double(in.spec().height) * width / in.spec().width));
  OIIO::ImageBuf scaled = OIIO::ImageBufAlgo::resize(in, "", 0.0f, OIIO::ROI(0, width, 0, height, 0, 1, 0, 3));
  if (scaled.has_error()) throw std::runtime_error(scaled.geterror());
  std::vector<float> rgb(size_t(width) * height * 3);
  scaled.get_pixels(OIIO::ROI(0, width, 0, height, 0, 1, 0, 3), OIIO::TypeDesc::FLOAT, rgb.data());
  Picture p{width, height, std::vector<float>(size_t(width) * height * 4, 1.0f)};
  for (size_t i = 0; i < size_t(width) * height; ++i)
    for (int c = 0; c < 3; ++c) p.rgba[i * 4 + c] = srgbToLinear(std::min(1.0f, std::max(0.0f, rgb[i * 3 + c])));
  return p;
}

Picture mapped(const Picture& p, const std::function<void(float*)>& f) {
  Picture q = p;
  for (size_t i = 0; i < q.rgba.size(); i += 4) f(&q.rgba[i]);
  return q;
}

Picture readExr(const std::string& path);

// Written as half float EXR, and read back: what both the tool and the host are given. (The
// host's rows run bottom first and the file's top first: the file holds the picture upside
// down, which no figure here minds.)
Picture viaExr(const Picture& p, const std::string& path) {
  OIIO::ImageSpec imageSpec(p.width, p.height, 4, OIIO::TypeDesc::HALF);
  auto out = OIIO::ImageOutput::create(path);
  if (!out || !out->open(path, imageSpec) || !out->write_image(OIIO::TypeDesc::FLOAT, p.rgba.data()) || !out->close())
    throw std::runtime_error("cannot write " + path);
  return readExr(path);
}

Picture readExr(const std::string& path) {
  auto in = OIIO::ImageInput::open(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  const OIIO::ImageSpec& imageSpec = in->spec();
  Picture p{imageSpec.width, imageSpec.height,
            std::vector<float>(size_t(imageSpec.width) * imageSpec.height * 4, 1.0f)};
  std::vector<float> all(size_t(imageSpec.width) * imageSpec.height * size_t(imageSpec.nchannels));
  in->read_image(0, 0, 0, imageSpec.nchannels, OIIO::TypeDesc::FLOAT, all.data());
  for (size_t i = 0; i < size_t(imageSpec.width) * imageSpec.height; ++i)
    for (int c = 0; c < std::min(3, imageSpec.nchannels); ++c)
      p.rgba[i * 4 + c] = all[i * size_t(imageSpec.nchannels) + c];
  return p;
}

int run(const std::vector<std::string>& args) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// CIE Lab (D65) of linear Rec.709, then CIEDE2000.
void lab(const float* rgb, double out[3]) {
  const double r = rgb[0], g = rgb[1], b = rgb[2];
  const double xyz[3] = {(0.4124564 * r + 0.3575761 * g + 0.1804375 * b) / 0.95047,
                         0.2126729 * r + 0.7151522 * g + 0.0721750 * b,
                         (0.0193339 * r + 0.1191920 * g + 0.9503041 * b) / 1.08883};
  double f[3];
  for (int i = 0; i < 3; ++i) f[i] = xyz[i] > 216.0 / 24389 ? std::cbrt(xyz[i]) : (24389.0 / 27 * xyz[i] + 16) / 116;
  out[0] = 116 * f[1] - 16;
  out[1] = 500 * (f[0] - f[1]);
  out[2] = 200 * (f[1] - f[2]);
}

double deltaE2000(const double a[3], const double b[3]) {
  const double pi = 3.14159265358979323846;
  auto deg = [&](double r) { return r * 180 / pi; };
  auto rad = [&](double d) { return d * pi / 180; };
  const double c1 = std::hypot(a[1], a[2]), c2 = std::hypot(b[1], b[2]), cm = (c1 + c2) / 2;
  const double g = 0.5 * (1 - std::sqrt(std::pow(cm, 7) / (std::pow(cm, 7) + std::pow(25.0, 7))));
  const double a1 = (1 + g) * a[1], a2 = (1 + g) * b[1];
  const double cp1 = std::hypot(a1, a[2]), cp2 = std::hypot(a2, b[2]);
  double h1 = cp1 == 0 ? 0 : deg(std::atan2(a[2], a1)), h2 = cp2 == 0 ? 0 : deg(std::atan2(b[2], a2));
  if (h1 < 0) h1 += 360;
  if (h2 < 0) h2 += 360;
  const double dl = b[0] - a[0], dc = cp2 - cp1;
  double dh = cp1 * cp2 == 0 ? 0 : h2 - h1;
  if (dh > 180) dh -= 360;
  if (dh < -180) dh += 360;
  const double dH = 2 * std::sqrt(cp1 * cp2) * std::sin(rad(dh / 2));
  const double lm = (a[0] + b[0]) / 2, cpm = (cp1 + cp2) / 2;
  double hm = h1 + h2;
  if (cp1 * cp2 != 0) hm = std::fabs(h1 - h2) <= 180 ? hm / 2 : (hm < 360 ? (hm + 360) / 2 : (hm - 360) / 2);
  const double t = 1 - 0.17 * std::cos(rad(hm - 30)) + 0.24 * std::cos(rad(2 * hm)) + 0.32 * std::cos(rad(3 * hm + 6)) -
                   0.20 * std::cos(rad(4 * hm - 63));
  const double sl = 1 + 0.015 * (lm - 50) * (lm - 50) / std::sqrt(20 + (lm - 50) * (lm - 50));
  const double sc = 1 + 0.045 * cpm, sh = 1 + 0.015 * cpm * t;
  const double rt = -2 * std::sqrt(std::pow(cpm, 7) / (std::pow(cpm, 7) + std::pow(25.0, 7))) *
                    std::sin(rad(60 * std::exp(-std::pow((hm - 275) / 25, 2))));
  return std::sqrt(std::pow(dl / sl, 2) + std::pow(dc / sc, 2) + std::pow(dH / sh, 2) + rt * (dc / sc) * (dH / sh));
}

double meanPixelDeltaE(const Picture& a, const Picture& b) {
  double sum = 0;
  for (size_t i = 0; i < a.rgba.size(); i += 4) {
    double la[3], lb[3];
    lab(&a.rgba[i], la);
    lab(&b.rgba[i], lb);
    sum += deltaE2000(la, lb);
  }
  return sum / double(a.rgba.size() / 4);
}

struct Summary {
  double mean[3] = {0, 0, 0};
  double top = 0;
};

Summary summary(const Picture& p) {
  Summary s;
  std::vector<float> largest;
  const size_t n = p.rgba.size() / 4;
  for (size_t i = 0; i < n; ++i) {
    for (int c = 0; c < 3; ++c) s.mean[c] += p.rgba[i * 4 + c] / double(n);
    largest.push_back(std::max({p.rgba[i * 4], p.rgba[i * 4 + 1], p.rgba[i * 4 + 2]}));
  }
  std::sort(largest.begin(), largest.end());
  s.top = largest[std::min(n - 1, size_t(double(n) * 0.999))];
  return s;
}

double meanColourDeltaE(const Picture& a, const Picture& b) {
  const Summary sa = summary(a), sb = summary(b);
  const float ma[3] = {float(sa.mean[0]), float(sa.mean[1]), float(sa.mean[2])};
  const float mb[3] = {float(sb.mean[0]), float(sb.mean[1]), float(sb.mean[2])};
  double la[3], lb[3];
  lab(ma, la);
  lab(mb, lb);
  return deltaE2000(la, lb);
}

Picture renderPlugin(const Picture& source, const Picture& reference, bool same, int fit) {
  ofxhost::Host host;
  if (!host.open(VANTREL_MODULE_PATH)) throw std::runtime_error(host.error());
  host.load();
  host.describe();
  host.describeInContext(kOfxImageEffectContextGeneral);
  ofxhost::Effect* e = host.newInstance(kOfxImageEffectContextGeneral);
  host.createInstance(e);
  host.setParamInt(e, "plateEncoding", int(PlateEncoding::SceneLinear));
  host.setParamInt(e, "matchMode", same ? 1 : 0);
  host.setParamInt(e, "sameFrameFit", fit);
  const OfxRectI bounds{0, 0, source.width, source.height};
  host.attachImage(e, "Source", ofxhost::makeImage(source.rgba, bounds));
  host.attachImage(e, "Reference",
                   ofxhost::makeImage(reference.rgba, OfxRectI{0, 0, reference.width, reference.height}));
  auto output = ofxhost::makeBlankImage(bounds);
  host.attachImage(e, "Output", output);
  if (host.render(e, 1.0, bounds) != kOfxStatOK) throw std::runtime_error("render failed");
  return Picture{source.width, source.height, ofxhost::readImageRGBA(*output)};
}

Picture renderTool(const std::string& source, const std::string& reference, bool same, int fit,
                   const std::string& dir) {
  const std::string out = dir + "/tool.exr";
  std::vector<std::string> args = {VANTREL_TOOL, "match",
                                   source,       reference,
                                   "-o",         out,
                                   "--mode",     same ? "same" : "different",
                                   "--plugin",   VANTREL_MODULE_PATH,
                                   "-q",         "--output-space",
                                   "lin_rec709", "--depth",
                                   "float"};
  if (same) args.insert(args.end(), {"--fit", fit ? "lattice" : "cells"});
  if (run(args) != 0) throw std::runtime_error("vantrel failed on " + source);
  return readExr(out);
}

double mean(const std::vector<double>& v) {
  double s = 0;
  for (double x : v) s += x;
  return v.empty() ? 0 : s / double(v.size());
}

double worst(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

}  // namespace

int main(int argc, char** argv) {
  std::string photos = "/usr/share/backgrounds/mate/nature", keep;
  int width = 320;
  float onlyGain = 0.0f;  // --gain G: every plate the photograph times G (G 1: display-range plates)
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--photos") photos = argv[i + 1];
    if (a == "--width") width = std::atoi(argv[i + 1]);
    if (a == "--keep") keep = argv[i + 1];
    if (a == "--gain") onlyGain = float(std::atof(argv[i + 1]));
  }
  std::string dir = keep;
  if (dir.empty()) {
    char pattern[] = "/tmp/plate-eval-XXXXXX";
    dir = mkdtemp(pattern);
  }
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(photos))
    if (e.path().extension() == ".jpg" || e.path().extension() == ".png") files.push_back(e.path().string());
  std::sort(files.begin(), files.end());

  // Grades in linear light, not clipped: +0.5 stop and a warm matrix; -0.7 stop with contrast
  // 1.15 about 0.18; and a CDL on ARRI LogC3 code values (the curve alone).
  const std::vector<std::pair<std::string, std::function<void(float*)>>> grades = {
      {"lin-warm",
       [](float* p) {
         const float m[9] = {1.10f, 0.04f, -0.02f, 0.02f, 0.98f, 0.0f, -0.02f, 0.03f, 0.86f};
         const float r = p[0], g = p[1], b = p[2];
         for (int c = 0; c < 3; ++c)
           p[c] = std::max(0.0f, 1.41421356f * (m[c * 3] * r + m[c * 3 + 1] * g + m[c * 3 + 2] * b));
       }},
      {"lin-down",
       [](float* p) {
         for (int c = 0; c < 3; ++c) p[c] = 0.18f * std::pow(std::max(0.0f, p[c]) * 0.6155722f / 0.18f, 1.15f);
       }},
      {"cdl-logc3",
       [](float* p) {
         const float slope[3] = {0.96f, 1.0f, 1.05f}, offset[3] = {-0.01f, 0.005f, 0.015f};
         float code[3];
         for (int c = 0; c < 3; ++c)
           code[c] = float(linearToPlate(PlateEncoding::ArriLogC3, p[c])) * slope[c] + offset[c];
         const float luma = 0.2126f * code[0] + 0.7152f * code[1] + 0.0722f * code[2];
         for (int c = 0; c < 3; ++c)
           p[c] = std::max(0.0f, float(plateToLinear(PlateEncoding::ArriLogC3, luma + 1.15f * (code[c] - luma))));
       }},
  };

  std::vector<Picture> plates;
  std::vector<std::string> names;
  for (size_t i = 0; i < files.size(); ++i) {
    const Picture photo = readPhoto(files[i], width);
    const float gains[4] = {4, 0, 2, 8};
    const float gain = onlyGain > 0.0f ? onlyGain : gains[i % 4];
    names.push_back(fs::path(files[i]).stem().string());
    plates.push_back(viaExr(mapped(photo,
                                   [gain](float* p) {
                                     for (int c = 0; c < 3; ++c)
                                       p[c] = gain > 0 ? gain * p[c] : 2.0f * p[c] / (1.0f - 0.875f * p[c] * p[c]);
                                   }),
                            dir + "/" + names.back() + ".plate.exr"));
  }
  const size_t n = plates.size();

  std::printf("Different Clips, plate to the next plate (%zu pairs)\n", n);
  std::vector<double> meanDiff, topRatio, deBefore, dePlugin, deTool;
  for (size_t i = 0; i < n; ++i) {
    const size_t j = (i + 1) % n;
    const Picture ours = renderPlugin(plates[i], plates[j], false, 0);
    const Picture tool =
        renderTool(dir + "/" + names[i] + ".plate.exr", dir + "/" + names[j] + ".plate.exr", false, 0, dir);
    const Summary so = summary(ours), st = summary(tool);
    double diff = 0;
    for (int c = 0; c < 3; ++c) diff = std::max(diff, std::fabs(so.mean[c] - st.mean[c]) / st.mean[c]);
    meanDiff.push_back(diff);
    topRatio.push_back(so.top / st.top);
    deBefore.push_back(meanColourDeltaE(plates[i], plates[j]));
    dePlugin.push_back(meanColourDeltaE(ours, plates[j]));
    deTool.push_back(meanColourDeltaE(tool, plates[j]));
    std::printf(
        "  %-14s mean %.3f %.3f %.3f (tool %.3f %.3f %.3f), top %.2f (tool %.2f), dE of means %.2f -> %.2f "
        "(tool %.2f)\n",
        names[i].c_str(), so.mean[0], so.mean[1], so.mean[2], st.mean[0], st.mean[1], st.mean[2], so.top, st.top,
        deBefore.back(), dePlugin.back(), deTool.back());
  }
  std::printf(
      "  Output mean against the tool's: mean %.4f, worst %.4f of the channel's mean; top %.3f of the "
      "tool's (worst %.3f); dE2000 of the mean colours %.2f before, %.2f after (tool %.2f)\n\n",
      mean(meanDiff), worst(meanDiff), mean(topRatio), *std::min_element(topRatio.begin(), topRatio.end()),
      mean(deBefore), mean(dePlugin), mean(deTool));

  for (int fit : {0, 1}) {
    std::printf("Same Frame (%s), plate to its graded copy (%zu pairs)\n", fit ? "Fitted Lattice" : "Smoothed Cells",
                n * grades.size());
    std::vector<double> before, after, toolAfter, ratio, toolRatio, tops;
    for (size_t i = 0; i < n; ++i)
      for (const auto& grade : grades) {
        const std::string gradedPath = dir + "/" + names[i] + "." + grade.first + ".exr";
        const Picture graded = viaExr(mapped(plates[i], grade.second), gradedPath);
        const Picture ours = renderPlugin(plates[i], graded, true, fit);
        const Picture tool = renderTool(dir + "/" + names[i] + ".plate.exr", gradedPath, true, fit, dir);
        before.push_back(meanPixelDeltaE(plates[i], graded));
        after.push_back(meanPixelDeltaE(ours, graded));
        toolAfter.push_back(meanPixelDeltaE(tool, graded));
        ratio.push_back(after.back() / before.back());
        toolRatio.push_back(toolAfter.back() / before.back());
        if (ratio.back() > 1.0 || toolRatio.back() > 1.0)
          std::printf("  %s %s: %.2f -> %.2f (tool %.2f)\n", names[i].c_str(), grade.first.c_str(), before.back(),
                      after.back(), toolAfter.back());
        tops.push_back(summary(ours).top / summary(graded).top);
      }
    std::printf(
        "  mean dE2000 %.2f before, %.3f after (tool %.3f); after/before mean %.3f, worst %.3f (tool %.3f, "
        "worst %.3f); Output top %.3f of the Reference's (lowest %.3f)\n\n",
        mean(before), mean(after), mean(toolAfter), mean(ratio), worst(ratio), mean(toolRatio), worst(toolRatio),
        mean(tops), *std::min_element(tops.begin(), tops.end()));
  }
  if (keep.empty()) fs::remove_all(dir);
  return 0;
}
