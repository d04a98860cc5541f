#include "quality.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <thread>

namespace {

struct LabTransform {
  cmsHTRANSFORM handle = nullptr;
  LabTransform() {
    // Linear-light sRGB: the sRGB primaries and D65 white with a straight tone curve.
    const cmsCIExyY white = {0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
    cmsToneCurve* curves[3] = {linear, linear, linear};
    cmsHPROFILE rgb = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    if (rgb && lab)
      handle = cmsCreateTransform(rgb, TYPE_RGB_FLT, lab, TYPE_Lab_FLT, INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE);
    if (rgb) cmsCloseProfile(rgb);
    if (lab) cmsCloseProfile(lab);
    cmsFreeToneCurve(linear);
  }
  ~LabTransform() {
    if (handle) cmsDeleteTransform(handle);
  }
  LabTransform(const LabTransform&) = delete;
  LabTransform& operator=(const LabTransform&) = delete;
};

const LabTransform& labTransform() {
  static const LabTransform transform;
  return transform;
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
  std::vector<float> rgb(count * 3);
  for (size_t i = 0; i < count; ++i)
    for (int c = 0; c < 3; ++c)
      rgb[i * 3 + size_t(c)] = pixels[i * size_t(channels) + size_t(std::min(c, channels - 1))];
  std::vector<float> lab(count * 3);
  const cmsHTRANSFORM transform = labTransform().handle;
  if (!transform) return lab;
  // Float transforms are slow enough to be worth every core; the transform keeps no cache.
  const size_t threads = std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
  const size_t chunk = (count + threads - 1) / threads;
  std::vector<std::thread> pool;
  for (size_t start = 0; start < count; start += chunk) {
    const size_t n = std::min(chunk, count - start);
    pool.emplace_back(
        [&, start, n] { cmsDoTransform(transform, &rgb[start * 3], &lab[start * 3], cmsUInt32Number(n)); });
  }
  for (std::thread& t : pool) t.join();
  // The transform turns NaN and infinities into ordinary colours; they must stay out of the figures.
  for (size_t i = 0; i < count; ++i)
    if (!finite3(&rgb[i * 3])) lab[i * 3] = lab[i * 3 + 1] = lab[i * 3 + 2] = std::numeric_limits<float>::quiet_NaN();
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

PixelWeights maskWeights(const Image& mask, int width, int height) {
  PixelWeights weights(size_t(std::max(0, width)) * size_t(std::max(0, height)), 0.0f);
  if (mask.width <= 0 || mask.height <= 0 || width <= 0 || height <= 0) return weights;
  const int channel = mask.channels == 4 ? 3 : 0;
  // Rows are stretched counting from the bottom, as the plug-in counts them.
  for (int fromBottom = 0; fromBottom < height; ++fromBottom) {
    const int maskFromBottom = int(int64_t(mask.height) * fromBottom / height);
    const size_t maskRow = size_t(mask.height - 1 - maskFromBottom);
    const size_t row = size_t(height - 1 - fromBottom);
    for (int x = 0; x < width; ++x) {
      const size_t mx = size_t(int64_t(mask.width) * x / width);
      const float v = mask.pixels[(maskRow * size_t(mask.width) + mx) * size_t(mask.channels) + size_t(channel)];
      weights[row * size_t(width) + size_t(x)] = v < 0.5f ? 0.0f : (v < 1.0f ? v : 1.0f);
    }
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
      if (channels[c] && (p[c] < 0.0f || p[c] > 1.0f)) {
        ++outside;
        break;
      }
    }
  }
  return double(outside) / double(count);
}

double deltaE2000(const float* labA, const float* labB) {
  const cmsCIELab a = {labA[0], labA[1], labA[2]};
  const cmsCIELab b = {labB[0], labB[1], labB[2]};
  return cmsCIE2000DeltaE(&a, &b, 1.0, 1.0, 1.0);
}

PixelDeltaE comparePixels(const Image& a, const Image& b) { return comparePixels(toLab(a), toLab(b)); }
SpreadDeltaE compareSpreads(const Image& a, const Image& b) { return compareSpreads(toLab(a), toLab(b)); }

PixelDeltaE comparePixels(const LabImage& a, const LabImage& b) {
  PixelDeltaE result;
  const int x1 = std::max(a.canvas.x1, b.canvas.x1), x2 = std::min(a.canvas.x2, b.canvas.x2);
  const int y1 = std::max(a.canvas.y1, b.canvas.y1), y2 = std::min(a.canvas.y2, b.canvas.y2);
  result.width = std::max(0, x2 - x1);
  result.height = std::max(0, y2 - y1);
  if (result.width <= 0 || result.height <= 0) return result;
  const std::vector<float>&labA = a.lab, &labB = b.lab;
  std::vector<double> distances;
  distances.reserve(size_t(result.width) * size_t(result.height));
  for (int y = y1; y < y2; ++y) {
    // Canvas row y in each image, whose rows run top down.
    const size_t rowA = size_t(a.canvas.y2 - 1 - y) * size_t(a.width);
    const size_t rowB = size_t(b.canvas.y2 - 1 - y) * size_t(b.width);
    for (int x = x1; x < x2; ++x) {
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
  result.meanColorDeltaE = deltaE2000(ma, mb);
  double sq = 0.0;
  for (int c = 0; c < 3; ++c) {
    result.stdDevDifference[c] = std::fabs(sigmaA[c] - sigmaB[c]);
    sq += result.stdDevDifference[c] * result.stdDevDifference[c];
  }
  result.stdDevDistance = std::sqrt(sq);
  return result;
}

MatchQuality measureMatch(bool sameFrame, const Image& source, const Image& reference, const Image& output,
                          const PixelWeights& sourceWeights, const PixelWeights& referenceWeights) {
  MatchQuality q;
  q.sameFrame = sameFrame;
  q.masked = !sourceWeights.empty() || !referenceWeights.empty();
  const LabImage s = toLab(source, sourceWeights), r = toLab(reference, referenceWeights);
  const LabImage o = toLab(output, sourceWeights);
  if (sameFrame) {
    q.pixelsBefore = comparePixels(s, r);
    q.pixelsAfter = comparePixels(o, r);
  } else {
    q.spreadBefore = compareSpreads(s, r);
    q.spreadAfter = compareSpreads(o, r);
  }
  return q;
}

std::vector<std::string> describeQuality(const MatchQuality& q) {
  std::vector<std::string> lines;
  if (q.sameFrame) {
    lines.push_back(formatLine("Same Frame: CIE dE2000 per pixel over the %dx%d overlap%s", q.pixelsBefore.width,
                               q.pixelsBefore.height, q.masked ? ", where the masks select" : ""));
    lines.push_back(
        formatLine("Source vs Reference: mean %.2f, 95th percentile %.2f", q.pixelsBefore.mean, q.pixelsBefore.p95));
    lines.push_back(
        formatLine("Output vs Reference: mean %.2f, 95th percentile %.2f", q.pixelsAfter.mean, q.pixelsAfter.p95));
  } else {
    lines.push_back(std::string("Different Clips: dE2000 of the mean colours, difference of the Lab standard "
                                "deviations") +
                    (q.masked ? ", pixels weighted by the masks" : ""));
    const SpreadDeltaE* s[2] = {&q.spreadBefore, &q.spreadAfter};
    const char* names[2] = {"Source vs Reference", "Output vs Reference"};
    for (int i = 0; i < 2; ++i)
      lines.push_back(formatLine("%s: mean colour %.2f, spread %.2f (L* %.2f, a* %.2f, b* %.2f)", names[i],
                                 s[i]->meanColorDeltaE, s[i]->stdDevDistance, s[i]->stdDevDifference[0],
                                 s[i]->stdDevDifference[1], s[i]->stdDevDifference[2]));
  }
  return lines;
}
