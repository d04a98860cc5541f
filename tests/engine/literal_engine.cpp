#include "literal_engine.h"

#include <algorithm>
#include <cmath>

namespace literal {
namespace {

float f(float t) {
  if (t > 0.008856452f) return powf(t, 0.33333334f);
  return t / 0.12841856f + 0.13793103f;
}

float g(float t) {
  if (t > 0.20689656f) return t * t * t;
  return (t - 0.13793103f) * 0.12841856f;
}

float clamp01(float v) {
  if (v < 1.0f) return v > 0.0f ? v : 0.0f;
  return 1.0f;
}

float clamp255(float v) {
  if (v < 255.0f) return v > 0.0f ? v : 0.0f;
  return 255.0f;
}

int32_t step(int32_t w, int32_t h, double target) {
  const int64_t p = int64_t(w) * h;
  if (p <= 0) return 1;
  int32_t s = int32_t(std::sqrt(double(p) / target));
  return s < 1 ? 1 : s;
}

bool maskWeight(const MaskData* mask, int32_t w, int32_t h, int32_t x, int32_t y, float& weight) {
  weight = 1.0f;
  if (mask == nullptr || mask->pixels == nullptr) return true;
  int32_t mx = mask->width == w ? x : int32_t(int64_t(mask->width) * x / w);
  int32_t my = mask->height == h ? y : int32_t(int64_t(mask->height) * y / h);
  if (mx < 0 || my < 0 || mx >= mask->width || my >= mask->height) return false;
  const float* row = reinterpret_cast<const float*>(mask->pixels + int64_t(my) * mask->rowBytes);
  float v;
  if (mask->components == 4) {
    v = row[mx * 4 + 3];
  } else if (mask->components == 3) {
    v = row[mx * 3];
  } else {
    v = row[mx];
  }
  if (v >= 1.0f || std::isnan(v)) return true;
  if (v < 0.5f) return false;
  weight = v;
  return true;
}

// Non-finite colours take no part in the statistics.
bool finiteColour(const float* px) { return std::isfinite(px[0]) && std::isfinite(px[1]) && std::isfinite(px[2]); }

}  // namespace

void rgbToLab8(float r, float gr, float b, float lab[3]) {
  float X = (0.4124564f * r + 0.3575761f * gr + 0.1804375f * b) / 0.95047f;
  float Y = 0.2126729f * r + 0.7151522f * gr + 0.072175f * b;
  float Z = (0.0193339f * r + 0.119192f * gr + 0.9503041f * b) / 1.08883f;
  lab[0] = (116.0f * f(Y) - 16.0f) * 255.0f / 100.0f;
  lab[1] = 500.0f * (f(X) - f(Y)) + 128.0f;
  lab[2] = 200.0f * (f(Y) - f(Z)) + 128.0f;
}

void lab8ToRgb(const float lab[3], float rgb[3]) {
  float fy = (100.0f * lab[0] / 255.0f + 16.0f) / 116.0f;
  float fx = fy + (lab[1] - 128.0f) / 500.0f;
  float fz = fy - (lab[2] - 128.0f) / 200.0f;
  float X = g(fx) * 0.95047f;
  float Y = g(fy);
  float Z = g(fz) * 1.08883f;
  rgb[0] = clamp01(3.2404542f * X - 1.5371385f * Y - 0.4985314f * Z);
  rgb[1] = clamp01(-0.969266f * X + 1.8760108f * Y + 0.041556f * Z);
  rgb[2] = clamp01(0.0556434f * X - 0.2040259f * Y + 1.0572252f * Z);
}

void computeColorStats(const unsigned char* pixels, int32_t width, int32_t height, int32_t rowBytes, ColorStats& out,
                       const MaskData* mask) {
  for (int c = 0; c < 3; ++c) {
    out.mean[c] = 0.5f;
    out.stdDev[c] = 0.25f;
  }
  if (height <= 0 || width <= 0) return;
  const int32_t s = step(width, height, 10000.0);
  double W = 0.0, sum[3] = {0, 0, 0};
  for (int32_t y = 0; y < height; y += s) {
    for (int32_t x = 0; x < width; x += s) {
      float w;
      if (!maskWeight(mask, width, height, x, y, w)) continue;
      const float* px = reinterpret_cast<const float*>(pixels + int64_t(y) * rowBytes) + int64_t(x) * 4;
      if (!finiteColour(px)) continue;
      float lab[3];
      rgbToLab8(px[0], px[1], px[2], lab);
      W += w;
      for (int c = 0; c < 3; ++c) sum[c] += double(lab[c] * w);
    }
  }
  if (W < 0.000001) return;
  for (int c = 0; c < 3; ++c) out.mean[c] = float(sum[c] / W);
  double W2 = 0.0, sq[3] = {0, 0, 0};
  for (int32_t y = 0; y < height; y += s) {
    for (int32_t x = 0; x < width; x += s) {
      float w;
      if (!maskWeight(mask, width, height, x, y, w)) continue;
      const float* px = reinterpret_cast<const float*>(pixels + int64_t(y) * rowBytes) + int64_t(x) * 4;
      if (!finiteColour(px)) continue;
      float lab[3];
      rgbToLab8(px[0], px[1], px[2], lab);
      W2 += w;
      for (int c = 0; c < 3; ++c) {
        float d = lab[c] - out.mean[c];
        float d2 = d * d;
        sq[c] += double(d2 * w);
      }
    }
  }
  for (int c = 0; c < 3; ++c) {
    out.stdDev[c] = float(std::sqrt(sq[c] / W2));
    out.stdDev[c] = out.stdDev[c] + 0.000001f;
  }
}

void computeColorStatsFrames(const std::vector<MaskedImage>& frames, ColorStats& out) {
  struct Sample {
    float lab[3];
    float w;
  };
  std::vector<Sample> samples;
  for (const MaskedImage& frame : frames) {
    const ImageDesc& im = frame.image;
    if (im.pixels == nullptr || im.width <= 0 || im.height <= 0) continue;
    const int32_t s = step(im.width, im.height, 10000.0);
    for (int32_t y = 0; y < im.height; y += s) {
      for (int32_t x = 0; x < im.width; x += s) {
        Sample sample;
        if (!maskWeight(frame.mask, im.width, im.height, x, y, sample.w)) continue;
        const float* px = reinterpret_cast<const float*>(im.pixels + int64_t(y) * im.rowBytes) + int64_t(x) * 4;
        if (!finiteColour(px)) continue;
        rgbToLab8(px[0], px[1], px[2], sample.lab);
        samples.push_back(sample);
      }
    }
  }
  for (int c = 0; c < 3; ++c) {
    out.mean[c] = 0.5f;
    out.stdDev[c] = 0.25f;
  }
  double W = 0.0, sum[3] = {0, 0, 0};
  for (const Sample& p : samples) {
    W += p.w;
    for (int c = 0; c < 3; ++c) sum[c] += double(p.lab[c] * p.w);
  }
  if (W < 0.000001) return;
  for (int c = 0; c < 3; ++c) out.mean[c] = float(sum[c] / W);
  double sq[3] = {0, 0, 0};
  for (const Sample& p : samples)
    for (int c = 0; c < 3; ++c) {
      float d = p.lab[c] - out.mean[c];
      float d2 = d * d;
      sq[c] += double(d2 * p.w);
    }
  for (int c = 0; c < 3; ++c) {
    out.stdDev[c] = float(std::sqrt(sq[c] / W));
    out.stdDev[c] = out.stdDev[c] + 0.000001f;
  }
}

void transferLattice(const ColorStats& S, const ColorStats& R, int32_t n, int32_t mode, std::vector<float>& lattice) {
  lattice.assign(size_t(n) * n * n * 3, 0.0f);
  // Each component stretched at most 1 + (Source deviation / kStretchDeviation)^2 times; a summary
  // with a NaN or an infinity as it stands.
  float sourceDev[3];
  for (int c = 0; c < 3; ++c) {
    // Compared as a product, not a ratio, so that summaries no picture gives (a deviation of 0 or
    // below, as the fuzzer makes them) take the same branch.
    const float most = 1.0f + std::pow(S.stdDev[c] / kStretchDeviation, 2.0f);
    const bool limited = R.stdDev[c] > most * S.stdDev[c] && std::isfinite(R.stdDev[c]);
    sourceDev[c] = limited ? R.stdDev[c] / most : S.stdDev[c];
  }
  for (int32_t r = 0; r < n; ++r) {
    for (int32_t gi = 0; gi < n; ++gi) {
      for (int32_t b = 0; b < n; ++b) {
        float in[3];
        rgbToLab8(float(r) / float(n - 1), float(gi) / float(n - 1), float(b) / float(n - 1), in);
        float moved[3];
        for (int c = 0; c < 3; ++c) moved[c] = clamp255(((in[c] - S.mean[c]) / sourceDev[c]) * R.stdDev[c] + R.mean[c]);
        float out[3];
        lab8ToRgb(moved, out);
        if (mode == 1 || mode == 2) {
          float m[3];
          rgbToLab8(out[0], out[1], out[2], m);
          const float mixed[3] = {mode == 1 ? in[0] : m[0], mode == 1 ? m[1] : in[1], mode == 1 ? m[2] : in[2]};
          lab8ToRgb(mixed, out);
        }
        float* dst = &lattice[((size_t(r) * n + gi) * n + b) * 3];
        dst[0] = out[0];
        dst[1] = out[1];
        dst[2] = out[2];
      }
    }
  }
}

void smoothShell(std::vector<float>& lattice, int32_t n) {
  const std::vector<float> copy = lattice;
  for (int32_t r = 5; r <= n - 6; ++r) {
    for (int32_t gi = 5; gi <= n - 6; ++gi) {
      for (int32_t b = 5; b <= n - 6; ++b) {
        for (int c = 0; c < 3; ++c) {
          float sum = 0.0f;
          for (int dr = -5; dr <= 5; ++dr)
            for (int dg = -5; dg <= 5; ++dg)
              for (int db = -5; db <= 5; ++db) sum += copy[((size_t(r + dr) * n + gi + dg) * n + b + db) * 3 + c];
          lattice[((size_t(r) * n + gi) * n + b) * 3 + c] = sum / 1331.0f;
        }
      }
    }
  }
}

void buildDifferentClips(const ColorStats& source, const ColorStats& reference, int32_t n, int32_t mode,
                         std::vector<float>& lattice) {
  transferLattice(source, reference, n, mode, lattice);
  smoothShell(lattice, n);
}

void binLattice(const unsigned char* src, int32_t sw, int32_t sh, int32_t srb, const unsigned char* ref, int32_t rw,
                int32_t rh, int32_t rrb, int32_t n, int32_t mode, std::vector<float>& lattice) {
  binLatticeFrames({FramePair{{src, sw, sh, srb}, {ref, rw, rh, rrb}}}, n, mode, lattice);
}

void binLatticeFrames(const std::vector<FramePair>& frames, int32_t n, int32_t mode, std::vector<float>& lattice) {
  const size_t cells = size_t(n) * n * n;
  std::vector<float> sr(cells, 0.0f), sg(cells, 0.0f), sb(cells, 0.0f);
  std::vector<int32_t> count(cells, 0);
  for (const FramePair& frame : frames) {
    const ImageDesc& S = frame.source;
    const ImageDesc& R = frame.reference;
    if (S.pixels == nullptr || R.pixels == nullptr) continue;
    const int32_t s = step(S.width, S.height, 50000.0);
    const int32_t W = S.width < R.width ? S.width : R.width;
    const int32_t H = S.height < R.height ? S.height : R.height;
    for (int32_t y = 0; y < H; y += s) {
      for (int32_t x = 0; x < W; x += s) {
        const float* ps = reinterpret_cast<const float*>(S.pixels + int64_t(y) * S.rowBytes) + int64_t(x) * 4;
        const float* pr = reinterpret_cast<const float*>(R.pixels + int64_t(y) * R.rowBytes) + int64_t(x) * 4;
        float cs[3], cr[3];
        for (int c = 0; c < 3; ++c) {
          cs[c] = clamp01(ps[c]);
          cr[c] = clamp01(pr[c]);
        }
        float t[3] = {cr[0], cr[1], cr[2]};
        if (mode == 1 || mode == 2) {
          float ls[3], lr[3];
          rgbToLab8(cs[0], cs[1], cs[2], ls);
          rgbToLab8(cr[0], cr[1], cr[2], lr);
          const float mixed[3] = {mode == 1 ? ls[0] : lr[0], mode == 1 ? lr[1] : ls[1], mode == 1 ? lr[2] : ls[2]};
          lab8ToRgb(mixed, t);
        }
        int32_t idx[3];
        for (int c = 0; c < 3; ++c) {
          idx[c] = int32_t(cs[c] * float(n - 1) + 0.5f);
          if (idx[c] > n - 1) idx[c] = n - 1;
          if (idx[c] < 0) idx[c] = 0;
        }
        const size_t cell = (size_t(idx[0]) * n + idx[1]) * n + idx[2];
        count[cell] += 1;
        sr[cell] += t[0];
        sg[cell] += t[1];
        sb[cell] += t[2];
      }
    }
  }
  lattice.assign(cells * 3, 0.0f);
  for (int32_t r = 0; r < n; ++r) {
    for (int32_t gi = 0; gi < n; ++gi) {
      for (int32_t b = 0; b < n; ++b) {
        const size_t cell = (size_t(r) * n + gi) * n + b;
        float* dst = &lattice[cell * 3];
        if (count[cell] >= 1) {
          dst[0] = sr[cell] / float(count[cell]);
          dst[1] = sg[cell] / float(count[cell]);
          dst[2] = sb[cell] / float(count[cell]);
        } else {
          dst[0] = float(r) / float(n - 1);
          dst[1] = float(gi) / float(n - 1);
          dst[2] = float(b) / float(n - 1);
        }
      }
    }
  }
}

void smoothClipped(std::vector<float>& lattice, int32_t n, float smoothingRadius) {
  if (!(smoothingRadius > 0.0f)) return;
  int32_t rad = smoothingRadius >= float(n) ? n : int32_t(smoothingRadius);
  if (rad < 1) rad = 1;
  const std::vector<float> copy = lattice;
  for (int32_t r = 0; r < n; ++r) {
    for (int32_t gi = 0; gi < n; ++gi) {
      for (int32_t b = 0; b < n; ++b) {
        for (int c = 0; c < 3; ++c) {
          float sum = 0.0f;
          int32_t count = 0;
          for (int32_t dr = -rad; dr <= rad; ++dr) {
            if (r + dr < 0 || r + dr > n - 1) continue;
            for (int32_t dg = -rad; dg <= rad; ++dg) {
              if (gi + dg < 0 || gi + dg > n - 1) continue;
              for (int32_t db = -rad; db <= rad; ++db) {
                if (b + db < 0 || b + db > n - 1) continue;
                sum += copy[((size_t(r + dr) * n + gi + dg) * n + b + db) * 3 + c];
                ++count;
              }
            }
          }
          lattice[((size_t(r) * n + gi) * n + b) * 3 + c] = sum / float(count);
        }
      }
    }
  }
}

void buildSameClip(const unsigned char* src, int32_t sw, int32_t sh, int32_t srb, const unsigned char* ref, int32_t rw,
                   int32_t rh, int32_t rrb, int32_t n, float smoothingRadius, int32_t mode,
                   std::vector<float>& lattice) {
  binLattice(src, sw, sh, srb, ref, rw, rh, rrb, n, mode, lattice);
  smoothClipped(lattice, n, smoothingRadius);
}

}  // namespace literal

