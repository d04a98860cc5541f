#include "imaging/quality.h"

#include "imaging/colour.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace {

// Linear Rec.709 to D50 XYZ: the colorants Little CMS gives a linear-light profile with the
// Rec.709 primaries and a D65 white, adapted to D50 as its relative colorimetric transforms are.
struct LabMatrix {
  double m[3][3] = {};
  LabMatrix() {
    const cmsCIExyY white = {0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
    cmsToneCurve* curves[3] = {linear, linear, linear};
    cmsHPROFILE rgb = cmsCreateRGBProfile(&white, &primaries, curves);
    const cmsTagSignature tags[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag, cmsSigBlueColorantTag};
    for (int c = 0; c < 3 && rgb; ++c) {
      const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(rgb, tags[c]));
      if (!xyz) continue;
      m[0][c] = xyz->X;
      m[1][c] = xyz->Y;
      m[2][c] = xyz->Z;
    }
    if (rgb) cmsCloseProfile(rgb);
    cmsFreeToneCurve(linear);
  }
};

const LabMatrix& labMatrix() {
  static const LabMatrix matrix;
  return matrix;
}

// The CIE L*a*b* companding, as Little CMS computes it (a float cube root is exact to far below
// what the figures show).
double labF(double t) {
  constexpr double kLimit = (24.0 / 116.0) * (24.0 / 116.0) * (24.0 / 116.0);
  return t <= kLimit ? (841.0 / 108.0) * t + 16.0 / 116.0 : double(std::cbrt(float(t)));
}

