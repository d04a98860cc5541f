#include "engine/portable_powf.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

// log2(x) = k + log2(c) + log2(1 + r), with x = 2^k z, z in [0x3f330000, 2 * 0x3f330000) as
// float bits, c near the centre of z's sixteenth of that range and r = z / c - 1.
struct Log2Entry {
  double invc, logc;
};

constexpr Log2Entry kLog2Table[16] = {
    {0x1.661ec79f8f3bep+0, -0x1.efec65b963019p-2}, {0x1.571ed4aaf883dp+0, -0x1.b0b6832d4fca4p-2},
    {0x1.49539f0f010bp+0, -0x1.7418b0a1fb77bp-2},  {0x1.3c995b0b80385p+0, -0x1.39de91a6dcf7bp-2},
    {0x1.30d190c8864a5p+0, -0x1.01d9bf3f2b631p-2}, {0x1.25e227b0b8eap+0, -0x1.97c1d1b3b7afp-3},
    {0x1.1bb4a4a1a343fp+0, -0x1.2f9e393af3c9fp-3}, {0x1.12358f08ae5bap+0, -0x1.960cbbf788d5cp-4},
    {0x1.0953f419900a7p+0, -0x1.a6f9db6475fcep-5}, {0x1p+0, 0x0p+0},
    {0x1.e608cfd9a47acp-1, 0x1.338ca9f24f53dp-4},  {0x1.ca4b31f026aap-1, 0x1.476a9543891bap-3},
    {0x1.b2036576afce6p-1, 0x1.e840b4ac4e4d2p-3},  {0x1.9c2d163a1aa2dp-1, 0x1.40645f0c6651cp-2},
    {0x1.886e6037841edp-1, 0x1.88e9c2c1b9ff8p-2},  {0x1.767dcf5534862p-1, 0x1.ce0a44eb17bccp-2},
};

// log2(1 + r) ~ r * (p4 + r * (p3 + r * (p2 + r * (p1 + r * p0)))), evaluated pipelined.
constexpr double kLog2Poly[5] = {0x1.27616c9496e0bp-2, -0x1.71969a075c67ap-2, 0x1.ec70a6ca7baddp-2,
                                 -0x1.7154748bef6c8p-1, 0x1.71547652ab82bp0};

// Bits of 2^(i/32), less i << 47, so that adding k << 47 gives 2^(k/32) for any integer k.
constexpr uint64_t kExp2Table[32] = {
    0x3ff0000000000000, 0x3fefd9b0d3158574, 0x3fefb5586cf9890f, 0x3fef9301d0125b51, 0x3fef72b83c7d517b,
    0x3fef54873168b9aa, 0x3fef387a6e756238, 0x3fef1e9df51fdee1, 0x3fef06fe0a31b715, 0x3feef1a7373aa9cb,
    0x3feedea64c123422, 0x3feece086061892d, 0x3feebfdad5362a27, 0x3feeb42b569d4f82, 0x3feeab07dd485429,
    0x3feea47eb03a5585, 0x3feea09e667f3bcd, 0x3fee9f75e8ec5f74, 0x3feea11473eb0187, 0x3feea589994cce13,
    0x3feeace5422aa0db, 0x3feeb737b0cdc5e5, 0x3feec49182a3f090, 0x3feed503b23e255d, 0x3feee89f995ad3ad,
    0x3feeff76f2fb5e47, 0x3fef199bdd85529c, 0x3fef3720dcef9069, 0x3fef5818dcfba487, 0x3fef7c97337b9b5f,
    0x3fefa4afa2a490da, 0x3fefd0765b6e4540,
};

// 2^r ~ c0 r^3 + c1 r^2 + c2 r + 1 for |r| <= 1/64.
constexpr double kExp2Poly[3] = {0x1.c6af84b912394p-5, 0x1.ebfce50fac4f3p-3, 0x1.62e42ff0c52d6p-1};
// Adding it rounds x to a multiple of 1/32 and leaves that multiple, times 32, in the low bits.
constexpr double kExp2Shift = 0x1.8p+52 / 32;

// The library is built with contraction allowed, so on a processor with fused multiply-adds
// (where it runs its FMA build) every product feeding a sum is fused; elsewhere none is.
template <bool Fused>
inline double mulAdd(double a, double b, double c) {
  if constexpr (Fused) {
    return __builtin_fma(a, b, c);
  } else {
    return a * b + c;
  }
}

// x positive and normal; false when |y log2 x| reaches 126, where the result may leave the range.
template <bool Fused>
inline bool powPositiveNormal(uint32_t ix, float y, float& out) {
  const uint32_t offset = ix - 0x3f330000u;
  const int i = int((offset >> 19) % 16);
  const uint32_t top = offset & 0xff800000u;
  const uint32_t iz = ix - top;
  const int k = int32_t(top) >> 23;
  float zf;
  std::memcpy(&zf, &iz, 4);
  const double z = zf;
  const double r = mulAdd<Fused>(z, kLog2Table[i].invc, -1.0);
  const double y0 = kLog2Table[i].logc + double(k);
  const double r2 = r * r;
  const double high = mulAdd<Fused>(kLog2Poly[0], r, kLog2Poly[1]);
  const double middle = mulAdd<Fused>(kLog2Poly[2], r, kLog2Poly[3]);
  const double r4 = r2 * r2;
  double low = mulAdd<Fused>(kLog2Poly[4], r, y0);
  low = mulAdd<Fused>(middle, r2, low);
  const double log2x = mulAdd<Fused>(high, r4, low);

  const double x = double(y) * log2x;
  uint64_t xbits;
  std::memcpy(&xbits, &x, 8);
  const double limit = 126.0;
  uint64_t limitBits;
  std::memcpy(&limitBits, &limit, 8);
  if ((xbits >> 47 & 0xffff) >= limitBits >> 47) return false;

  const double shifted = x + kExp2Shift;
  uint64_t ki;
  std::memcpy(&ki, &shifted, 8);
  const double kd = shifted - kExp2Shift;
  const double rest = x - kd;
  const uint64_t sbits = kExp2Table[ki % 32] + (ki << 47);
  double s;
  std::memcpy(&s, &sbits, 8);
  const double cubic = mulAdd<Fused>(kExp2Poly[0], rest, kExp2Poly[1]);
  const double rest2 = rest * rest;
  double p = mulAdd<Fused>(kExp2Poly[2], rest, 1.0);
  p = mulAdd<Fused>(cubic, rest2, p);
  out = float(p * s);
  return true;
}

__attribute__((target("fma"))) bool powFused(uint32_t ix, float y, float& out) {
  return powPositiveNormal<true>(ix, y, out);
}

bool powPlain(uint32_t ix, float y, float& out) { return powPositiveNormal<false>(ix, y, out); }

// The library picks its FMA build where fused multiply-adds and AVX2 are both usable.
bool useFused() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2");
}

}  // namespace

float portablePowf(float x, float y) {
  static const bool fused = useFused();
  uint32_t ix, iy;
  std::memcpy(&ix, &x, 4);
  std::memcpy(&iy, &y, 4);
  const bool xPositiveNormal = ix - 0x00800000u < 0x7f800000u - 0x00800000u;
  const bool yNonZeroFinite = 2 * iy - 1 < 2u * 0x7f800000u - 1;
  float out;
  if (xPositiveNormal && yNonZeroFinite && ix != 0x3f800000u && (fused ? powFused(ix, y, out) : powPlain(ix, y, out)))
    return out;
  return powf(x, y);
}
