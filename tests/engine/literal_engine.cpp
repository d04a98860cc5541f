#include "literal_engine.h"

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
  for (int32_t r = 0; r < n; ++r) {
    for (int32_t gi = 0; gi < n; ++gi) {
      for (int32_t b = 0; b < n; ++b) {
        float in[3];
        rgbToLab8(float(r) / float(n - 1), float(gi) / float(n - 1), float(b) / float(n - 1), in);
        float moved[3];
        for (int c = 0; c < 3; ++c) moved[c] = clamp255(((in[c] - S.mean[c]) / S.stdDev[c]) * R.stdDev[c] + R.mean[c]);
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
