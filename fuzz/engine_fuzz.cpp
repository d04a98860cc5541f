// Statistics, both builders and the LUT application on images, masks, lattices and windows
// decoded from the input. Each result is computed with every kernel set the CPU has and must
// agree bit for bit, and agree with the plain engine of the tests (bit for bit before
// smoothing, within rounding after); finished lattices must lie in [0, 1]; application must
// leave every Output byte outside the window alone.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "fuzz_input.h"
#include "literal_engine.h"
#include "render/apply_lut.h"

namespace {

using fuzzin::OwnedImage;

constexpr float kSmoothingTolerance = 2e-4f;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "engine_fuzz: %s\n", what);
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

const KernelSet kKernelSets[] = {KernelSet::Generic, KernelSet::Avx2, KernelSet::Avx512};

// Runs fn once per supported kernel set; fn returns a vector of floats that must not differ.
template <class Fn>
std::vector<float> sameOnEveryIsa(Fn fn, const char* what) {
  std::vector<float> first;
  bool have = false;
  const CpuFeatures cpu = detectCpu();
  for (KernelSet kernels : kKernelSets) {
    if (!supports(cpu, kernels)) continue;
    std::vector<float> got = fn(kernels);
    if (!have) {
      first = std::move(got);
      have = true;
      continue;
    }
    check(got.size() == first.size(), what);
    for (size_t i = 0; i < got.size(); ++i) check(fuzzin::sameBits(got[i], first[i]), what);
  }
  return first;
}

int32_t dimensionLimit(FuzzedDataProvider& in) {
  // Mostly small; now and then large enough for a sampling step above 1.
  return in.ConsumeProbability<float>() < 0.05f ? 320 : 40;
}

struct Mask {
  OwnedImage image;
  MaskData data{};
  bool present = false;
};

Mask readMask(FuzzedDataProvider& in) {
  Mask m;
  m.present = in.ConsumeBool();
  if (!m.present) return m;
  static const int32_t kComponents[] = {1, 3, 4, 0, 2, 5, -1};
  const int32_t components = kComponents[in.ConsumeIntegralInRange<size_t>(0, 6)];
  // Four reads alpha, three reads red, any other count reads a single float per pixel.
  const int32_t perPixel = components == 4 ? 4 : components == 3 ? 3 : 1;
  const int32_t limit = dimensionLimit(in);
  m.image = fuzzin::readImage(in, perPixel, limit, limit, true);
  const bool nullPixels = in.ConsumeProbability<float>() < 0.05f;
  m.data =
      MaskData{nullPixels ? nullptr : m.image.bytes(), m.image.width, m.image.height, m.image.rowBytes, components};
  return m;
}

bool allBelowHalf(const OwnedImage& img) {
  for (size_t i = 0; i < img.floats; ++i)
    if (!(img.storage[i] < 0.5f)) return false;
  return true;
}

bool allModest(const OwnedImage& img) {
  for (size_t i = 0; i < img.floats; ++i)
    if (!(std::fabs(img.storage[i]) <= 1e6f)) return false;
  return true;
}

ColorStats statsOf(FuzzedDataProvider& in) {
  const int32_t limit = dimensionLimit(in);
  const OwnedImage image = fuzzin::readImage(in, 4, limit, limit, true);
  const Mask mask = readMask(in);
  const MaskData* maskArg = mask.present ? &mask.data : nullptr;

  ColorStats out{};
  const std::vector<float> got = sameOnEveryIsa(
      [&](KernelSet kernels) {
        ColorStats s;
        std::memset(&s, 0xA5, sizeof s);
        computeColorStats(image.bytes(), image.width, image.height, image.rowBytes, Colorspace::Lab, s, maskArg,
                          kernels);
        return std::vector<float>{s.mean[0], s.mean[1], s.mean[2], s.stdDev[0], s.stdDev[1], s.stdDev[2]};
      },
      "statistics differ between kernel sets");
  std::copy_n(got.begin(), 3, out.mean);
  std::copy_n(got.begin() + 3, 3, out.stdDev);
  ColorStats plain;
  literal::computeColorStats(image.bytes(), image.width, image.height, image.rowBytes, plain, maskArg);
  for (int c = 0; c < 3; ++c) {
    check(fuzzin::sameBits(out.mean[c], plain.mean[c]) && fuzzin::sameBits(out.stdDev[c], plain.stdDev[c]),
          "statistics differ from the plain computation");
  }

  const bool noSamples =
      image.width <= 0 || image.height <= 0 || (mask.present && mask.data.pixels && allBelowHalf(mask.image));
  for (int c = 0; c < 3; ++c) {
    if (noSamples) {
      check(out.mean[c] == 0.5f && out.stdDev[c] == 0.25f, "no-data summary expected");
    } else if (allModest(image)) {
      check(std::isfinite(out.mean[c]) && std::isfinite(out.stdDev[c]), "finite image gave non-finite statistics");
    }
    // A deviation is a square root plus 1e-6: never below that, whatever the pixels.
    check(!(out.stdDev[c] < 0.000001f), "deviation below its floor");
  }
  return out;
}

