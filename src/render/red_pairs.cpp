#include "render/red_pairs.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <new>

bool prepareRedPairs(const LUT3D& lut, RedPairs& pairs, const ParallelFor* parallel) {
  pairs.size = 0;
  const int32_t n = lut.size;
  if (lut.data == nullptr || n < 2 || n > 1024 || redPairFloats(n) > INT32_MAX) return false;
  const int64_t floats = redPairFloats(n);
  if (pairs.capacity < floats) {
    pairs.data = nullptr;
    pairs.capacity = 0;
    pairs.storage.reset(new (std::nothrow) float[size_t(floats) + 16]);
    if (!pairs.storage) return false;
    pairs.capacity = floats;
    const uintptr_t at = reinterpret_cast<uintptr_t>(pairs.storage.get());
    pairs.data = pairs.storage.get() + ((64 - at % 64) % 64) / sizeof(float);
  }
  float* out = const_cast<float*>(pairs.data);
  const int64_t plane = int64_t(n) * n * 3;
  runTasks(parallel, n - 1, [&](int32_t r, int32_t) {
    {
      const float* low = lut.data + r * plane;
      float* dst = out + int64_t(r) * n * n * 8;
      for (int64_t p = 0; p < int64_t(n) * n; ++p, dst += 8) {
        std::memcpy(dst, low + p * 3, 12);
        std::memcpy(dst + 4, low + plane + p * 3, 12);
        dst[3] = 0.0f;
        dst[7] = 0.0f;
      }
    }
  });
  pairs.size = n;
  return true;
}