bool finite3(const float* v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

float weightAt(const PixelWeights& weights, size_t pixel) { return weights.empty() ? 1.0f : weights[pixel]; }

void spread(const LabImage& image, double mean[3], double sigma[3]) {
  const std::vector<float>& lab = image.lab;
  double sum[3] = {}, sumSq[3] = {};
  double n = 0.0;
  for (size_t i = 0; i + 2 < lab.size(); i += 3) {
    const double w = weightAt(image.weights, i / 3);
    if (!finite3(&lab[i]) || w <= 0.0) continue;
    for (int c = 0; c < 3; ++c) {
      sum[c] += w * lab[i + size_t(c)];
      sumSq[c] += w * double(lab[i + size_t(c)]) * lab[i + size_t(c)];
    }
    n += w;
  }
  for (int c = 0; c < 3; ++c) {
    mean[c] = n > 0 ? sum[c] / n : 0.0;
    sigma[c] = n > 0 ? std::sqrt(std::max(0.0, sumSq[c] / n - mean[c] * mean[c])) : 0.0;
  }
}

constexpr double kPi = 3.14159265358979323846;
double degrees(double radians) { return radians * (180.0 / kPi); }
double radians(double degrees) { return degrees * (kPi / 180.0); }

// The hue angle in degrees, 0 to 360.
double hueAngle(double b, double a) {
  if (a == 0.0 && b == 0.0) return 0.0;
  const double h = degrees(std::atan2(b, a));
  return h < 0.0 ? h + 360.0 : h;
}

// The cell index mixed into 64 bits that look random (splitmix64's finaliser).
uint64_t mix64(uint64_t v) {
  v += 0x9e3779b97f4a7c15ull;
  v = (v ^ (v >> 30)) * 0xbf58476d1ce4e5b9ull;
  v = (v ^ (v >> 27)) * 0x94d049bb133111ebull;
  return v ^ (v >> 31);
}

// The pixels of `image` at canvas points inside it, as one row with its channels.
Image pixelsAt(const Image& image, const std::vector<CanvasPoint>& points) {
  Image row;
  row.channels = image.channels;
  row.width = int(points.size());
  row.height = points.empty() ? 0 : 1;
  row.pixels.resize(points.size() * size_t(image.channels));
  const PixelRect canvas = canvasBounds(image);
  const size_t channels = size_t(image.channels);
  for (size_t i = 0; i < points.size(); ++i) {
    const size_t from = (size_t(canvas.y2 - 1 - points[i].y) * size_t(image.width) + size_t(points[i].x - canvas.x1));
    std::copy_n(&image.pixels[from * channels], channels, &row.pixels[i * channels]);
  }
  return row;
}

// One picture's sampled pixels in Lab, as a row, with the weights its mask gives them.
LabImage sampledLab(const Image& image, const std::vector<CanvasPoint>& points, const Image* mask,
                    const Conversion* toLinear) {
  Image row = pixelsAt(image, points);
  if (toLinear) toLinear->apply(row);
  PixelWeights weights;
  if (mask) {
    const PixelRect canvas = canvasBounds(image);
    weights.resize(points.size());
    for (size_t i = 0; i < points.size(); ++i)
      weights[i] = maskWeightAt(*mask, image.width, image.height, points[i].x - canvas.x1, points[i].y - canvas.y1);
  }
  return toLab(row, std::move(weights));
}

PixelRect overlapOf(const PixelRect& a, const PixelRect& b) {
  PixelRect r{std::max(a.x1, b.x1), std::max(a.y1, b.y1), std::min(a.x2, b.x2), std::min(a.y2, b.y2)};
  if (r.x2 < r.x1) r.x2 = r.x1;
  if (r.y2 < r.y1) r.y2 = r.y1;
  return r;
}

size_t area(const PixelRect& r) { return size_t(std::max(0, r.width())) * size_t(std::max(0, r.height())); }

std::string formatLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatLine(const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

}  // namespace

std::vector<float> linearToLab(const float* pixels, size_t count, int channels) {
  const LabMatrix& m = labMatrix();
  const double white[3] = {cmsD50_XYZ()->X, cmsD50_XYZ()->Y, cmsD50_XYZ()->Z};
  std::vector<float> lab(count * 3);
  for (size_t i = 0; i < count; ++i) {
    const float* p = pixels + i * size_t(channels);
    float* out = &lab[i * 3];
    const float rgb[3] = {p[0], p[std::min(1, channels - 1)], p[std::min(2, channels - 1)]};
    // NaN and infinities would turn into ordinary colours; they must stay out of the figures.
    if (!finite3(rgb)) {
      out[0] = out[1] = out[2] = std::numeric_limits<float>::quiet_NaN();
      continue;
    }
    double f[3];
    for (int r = 0; r < 3; ++r) f[r] = labF((m.m[r][0] * rgb[0] + m.m[r][1] * rgb[1] + m.m[r][2] * rgb[2]) / white[r]);
    out[0] = float(116.0 * f[1] - 16.0);
    out[1] = float(500.0 * (f[0] - f[1]));
    out[2] = float(200.0 * (f[1] - f[2]));
  }
  return lab;
}

LabImage toLab(const Image& image, PixelWeights weights) {
  LabImage result;
  result.width = image.width;
  result.height = image.height;
  result.canvas = canvasBounds(image);
  result.lab = linearToLab(image.pixels.data(), size_t(image.width) * size_t(image.height), image.channels);
  result.weights = std::move(weights);
  return result;
}

float maskWeightAt(const Image& mask, int width, int height, int x, int fromBottom) {
  if (mask.width <= 0 || mask.height <= 0 || width <= 0 || height <= 0) return 0.0f;
  const int channel = mask.channels == 4 ? 3 : 0;
  // Rows are stretched counting from the bottom, as the plug-in counts them.
  const int maskFromBottom = int(int64_t(mask.height) * fromBottom / height);
  const size_t maskRow = size_t(mask.height - 1 - maskFromBottom);
  const size_t mx = size_t(int64_t(mask.width) * x / width);
  const float v = mask.pixels[(maskRow * size_t(mask.width) + mx) * size_t(mask.channels) + size_t(channel)];
  return v < 0.5f ? 0.0f : (v < 1.0f ? v : 1.0f);
}

PixelWeights maskWeights(const Image& mask, int width, int height) {
  PixelWeights weights(size_t(std::max(0, width)) * size_t(std::max(0, height)), 0.0f);
  for (int fromBottom = 0; fromBottom < height; ++fromBottom) {
    const size_t row = size_t(height - 1 - fromBottom);
    for (int x = 0; x < width; ++x)
      weights[row * size_t(width) + size_t(x)] = maskWeightAt(mask, width, height, x, fromBottom);
  }
  return weights;
}

bool maskSelectsSamples(const PixelWeights& weights, int width, int height) {
  if (weights.empty()) return true;
  // The plug-in summarises about 10,000 pixels on a regular grid from the lower-left corner.
  const int64_t pixels = int64_t(width) * height;
  const int step = pixels <= 0 ? 1 : std::max(1, int(std::sqrt(double(pixels) / 10000.0)));
  double sum = 0.0;
  for (int fromBottom = 0; fromBottom < height; fromBottom += step)
    for (int x = 0; x < width; x += step) sum += weights[size_t(height - 1 - fromBottom) * size_t(width) + size_t(x)];
  return sum >= 0.000001;
}

double outOfRangeShare(const Image& image, const bool channels[3]) {
  const size_t count = size_t(image.width) * size_t(image.height);
  if (count == 0 || image.channels < 3) return 0.0;
  size_t outside = 0;
  for (size_t i = 0; i < count; ++i) {
    const float* p = &image.pixels[i * size_t(image.channels)];
    for (int c = 0; c < 3; ++c) {
      if (channels[c] && (p[c] < -kClipTolerance || p[c] > 1.0f + kClipTolerance)) {
        ++outside;
        break;
      }
    }
  }
  return double(outside) / double(count);
}

// Sharma, Wu and Dalal, "The CIEDE2000 color-difference formula: implementation notes,
// supplementary test data, and mathematical observations" (2005), equations 2 to 22. The four
// cosines of T come from one sine and cosine of the mean hue by the multiple-angle formulas.
double deltaE2000(const float* labA, const float* labB) {
  const double L1 = labA[0], a1 = labA[1], b1 = labA[2];
  const double L2 = labB[0], a2 = labB[1], b2 = labB[2];
  auto pow7 = [](double v) {
    const double v2 = v * v;
    return v2 * v2 * v2 * v;
  };
  constexpr double k25pow7 = 6103515625.0;  // 25^7
  const double cBar7 = pow7(0.5 * (std::sqrt(a1 * a1 + b1 * b1) + std::sqrt(a2 * a2 + b2 * b2)));
  const double g = 0.5 * (1.0 - std::sqrt(cBar7 / (cBar7 + k25pow7)));
  const double a1p = (1.0 + g) * a1, a2p = (1.0 + g) * a2;
  const double c1p = std::sqrt(a1p * a1p + b1 * b1), c2p = std::sqrt(a2p * a2p + b2 * b2);
  const double h1p = hueAngle(b1, a1p), h2p = hueAngle(b2, a2p);

  const double dLp = L2 - L1;
  const double dCp = c2p - c1p;
  const bool achromatic = c1p * c2p == 0.0;
  double dhp = achromatic ? 0.0 : h2p - h1p;
  if (dhp > 180.0)
    dhp -= 360.0;
  else if (dhp < -180.0)
    dhp += 360.0;
  const double dHp = 2.0 * std::sqrt(c1p * c2p) * std::sin(radians(dhp) / 2.0);

  const double lBarp = 0.5 * (L1 + L2);
  const double cBarp = 0.5 * (c1p + c2p);
  double hBarp = h1p + h2p;
  if (!achromatic) {
    if (std::fabs(h1p - h2p) <= 180.0)
      hBarp *= 0.5;
    else
      hBarp = hBarp < 360.0 ? 0.5 * (hBarp + 360.0) : 0.5 * (hBarp - 360.0);
  }
  // cos(h - 30°), cos 2h, cos(3h + 6°), cos(4h - 63°).
  const double c1 = std::cos(radians(hBarp)), s1 = std::sin(radians(hBarp));
  const double c2 = c1 * c1 - s1 * s1, s2 = 2.0 * s1 * c1;
  const double c3 = c1 * (4.0 * c1 * c1 - 3.0), s3 = s1 * (3.0 - 4.0 * s1 * s1);
  const double c4 = c2 * c2 - s2 * s2, s4 = 2.0 * s2 * c2;
  const double cos30 = 0.86602540378443865, sin6 = 0.10452846326765347, cos6 = 0.99452189536827333;
  const double cos63 = 0.45399049973954675, sin63 = 0.89100652418836786;
  const double t = 1.0 - 0.17 * (c1 * cos30 + s1 * 0.5) + 0.24 * c2 + 0.32 * (c3 * cos6 - s3 * sin6) -
                   0.20 * (c4 * cos63 + s4 * sin63);
  const double dTheta = 30.0 * std::exp(-((hBarp - 275.0) / 25.0) * ((hBarp - 275.0) / 25.0));
  const double cBarp7 = pow7(cBarp);
  const double rc = 2.0 * std::sqrt(cBarp7 / (cBarp7 + k25pow7));
  const double l50 = (lBarp - 50.0) * (lBarp - 50.0);
  const double sl = 1.0 + 0.015 * l50 / std::sqrt(20.0 + l50);
  const double sc = 1.0 + 0.045 * cBarp;
  const double sh = 1.0 + 0.015 * cBarp * t;
  const double rt = -std::sin(radians(2.0 * dTheta)) * rc;
  const double l = dLp / sl, c = dCp / sc, h = dHp / sh;
  return std::sqrt(std::max(0.0, l * l + c * c + h * h + rt * c * h));
}

PixelDeltaE comparePixels(const Image& a, const Image& b) { return comparePixels(toLab(a), toLab(b)); }
SpreadDeltaE compareSpreads(const Image& a, const Image& b) { return compareSpreads(toLab(a), toLab(b)); }

PixelDeltaE comparePixels(const LabImage& a, const LabImage& b) {
  PixelDeltaE result;
  const PixelRect overlap = overlapOf(a.canvas, b.canvas);
  result.width = overlap.width();
  result.height = overlap.height();
  if (result.width <= 0 || result.height <= 0) return result;
  const std::vector<float>&labA = a.lab, &labB = b.lab;
  std::vector<double> distances;
  distances.reserve(area(overlap));
  for (int y = overlap.y1; y < overlap.y2; ++y) {
    // Canvas row y in each image, whose rows run top down.
    const size_t rowA = size_t(a.canvas.y2 - 1 - y) * size_t(a.width);
    const size_t rowB = size_t(b.canvas.y2 - 1 - y) * size_t(b.width);
    for (int x = overlap.x1; x < overlap.x2; ++x) {
      const size_t ia = rowA + size_t(x - a.canvas.x1), ib = rowB + size_t(x - b.canvas.x1);
      const float* pa = &labA[ia * 3];
      const float* pb = &labB[ib * 3];
      if (finite3(pa) && finite3(pb) && weightAt(a.weights, ia) > 0 && weightAt(b.weights, ib) > 0)
        distances.push_back(deltaE2000(pa, pb));
    }
  }
  result.count = distances.size();
  if (distances.empty()) return result;
  double sum = 0.0;
  for (double d : distances) sum += d;
  result.mean = sum / double(distances.size());
  const size_t k = std::min(distances.size() - 1, size_t(std::ceil(0.95 * double(distances.size()))) - 1);
  std::nth_element(distances.begin(), distances.begin() + long(k), distances.end());
  result.p95 = distances[k];
  return result;
}

SpreadDeltaE compareSpreads(const LabImage& a, const LabImage& b) {
  double meanA[3], sigmaA[3], meanB[3], sigmaB[3];
  spread(a, meanA, sigmaA);
  spread(b, meanB, sigmaB);
  SpreadDeltaE result;
  const float ma[3] = {float(meanA[0]), float(meanA[1]), float(meanA[2])};
  const float mb[3] = {float(meanB[0]), float(meanB[1]), float(meanB[2])};
  result.meanColourDeltaE = deltaE2000(ma, mb);
  double sq = 0.0;
  for (int c = 0; c < 3; ++c) {
    result.stdDevDifference[c] = std::fabs(sigmaA[c] - sigmaB[c]);
    sq += result.stdDevDifference[c] * result.stdDevDifference[c];
  }
  result.stdDevDistance = std::sqrt(sq);
  return result;
}

std::vector<CanvasPoint> samplePoints(const PixelRect& region, size_t limit) {
  std::vector<CanvasPoint> points;
  const int64_t w = region.width(), h = region.height();
  if (w <= 0 || h <= 0 || limit == 0) return points;
  if (uint64_t(w) * uint64_t(h) <= limit) {
    points.reserve(size_t(w * h));
    for (int y = region.y1; y < region.y2; ++y)
      for (int x = region.x1; x < region.x2; ++x) points.push_back({x, y});
    return points;
  }
  const double side = std::sqrt(double(w) * double(h) / double(limit));
  int64_t across = std::clamp(int64_t(double(w) / side), int64_t(1), w);
  int64_t down = std::clamp(int64_t(double(h) / side), int64_t(1), h);
  while (uint64_t(across) * uint64_t(down) > limit) (across > down ? across : down) -= 1;
  points.reserve(size_t(across * down));
  for (int64_t j = 0; j < down; ++j) {
    const int64_t y0 = j * h / down, y1 = (j + 1) * h / down;
    for (int64_t i = 0; i < across; ++i) {
      const int64_t x0 = i * w / across, x1 = (i + 1) * w / across;
      const uint64_t r = mix64(uint64_t(j * across + i));
      points.push_back({region.x1 + int(x0 + int64_t((r & 0xffffffffu) % uint64_t(x1 - x0))),
                        region.y1 + int(y0 + int64_t((r >> 32) % uint64_t(y1 - y0)))});
    }
  }
  return points;
}

MatchQuality measureMatch(bool sameFrame, const Image& source, const Image& reference, const Image& output,
                          const Image* sourceMask, const Image* referenceMask, const Conversion* toLinear,
                          size_t limit) {
  MatchQuality q;
  q.sameFrame = sameFrame;
  q.masked = sourceMask || referenceMask;
  if (sameFrame) {
    const PixelRect overlap = overlapOf(canvasBounds(source), canvasBounds(reference));
    const std::vector<CanvasPoint> points = samplePoints(overlap, limit);
    const LabImage s = sampledLab(source, points, sourceMask, toLinear);
    const LabImage o = sampledLab(output, points, sourceMask, toLinear);
    const LabImage r = sampledLab(reference, points, referenceMask, toLinear);
    // The rows pair pixel i with pixel i.
    q.pixelsBefore = comparePixels(s, r);
    q.pixelsAfter = comparePixels(o, r);
    for (PixelDeltaE* p : {&q.pixelsBefore, &q.pixelsAfter}) {
      p->width = overlap.width();
      p->height = overlap.height();
    }
    q.sourceSample = q.referenceSample = {points.size(), area(overlap)};
  } else {
    const std::vector<CanvasPoint> sourcePoints = samplePoints(canvasBounds(source), limit);
    const std::vector<CanvasPoint> referencePoints = samplePoints(canvasBounds(reference), limit);
    const LabImage s = sampledLab(source, sourcePoints, sourceMask, toLinear);
    const LabImage o = sampledLab(output, sourcePoints, sourceMask, toLinear);
    const LabImage r = sampledLab(reference, referencePoints, referenceMask, toLinear);
    q.spreadBefore = compareSpreads(s, r);
    q.spreadAfter = compareSpreads(o, r);
    q.sourceSample = {sourcePoints.size(), area(canvasBounds(source))};
    q.referenceSample = {referencePoints.size(), area(canvasBounds(reference))};
  }
  return q;
}

std::vector<std::string> describeQuality(const MatchQuality& q) {
  std::vector<std::string> lines;
  auto sampled = [](const SampleSize& s) { return s.measured < s.of; };
  if (q.sameFrame) {
    const std::string sample =
        sampled(q.sourceSample) ? formatLine(" (a fixed sample of %zu of its pixels)", q.sourceSample.measured) : "";
    lines.push_back(formatLine("Same Frame: CIE dE2000 per pixel over the %dx%d overlap%s%s", q.pixelsBefore.width,
                               q.pixelsBefore.height, sample.c_str(), q.masked ? ", where the masks select" : ""));
    lines.push_back(
        formatLine("Source vs Reference: mean %.2f, 95th percentile %.2f", q.pixelsBefore.mean, q.pixelsBefore.p95));
    lines.push_back(
        formatLine("Output vs Reference: mean %.2f, 95th percentile %.2f", q.pixelsAfter.mean, q.pixelsAfter.p95));
  } else {
    const size_t most = std::max(q.sourceSample.measured, q.referenceSample.measured);
    const std::string sample = sampled(q.sourceSample) || sampled(q.referenceSample)
                                   ? formatLine(" (a fixed sample of up to %zu pixels of each picture)", most)
                                   : "";
    lines.push_back(std::string("Different Clips: dE2000 of the mean colours, difference of the Lab standard "
                                "deviations") +
                    sample + (q.masked ? ", pixels weighted by the masks" : ""));
    const SpreadDeltaE* s[2] = {&q.spreadBefore, &q.spreadAfter};
    const char* names[2] = {"Source vs Reference", "Output vs Reference"};
    for (int i = 0; i < 2; ++i)
      lines.push_back(formatLine("%s: mean colour %.2f, spread %.2f (L* %.2f, a* %.2f, b* %.2f)", names[i],
                                 s[i]->meanColourDeltaE, s[i]->stdDevDistance, s[i]->stdDevDifference[0],
                                 s[i]->stdDevDifference[1], s[i]->stdDevDifference[2]));
  }
  return lines;
}