ColorStats rawStats(FuzzedDataProvider& in) {
  ColorStats s;
  for (float& v : s.mean) v = fuzzin::anyFloat(in);
  for (float& v : s.stdDev) v = fuzzin::anyFloat(in);
  return s;
}

PreserveMode anyMode(FuzzedDataProvider& in) {
  return PreserveMode(in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 2) : in.ConsumeIntegral<int32_t>());
}

void checkLattice(const std::vector<float>& lattice) {
  for (float v : lattice) check(v >= 0.0f && v <= 1.0f, "lattice value outside [0, 1]");
}

// A finished lattice from one of the builders, or nothing when the lattice size is unusable.
std::vector<float> buildLattice(FuzzedDataProvider& in, int32_t n) {
  const bool sameFrame = in.ConsumeBool();
  const PreserveMode mode = anyMode(in);
  const size_t floats = n > 0 ? size_t(n) * n * n * 3 : 0;

  if (!sameFrame) {
    const ColorStats source = in.ConsumeBool() ? statsOf(in) : rawStats(in);
    const ColorStats reference = in.ConsumeBool() ? statsOf(in) : rawStats(in);
    std::vector<float> lattice = sameOnEveryIsa(
        [&](KernelSet kernels) {
          std::vector<float> storage(floats, -7.0f);
          LUT3D lut{storage.data(), n, true};
          const bool built = buildMatchLUT_DifferentClips(source, reference, lut, mode, kernels);
          check(built == lut.valid, "builder result and valid flag disagree");
          check(built == (n >= 2), "builder refused a usable lattice or filled an unusable one");
          return storage;
        },
        "different-clips lattices differ between kernel sets");
    if (n < 2) return {};
    checkLattice(lattice);
    // The plain smoothing sums 1331 terms per interior point: only small lattices get it. Sums
    // of that many terms in another order may differ by up to about 1330 units of rounding of
    // the mean (8e-5); anything past kSmoothingTolerance is a wrong block, not rounding.
    std::vector<float> perPoint, plain;
    literal::transferLattice(source, reference, n, mode, perPoint);
    const bool wholeLattice = n <= 16;
    if (wholeLattice) literal::buildDifferentClips(source, reference, n, mode, plain);
    for (int32_t r = 0; r < n; ++r)
      for (int32_t g = 0; g < n; ++g)
        for (int32_t b = 0; b < n; ++b) {
          const bool shell = std::min({r, g, b}) < 5 || std::max({r, g, b}) > n - 6;
          for (int c = 0; c < 3; ++c) {
            const size_t at = size_t(lutOffset(n, r, g, b) + c);
            check(!shell || lattice[at] == perPoint[at], "unsmoothed point differs from the plain transfer");
            if (wholeLattice && !(std::fabs(lattice[at] - plain[at]) <= kSmoothingTolerance)) {
              std::fprintf(stderr, "n %d point (%d, %d, %d) component %d: %.9g, plain %.9g; mode %d\n", n, r, g, b, c,
                           double(lattice[at]), double(plain[at]), int(mode));
              std::fprintf(stderr, "source %g %g %g / %g %g %g; reference %g %g %g / %g %g %g\n",
                           double(source.mean[0]), double(source.mean[1]), double(source.mean[2]),
                           double(source.stdDev[0]), double(source.stdDev[1]), double(source.stdDev[2]),
                           double(reference.mean[0]), double(reference.mean[1]), double(reference.mean[2]),
                           double(reference.stdDev[0]), double(reference.stdDev[1]), double(reference.stdDev[2]));
              fail("lattice differs from the plain build");
            }
          }
        }
    return lattice;
  }

  const int32_t limit = dimensionLimit(in);
  const OwnedImage source = fuzzin::readImage(in, 4, limit, limit, true);
  const OwnedImage reference = fuzzin::readImage(in, 4, limit, limit, true);
  float radius = in.ConsumeBool() ? 5.0f : fuzzin::anyFloat(in);
  if (in.ConsumeBool()) radius = float(in.ConsumeIntegralInRange(-1, 3)) * 0.5f;
  std::vector<float> lattice = sameOnEveryIsa(
      [&](KernelSet kernels) {
        std::vector<float> storage(floats, -7.0f);
        LUT3D lut{storage.data(), n, true};
        const bool built =
            buildMatchLUT_SameClip(source.bytes(), source.width, source.height, source.rowBytes, reference.bytes(),
                                   reference.width, reference.height, reference.rowBytes, lut, radius, mode, kernels);
        check(built == lut.valid, "builder result and valid flag disagree");
        check(built == (n >= 2), "builder refused a usable lattice or filled an unusable one");
        return storage;
      },
      "same-frame lattices differ between kernel sets");
  if (n < 2) return {};
  checkLattice(lattice);
  // Binning is exact; only the smoothing's running sums may round differently. The plain
  // smoothing sums every block term by term, so it is compared only where that stays cheap.
  std::vector<float> plain;
  literal::binLattice(source.bytes(), source.width, source.height, source.rowBytes, reference.bytes(), reference.width,
                      reference.height, reference.rowBytes, n, mode, plain);
  const bool smoothed = radius > 0.0f;
  const double side = 2.0 * std::min(std::max(double(radius), 1.0), double(n)) + 1.0;
  if (smoothed && side * side * side * n * n * n > 2e6) return lattice;
  literal::smoothClipped(plain, n, radius);
  for (size_t i = 0; i < lattice.size(); ++i) {
    check(smoothed ? std::fabs(lattice[i] - plain[i]) <= kSmoothingTolerance : lattice[i] == plain[i],
          "same-frame lattice differs from the plain build");
  }
  return lattice;
}

