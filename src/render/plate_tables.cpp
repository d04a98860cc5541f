#include "render/plate_tables.h"

#include <algorithm>

#include "render/apply_encoded.h"

void plateCubeTables(const LUT3D& lut, const PlateTransform& plate, const ChannelMixes& mixes, KernelSet kernels,
                     PlateCubeTables& out) {
  const int32_t n = lut.size;
  const bool linear = plate.plateIsLinear;
  const double end = workingSpaceEnd(plate.space);
  out.inputLow = linear ? 0.0f : float(linearToPlate(plate.encoding, 0.0));
  out.inputHigh = linear ? float(end) : float(linearToPlate(plate.encoding, end));
  const float span = out.inputHigh - out.inputLow;

  out.shaper.assign(size_t(kShaperSize) * 4, 0.0f);
  for (int32_t j = 0; j < kShaperSize; ++j) {
    const float x = float(j) / float(kShaperSize - 1);
    for (int c = 0; c < 3; ++c) out.shaper[size_t(j) * 4 + c] = linear ? out.inputLow + span * x : x;
  }
  if (linear) linearToCodePixels(plate, out.shaper.data(), kShaperSize, kernels);
  for (int32_t j = 0; j < kShaperSize; ++j) {
    out.shaper[size_t(j)] = std::min(1.0f, std::max(0.0f, out.shaper[size_t(j) * 4]));
  }
  out.shaper.resize(kShaperSize);

  // The plate value of each table point, as an image of n x n^2 pixels in file order.
  out.size = n;
  const int64_t points = int64_t(n) * n * n;
  std::vector<float> inputs(size_t(points) * 4), rendered(size_t(points) * 4);
  for (int32_t b = 0; b < n; ++b)
    for (int32_t g = 0; g < n; ++g)
      for (int32_t r = 0; r < n; ++r) {
        float* p = &inputs[size_t((int64_t(b) * n + g) * n + r) * 4];
        const int32_t index[3] = {r, g, b};
        for (int c = 0; c < 3; ++c) {
          const float x = latticeCoordinate(index[c], n);
          p[c] = linear ? x : out.inputLow + span * x;
        }
        p[3] = 1.0f;
      }
  // Scene-linear light: the light each lattice point stands for.
  if (linear) codeToPlatePixels(plate, inputs.data(), points, kernels);
  const Rect bounds{0, 0, n, n * n};
  applyEncodedLUT(floatRGBA(reinterpret_cast<unsigned char*>(inputs.data()), n * 16, bounds),
                  floatRGBA(reinterpret_cast<unsigned char*>(rendered.data()), n * 16, bounds), bounds, &lut, nullptr,
                  mixes, plate, kernels);
  out.table.resize(size_t(points) * 3);
  for (int64_t i = 0; i < points; ++i)
    for (int c = 0; c < 3; ++c) out.table[size_t(i * 3 + c)] = rendered[size_t(i * 4 + c)];
}

void plateValueLattice(const LUT3D& lut, const PlateTransform& plate, KernelSet kernels, std::vector<float>& out) {
  const int32_t n = lut.size;
  const int64_t points = int64_t(n) * n * n;
  std::vector<float> inputs(size_t(points) * 4), rendered(size_t(points) * 4);
  for (int32_t r = 0; r < n; ++r)
    for (int32_t g = 0; g < n; ++g)
      for (int32_t b = 0; b < n; ++b) {
        float* p = &inputs[size_t((int64_t(r) * n + g) * n + b) * 4];
        lutIdentityValue(n, r, g, b, p);
        p[3] = 1.0f;
      }
  const Rect bounds{0, 0, n, n * n};
  applyEncodedLUT(floatRGBA(reinterpret_cast<unsigned char*>(inputs.data()), n * 16, bounds),
                  floatRGBA(reinterpret_cast<unsigned char*>(rendered.data()), n * 16, bounds), bounds, &lut, nullptr,
                  channelMixes(1.0, 1.0, 1.0, 1.0), plate, kernels);
  out.resize(size_t(points) * 3);
  for (int64_t i = 0; i < points; ++i)
    for (int c = 0; c < 3; ++c) out[size_t(i * 3 + c)] = rendered[size_t(i * 4 + c)];
}