namespace literal {
namespace {

struct Pair {
  float s[3];
  float y[3];  // target minus source
};

std::vector<Pair> samplePairs(const FramePair* frames, int32_t frameCount, int32_t mode) {
  std::vector<Pair> pairs;
  for (int32_t f = 0; f < frameCount; ++f) {
    const ImageDesc& src = frames[f].source;
    const ImageDesc& ref = frames[f].reference;
    if (src.pixels == nullptr || ref.pixels == nullptr) continue;
    const int32_t s = step(src.width, src.height, 50000.0);
    const int32_t W = src.width < ref.width ? src.width : ref.width;
    const int32_t H = src.height < ref.height ? src.height : ref.height;
    for (int32_t y = 0; y < H; y += s) {
      for (int32_t x = 0; x < W; x += s) {
        const float* ps = reinterpret_cast<const float*>(src.pixels + int64_t(y) * src.rowBytes) + int64_t(x) * 4;
        const float* pr = reinterpret_cast<const float*>(ref.pixels + int64_t(y) * ref.rowBytes) + int64_t(x) * 4;
        float cs[3], cr[3];
        for (int c = 0; c < 3; ++c) {
          cs[c] = clamp01(ps[c]);
          cr[c] = clamp01(pr[c]);
        }
        float t[3] = {cr[0], cr[1], cr[2]};
        if (mode == 1 || mode == 2) {
          float ls[3], lr[3];
          rgbToLab8(cs[0], cs[1], cs[2], ls);
          rgbToLab8(cr[0], cr[1], cr[2], lr);
          const float mixed[3] = {mode == 1 ? ls[0] : lr[0], mode == 1 ? lr[1] : ls[1], mode == 1 ? lr[2] : ls[2]};
          lab8ToRgb(mixed, t);
        }
        pairs.push_back({{cs[0], cs[1], cs[2]}, {t[0] - cs[0], t[1] - cs[1], t[2] - cs[2]}});
      }
    }
  }
  return pairs;
}

// A pair's cell (its first lattice point) and trilinear weights on an n^3 lattice.
void weightsOf(const Pair& p, int32_t n, size_t corner[8], float w[8]) {
  int32_t i[3];
  float f[3];
  for (int a = 0; a < 3; ++a) {
    const float x = p.s[a] * float(n - 1);
    i[a] = int32_t(x);
    if (i[a] > n - 2) i[a] = n - 2;
    if (i[a] < 0) i[a] = 0;
    f[a] = x - float(i[a]);
  }
  for (int k = 0; k < 8; ++k) {
    const int dr = (k >> 2) & 1, dg = (k >> 1) & 1, db = k & 1;
    corner[k] = (size_t(i[0] + dr) * n + size_t(i[1] + dg)) * n + size_t(i[2] + db);
    w[k] = (dr ? f[0] : 1.0f - f[0]) * (dg ? f[1] : 1.0f - f[1]) * (db ? f[2] : 1.0f - f[2]);
  }
}

bool inside(int32_t i, int32_t n) { return i > 0 && i < n - 1; }

// The masked Laplacian: second differences along the axes on which the point has both neighbours.
void laplacian(const std::vector<float>& x, int32_t n, std::vector<float>& out) {
  out.assign(x.size(), 0.0f);
  for (int32_t r = 0; r < n; ++r)
    for (int32_t gi = 0; gi < n; ++gi)
      for (int32_t b = 0; b < n; ++b) {
        const int32_t idx[3] = {r, gi, b};
        const size_t j = (size_t(r) * n + gi) * n + b;
        const size_t e[3] = {size_t(n) * n, size_t(n), 1};
        double sum = 0.0;
        for (int a = 0; a < 3; ++a)
          if (inside(idx[a], n)) sum += double(x[j - e[a]]) - 2.0 * x[j] + x[j + e[a]];
        out[j] = float(sum);
      }
}

void laplacianTransposed(const std::vector<float>& g, int32_t n, std::vector<float>& out) {
  out.assign(g.size(), 0.0f);
  for (int32_t r = 0; r < n; ++r)
    for (int32_t gi = 0; gi < n; ++gi)
      for (int32_t b = 0; b < n; ++b) {
        const int32_t idx[3] = {r, gi, b};
        const size_t j = (size_t(r) * n + gi) * n + b;
        const size_t e[3] = {size_t(n) * n, size_t(n), 1};
        for (int a = 0; a < 3; ++a) {
          if (!inside(idx[a], n)) continue;
          out[j - e[a]] += g[j];
          out[j] -= 2.0f * g[j];
          out[j + e[a]] += g[j];
        }
      }
}

struct System {
  int32_t n;
  const std::vector<Pair>& pairs;
  float lambda;
  std::vector<float> eps;