Rect readBounds(FuzzedDataProvider& in, int32_t width, int32_t height) {
  // Near the origin, far from it, or at either end of the coordinate range.
  auto origin = [&](int32_t extent) {
    static const int32_t kOrigins[] = {0, 1, -1, 3, -5, 1 << 30, -(1 << 30), INT32_MIN};
    if (in.ConsumeBool()) return in.ConsumeIntegralInRange(-6, 6);
    if (in.ConsumeProbability<float>() < 0.2f) return INT32_MAX - extent - in.ConsumeIntegralInRange(0, 2);
    return kOrigins[in.ConsumeIntegralInRange<size_t>(0, 7)];
  };
  const int32_t w = std::max(width, 0), h = std::max(height, 0);
  const int32_t x1 = origin(w), y1 = origin(h);
  return Rect{x1, y1, x1 + w, y1 + h};
}

int32_t windowEdge(FuzzedDataProvider& in, int32_t near) {
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
      return INT32_MIN;
    case 1:
      return INT32_MAX;
    default: {
      const int64_t v = int64_t(near) + in.ConsumeIntegralInRange(-8, 8);
      return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
    }
  }
}

void fuzzApply(FuzzedDataProvider& in, std::vector<float> lattice, int32_t n) {
  // A built lattice, raw values (NaN, infinities, anything), or a lattice that must not be used.
  std::vector<float> storage;
  LUT3D lut{nullptr, 0, in.ConsumeBool()};
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
      storage = std::move(lattice);
      lut.size = storage.empty() ? 0 : n;
      break;
    case 1: {
      lut.size = std::max(n, 2);
      storage.resize(size_t(lut.size) * lut.size * lut.size * 3);
      const fuzzin::Palette palette = fuzzin::readPalette(in);
      for (size_t i = 0; i < storage.size(); ++i) storage[i] = palette.at(i);
      break;
    }
    default:
      // One point, or a size without storage.
      lut.size = in.ConsumeBool() ? 1 : in.ConsumeIntegralInRange(-1, 65);
      if (lut.size == 1) storage.assign(3, 0.25f);
      break;
  }
  lut.data = storage.empty() ? nullptr : storage.data();

  const int32_t limit = std::min(dimensionLimit(in), 64);
  const OwnedImage source = fuzzin::readImage(in, 4, limit, limit, true);
  OwnedImage output = fuzzin::readImage(in, 4, limit, limit, false);
  const Rect sourceBounds = readBounds(in, source.width, source.height);
  const Rect outputBounds = readBounds(in, output.width, output.height);
  const Rect window{windowEdge(in, outputBounds.x1), windowEdge(in, outputBounds.y1), windowEdge(in, outputBounds.x2),
                    windowEdge(in, outputBounds.y2)};
  const bool useLut = in.ConsumeBool();
  const double mixes[4] = {fuzzin::anyDouble(in), fuzzin::anyDouble(in), fuzzin::anyDouble(in), fuzzin::anyDouble(in)};

  const ImageView sourceView =
      floatRGBA(reinterpret_cast<unsigned char*>(source.first()), source.rowBytes, sourceBounds);
  const std::vector<float> before(output.storage.get(), output.storage.get() + output.floats);
  std::vector<float> reference;
  const ChannelMixes channels = channelMixes(mixes[0], mixes[1], mixes[2], mixes[3]);
  for (KernelSet kernel : kKernelSets) {
    if (!supports(detectCpu(), kernel)) continue;
    std::copy(before.begin(), before.end(), output.storage.get());
    const ImageView outputView =
        floatRGBA(reinterpret_cast<unsigned char*>(output.first()), output.rowBytes, outputBounds);
    applyLUT(sourceView, outputView, window, useLut ? &lut : nullptr, channels, kernel);
    const std::vector<float> after(output.storage.get(), output.storage.get() + output.floats);
    if (reference.empty()) {
      reference = after;
    } else {
      for (size_t i = 0; i < after.size(); ++i)
        check(fuzzin::sameBits(after[i], reference[i]), "application differs between kernels");
    }
  }
  if (output.width <= 0 || output.height <= 0) return;

  // Bytes outside the rows' pixels (padding) and pixels outside the window stay as they were.
  std::vector<char> touched(output.floats, 0);
  const int32_t x1 = std::max(window.x1, outputBounds.x1), x2 = std::min(window.x2, outputBounds.x2);
  const int32_t y1 = std::max(window.y1, outputBounds.y1), y2 = std::min(window.y2, outputBounds.y2);
  for (int32_t y = y1; y < y2; ++y) {
    for (int32_t x = x1; x < x2; ++x) {
      const float* px = output.pixel(x - outputBounds.x1, y - outputBounds.y1);
      const size_t at = size_t(px - output.storage.get());
      const float* after4 = &reference[at];
      std::fill_n(&touched[at], 4, 1);
      const bool inSource = x >= sourceBounds.x1 && x < sourceBounds.x2 && y >= sourceBounds.y1 && y < sourceBounds.y2;
      if (!inSource) {
        for (int c = 0; c < 4; ++c) check(after4[c] == 0.0f && !std::signbit(after4[c]), "not transparent black");
        continue;
      }
      const float* src = source.pixel(x - sourceBounds.x1, y - sourceBounds.y1);
      check(fuzzin::sameBits(after4[3], src[3]), "alpha not copied");
    }
  }
  for (size_t i = 0; i < output.floats; ++i)
    if (!touched[i]) check(std::memcmp(&reference[i], &before[i], 4) == 0, "wrote outside the window");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  // Small lattices keep an execution fast; sizes 0 and 1 must be refused.
  const int32_t n =
      in.ConsumeProbability<float>() < 0.05f ? in.ConsumeIntegralInRange(-1, 1) : in.ConsumeIntegralInRange(2, 24);
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
      statsOf(in);
      break;
    case 1:
      buildLattice(in, n);
      break;
    default:
      fuzzApply(in, buildLattice(in, n), n);
      break;
  }
  return 0;
}