  void apply(const std::vector<float> in[3], std::vector<float> out[3]) const {
    const float mean = 1.0f / float(pairs.size());
    for (int c = 0; c < 3; ++c) {
      std::vector<float> g, prior;
      laplacian(in[c], n, g);
      laplacianTransposed(g, n, prior);
      out[c].resize(in[c].size());
      for (size_t j = 0; j < in[c].size(); ++j) out[c][j] = lambda * prior[j] + eps[j] * in[c][j];
      for (const Pair& p : pairs) {
        size_t corner[8];
        float w[8];
        weightsOf(p, n, corner, w);
        float value = 0.0f;
        for (int k = 0; k < 8; ++k) value += w[k] * in[c][corner[k]];
        for (int k = 0; k < 8; ++k) out[c][corner[k]] += mean * w[k] * value;
      }
    }
  }

  std::vector<float> diagonal() const {
    std::vector<float> d(eps.size());
    for (int32_t r = 0; r < n; ++r)
      for (int32_t gi = 0; gi < n; ++gi)
        for (int32_t b = 0; b < n; ++b) {
          const int32_t idx[3] = {r, gi, b};
          int32_t k = 0, neighbours = 0;
          for (int a = 0; a < 3; ++a) {
            k += inside(idx[a], n);
            neighbours += inside(idx[a] - 1, n) + inside(idx[a] + 1, n);
          }
          const size_t j = (size_t(r) * n + gi) * n + b;
          d[j] = lambda * float(4 * k * k + neighbours) + eps[j];
        }
    const float mean = 1.0f / float(pairs.size());
    for (const Pair& p : pairs) {
      size_t corner[8];
      float w[8];
      weightsOf(p, n, corner, w);
      for (int k = 0; k < 8; ++k) d[corner[k]] += mean * w[k] * w[k];
    }
    return d;
  }
};

double dot(const std::vector<float>& a, const std::vector<float>& b) {
  double s = 0.0;
  for (size_t i = 0; i < a.size(); ++i) s += double(a[i]) * b[i];
  return s;
}

// Trilinear interpolation of an m^3 lattice at the points of a (2 m - 1)^3 one.
std::vector<float> prolong(const std::vector<float>& coarse, int32_t m) {
  const int32_t n = 2 * m - 1;
  std::vector<float> fine(size_t(n) * n * n);
  for (int32_t r = 0; r < n; ++r)
    for (int32_t gi = 0; gi < n; ++gi)
      for (int32_t b = 0; b < n; ++b) {
        double sum = 0.0;
        const int32_t idx[3] = {r, gi, b};
        for (int k = 0; k < 8; ++k) {
          double w = 1.0;
          int32_t c[3];
          for (int a = 0; a < 3; ++a) {
            const int bit = (k >> (2 - a)) & 1;
            if (idx[a] % 2 == 0) {
              w *= bit ? 0.0 : 1.0;
              c[a] = idx[a] / 2;
            } else {
              w *= 0.5;
              c[a] = idx[a] / 2 + bit;
            }
          }
          if (w != 0.0) sum += w * coarse[(size_t(c[0]) * m + c[1]) * m + c[2]];
        }
        fine[(size_t(r) * n + gi) * n + b] = float(sum);
      }
  return fine;
}

}  // namespace

void fitLattice(const FramePair* frames, int32_t frameCount, int32_t n, int32_t mode, std::vector<float>& lattice,
                const engine::FitSettings& settings) {
  const std::vector<Pair> pairs = samplePairs(frames, frameCount, mode);
  std::vector<int32_t> sizes{n};
  while ((sizes.front() - 1) % 2 == 0 && (sizes.front() - 1) / 2 + 1 >= std::max(settings.coarsest, 2))
    sizes.insert(sizes.begin(), (sizes.front() - 1) / 2 + 1);

  // Chebyshev distance to the occupied points of the distance level, by breadth-first search.
  int32_t dn = sizes.front();
  for (int32_t s : sizes)
    if (s <= settings.distanceLevel) dn = s;
  std::vector<float> occupancy(size_t(dn) * dn * dn, 0.0f);
  for (const Pair& p : pairs) {
    size_t corner[8];
    float w[8];
    weightsOf(p, dn, corner, w);
    for (int k = 0; k < 8; ++k) occupancy[corner[k]] += w[k] * w[k];
  }
  std::vector<int32_t> dist(occupancy.size(), -1);
  std::vector<size_t> frontier;
  for (size_t j = 0; j < occupancy.size(); ++j)
    if (occupancy[j] >= settings.occupied) {
      dist[j] = 0;
      frontier.push_back(j);
    }
  while (!frontier.empty()) {
    std::vector<size_t> next;
    for (size_t j : frontier) {
      const int32_t r = int32_t(j / (size_t(dn) * dn)), gi = int32_t(j / dn % dn), b = int32_t(j % dn);
      for (int32_t dr = -1; dr <= 1; ++dr)
        for (int32_t dg = -1; dg <= 1; ++dg)
          for (int32_t db = -1; db <= 1; ++db) {
            const int32_t R = r + dr, G = gi + dg, B = b + db;
            if (R < 0 || G < 0 || B < 0 || R >= dn || G >= dn || B >= dn) continue;
            const size_t q = (size_t(R) * dn + G) * dn + B;
            if (dist[q] >= 0) continue;
            dist[q] = dist[j] + 1;
            next.push_back(q);
          }
    }
    frontier.swap(next);
  }

  std::vector<float> x[3], share;
  for (size_t level = 0; level < sizes.size(); ++level) {
    const int32_t m = sizes[level];
    const size_t points = size_t(m) * m * m;
    const float spacing = 1.0f / float(m - 1);
    System system{m, pairs, settings.lambda / spacing, std::vector<float>(points)};
    // The pull applies where the distance level's distance exceeds the reach.
    std::vector<float> levelShare(points);
    if (m <= dn) {
      const int32_t s = (dn - 1) / (m - 1);
      for (int32_t r = 0; r < m; ++r)
        for (int32_t gi = 0; gi < m; ++gi)
          for (int32_t b = 0; b < m; ++b) {
            const int32_t d = dist[(size_t(r * s) * dn + gi * s) * dn + b * s];
            const bool far = d < 0 || float(d) / float(dn - 1) > settings.reach;
            levelShare[(size_t(r) * m + gi) * m + b] = far ? 1.0f : 0.0f;
          }
    } else {
      levelShare = prolong(share, sizes[level - 1]);
    }
    share = levelShare;
    for (size_t j = 0; j < points; ++j) system.eps[j] = settings.falloff * spacing * spacing * spacing * share[j];

    std::vector<float> b[3];
    for (int c = 0; c < 3; ++c) {
      x[c] = level == 0 ? std::vector<float>(points, 0.0f) : prolong(x[c], sizes[level - 1]);
      b[c].assign(points, 0.0f);
      for (const Pair& p : pairs) {
        size_t corner[8];
        float w[8];
        weightsOf(p, m, corner, w);
        for (int k = 0; k < 8; ++k) b[c][corner[k]] += w[k] * p.y[c] / float(pairs.size());
      }
    }
    const std::vector<float> d = system.diagonal();
    const int32_t fromFinest = int32_t(sizes.size() - 1 - level);
    const int32_t iterations = settings.iterations[fromFinest < 6 ? fromFinest : 5];

    // Preconditioned conjugate gradients, channel by channel.
    std::vector<float> q[3], r[3], z[3], p[3];
    system.apply(x, q);
    double rz[3], first[3];
    for (int c = 0; c < 3; ++c) {
      r[c].resize(points);
      z[c].resize(points);
      for (size_t j = 0; j < points; ++j) {
        r[c][j] = b[c][j] - q[c][j];
        z[c][j] = d[j] > 0.0f ? r[c][j] / d[j] : 0.0f;
      }
      p[c] = z[c];
      rz[c] = first[c] = dot(r[c], z[c]);
    }
    for (int32_t it = 0; it < iterations; ++it) {
      system.apply(p, q);
      for (int c = 0; c < 3; ++c) {
        if (!(rz[c] > first[c] * 1e-10)) continue;
        const double pq = dot(p[c], q[c]);
        if (!(pq > 0.0)) {
          rz[c] = 0.0;
          continue;
        }
        const double alpha = rz[c] / pq;
        for (size_t j = 0; j < points; ++j) {
          x[c][j] += float(alpha) * p[c][j];
          r[c][j] -= float(alpha) * q[c][j];
          z[c][j] = d[j] > 0.0f ? r[c][j] / d[j] : 0.0f;
        }
        const double next = dot(r[c], z[c]);
        for (size_t j = 0; j < points; ++j) p[c][j] = z[c][j] + float(next / rz[c]) * p[c][j];
        rz[c] = next;
      }
    }
  }

  lattice.assign(size_t(n) * n * n * 3, 0.0f);
  for (int32_t r = 0; r < n; ++r)
    for (int32_t gi = 0; gi < n; ++gi)
      for (int32_t b = 0; b < n; ++b) {
        const size_t j = (size_t(r) * n + gi) * n + b;
        const int32_t idx[3] = {r, gi, b};
        for (int c = 0; c < 3; ++c) lattice[j * 3 + c] = clamp01(float(idx[c]) / float(n - 1) + x[c][j]);
      }
}

}  // namespace literal
