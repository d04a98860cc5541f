// Where the Reference's picture lies in the Source's. On small pictures (about 64 pixels across)
// every scale of a geometric ladder and every translation is scored at once by masked normalised
// cross-correlation of lightness ranks, computed with FFTs: the Source's spectra once for all
// scales, the Reference resampled to each. The best distinct peaks are then refined down the
// pyramid by local search to a fraction of a working pixel, and the best framing must beat every
// other one by a margin: a textureless or repetitive scene fits several framings almost equally
// well, and one of them chosen at random would be worse than no registration at all.
#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>

#include "engine/content_fft.h"
#include "engine/matching_content.h"

namespace engine {

namespace {

// A picture on a grid of boxes: the weights m and, for the correlations, m (rank - 1/2) and
// m (rank - 1/2)^2.
struct BoxGrid {
  int32_t w = 0, h = 0;
  std::vector<float> m, mv, mvv;
};

// Boxes of `cell` working pixels of `im`, w x h of them from its corner.
BoxGrid boxGrid(const ContentImage& im, double cell, int32_t w, int32_t h) {
  BoxGrid g;
  g.w = w;
  g.h = h;
  const ContentLevel& base = im.levels[0];
  const size_t count = size_t(w) * size_t(h);
  g.m.assign(count, 0.0f);
  g.mv.assign(count, 0.0f);
  g.mvv.assign(count, 0.0f);
  auto bound = [](double v, int32_t limit) {
    return int32_t(std::min<double>(limit, std::max(0.0, std::floor(v + 0.5))));
  };
  const int32_t stride = base.width + 1;
  for (int32_t j = 0; j < h; ++j) {
    const int32_t y0 = bound(j * cell, base.height), y1 = std::max(y0 + 1, bound((j + 1) * cell, base.height));
    if (y0 >= base.height) continue;
    for (int32_t i = 0; i < w; ++i) {
      const int32_t x0 = bound(i * cell, base.width), x1 = std::max(x0 + 1, bound((i + 1) * cell, base.width));
      if (x0 >= base.width) continue;
      auto area = [&](const std::vector<double>& s) {
        return s[size_t(y1) * stride + x1] - s[size_t(y0) * stride + x1] - s[size_t(y1) * stride + x0] +
               s[size_t(y0) * stride + x0];
      };
      const double sw = area(im.sumW);
      if (!(sw > 0.0)) continue;
      const float weight = float(sw / double((x1 - x0) * (y1 - y0)));
      const float v = float(area(im.sumRank) / sw) - 0.5f;
      const size_t o = size_t(j) * size_t(w) + size_t(i);
      g.m[o] = weight;
      g.mv[o] = weight * v;
      g.mvv[o] = weight * v * v;
    }
  }
  return g;
}

// The spectra of two real grids packed in one transform, placed at the corner of nx x ny.
void spectraOf(const std::vector<float>& a, const std::vector<float>* b, int32_t w, int32_t h, const FftPlan& px,
               const FftPlan& py, std::vector<Complex>& sa, std::vector<Complex>* sb, std::vector<Complex>& scratch) {
  const int32_t nx = px.n, ny = py.n;
  std::vector<Complex> z(size_t(nx) * size_t(ny), Complex{0.0f, 0.0f});
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const size_t i = size_t(y) * size_t(w) + size_t(x);
      z[size_t(y) * nx + x] = {a[i], b ? (*b)[i] : 0.0f};
    }
  fft2d(z.data(), px, py, false, scratch.data());
  if (!b) {
    sa.swap(z);
    return;
  }
  sa.resize(z.size());
  sb->resize(z.size());
  // A(k) = (Z(k) + conj Z(-k)) / 2, B(k) = (Z(k) - conj Z(-k)) / 2i.
  for (int32_t y = 0; y < ny; ++y)
    for (int32_t x = 0; x < nx; ++x) {
      const Complex p = z[size_t(y) * nx + x];
      const Complex q = z[size_t((ny - y) % ny) * nx + size_t((nx - x) % nx)];
      sa[size_t(y) * nx + x] = {0.5f * (p.re + q.re), 0.5f * (p.im - q.im)};
      (*sb)[size_t(y) * nx + x] = {0.5f * (p.im + q.im), 0.5f * (q.re - p.re)};
    }
}

// u conj(v)
inline Complex timesConj(Complex u, Complex v) { return {u.re * v.re + u.im * v.im, u.im * v.re - u.re * v.im}; }

struct SourceSpectra {
  int32_t nx = 0, ny = 0;
  FftPlan px, py;
  std::vector<Complex> m, mv, mvv;
};

struct Peak {
  float score;
  int32_t scale, dx, dy;
};

// One scale's correlation map over every placement that leaves enough overlap.
struct ScaleMap {
  float scale = 1.0f;
  int32_t w = 0, h = 0;  // the Reference's grid at this scale
  int32_t x0 = 0, y0 = 0, mw = 0, mh = 0;
  std::vector<float> ncc;  // mw x mh, placement (x0 + i, y0 + j); -2 where not scored
};

void scoreScale(const SourceSpectra& s, const BoxGrid& sourceGrid, const BoxGrid& t, float minOverlapWeight,
                ScaleMap& map) {
  const int32_t nx = s.nx, ny = s.ny;
  std::vector<Complex> scratch(size_t(std::max(nx, ny)));
  std::vector<Complex> gm, gmv, gmvv;
  spectraOf(t.m, &t.mv, t.w, t.h, s.px, s.py, gm, &gmv, scratch);
  spectraOf(t.mvv, nullptr, t.w, t.h, s.px, s.py, gmvv, nullptr, scratch);
  // Six correlations in three inverse transforms, two real results in each.
  const size_t points = size_t(nx) * size_t(ny);
  std::vector<Complex> z[3];
  for (auto& v : z) v.resize(points);
  for (size_t k = 0; k < points; ++k) {
    const Complex n = timesConj(s.m[k], gm[k]), si = timesConj(s.mv[k], gm[k]);
    const Complex sii = timesConj(s.mvv[k], gm[k]), st = timesConj(s.m[k], gmv[k]);
    const Complex stt = timesConj(s.m[k], gmvv[k]), sit = timesConj(s.mv[k], gmv[k]);
    z[0][k] = {n.re - si.im, n.im + si.re};
    z[1][k] = {sii.re - st.im, sii.im + st.re};
    z[2][k] = {stt.re - sit.im, stt.im + sit.re};
  }
  for (auto& v : z) fft2d(v.data(), s.px, s.py, true, scratch.data());
  const float norm = 1.0f / float(points);
  map.x0 = -(t.w - 1);
  map.y0 = -(t.h - 1);
  map.mw = sourceGrid.w + t.w - 1;
  map.mh = sourceGrid.h + t.h - 1;
  map.ncc.assign(size_t(map.mw) * size_t(map.mh), -2.0f);
  for (int32_t j = 0; j < map.mh; ++j)
    for (int32_t i = 0; i < map.mw; ++i) {
      const int32_t dx = map.x0 + i, dy = map.y0 + j;
      const size_t k = size_t((dy + ny) % ny) * nx + size_t((dx + nx) % nx);
      const float n = z[0][k].re * norm;
      if (!(n >= minOverlapWeight)) continue;
      const float si = z[0][k].im * norm, sii = z[1][k].re * norm, st = z[1][k].im * norm;
      const float stt = z[2][k].re * norm, sit = z[2][k].im * norm;
      const float vi = sii - si * si / n, vt = stt - st * st / n;
      // Too flat to correlate (or rounding below zero).
      if (!(vi > 1e-3f * n) || !(vt > 1e-3f * n)) continue;
      map.ncc[size_t(j) * map.mw + i] = (sit - si * st / n) / std::sqrt(vi * vt);
    }
}

// --- Refinement ------------------------------------------------------------------------------

struct Scored {
  Registration g;
  float score = -1.0f;
};

// The overlap of the Source's frame with the Reference's frame mapped into it, in full pixels.
struct Overlap {
  float x0, y0, x1, y1;
  float share;  // of the smaller frame
};

Overlap overlapOf(const ContentImage& s, const ContentImage& r, const Registration& g) {
  Overlap o;
  o.x0 = std::max(0.0f, g.tx);
  o.y0 = std::max(0.0f, g.ty);
  o.x1 = std::min(float(s.fullWidth), g.tx + g.scale * float(r.fullWidth));
  o.y1 = std::min(float(s.fullHeight), g.ty + g.scale * float(r.fullHeight));
  const float area = std::max(0.0f, o.x1 - o.x0) * std::max(0.0f, o.y1 - o.y0);
  const float sourceArea = float(s.fullWidth) * float(s.fullHeight);
  const float referenceArea = g.scale * g.scale * float(r.fullWidth) * float(r.fullHeight);
  o.share = area / std::min(sourceArea, referenceArea);
  return o;
}

// Bilinear rank and weight of level `l` at continuous pixel position (u, v) (centres at i + 0.5);
// false outside the level.
bool sampleLevel(const ContentLevel& l, float u, float v, float& rank, float& weight) {
  const float fu = u - 0.5f, fv = v - 0.5f;
  if (!(fu >= 0.0f) || !(fv >= 0.0f)) return false;
  const int32_t i = int32_t(fu), j = int32_t(fv);
  if (i + 1 >= l.width || j + 1 >= l.height) return false;
  const float a = fu - float(i), b = fv - float(j);
  const size_t p = size_t(j) * size_t(l.width) + size_t(i);
  const float w00 = (1.0f - a) * (1.0f - b) * l.weight[p], w10 = a * (1.0f - b) * l.weight[p + 1];
  const float w01 = (1.0f - a) * b * l.weight[p + size_t(l.width)], w11 = a * b * l.weight[p + size_t(l.width) + 1];
  weight = (w00 + w10) + (w01 + w11);
  if (!(weight > 0.0f)) return false;
  rank = ((w00 * l.rank[p] + w10 * l.rank[p + 1]) +
          (w01 * l.rank[p + size_t(l.width)] + w11 * l.rank[p + size_t(l.width) + 1])) /
         weight;
  return true;
}

constexpr int64_t kRefineSamples = 4096;

// Weighted correlation of the Source's ranks at `level` with the Reference's mapped onto them,
// over at most kRefineSamples of the overlap; -1 when the overlap is too small or flat.
float correlationAt(const ContentImage& s, const ContentImage& r, const Registration& g, int32_t level,
                    float minOverlap) {
  const Overlap o = overlapOf(s, r, g);
  if (!(o.share >= minOverlap)) return -1.0f;
  const ContentLevel& sl = s.levels[size_t(level)];
  // The Reference level whose pixels come closest to the Source level's in size.
  size_t rl = 0;
  float bestGap = 1e30f;
  for (size_t k = 0; k < r.levels.size(); ++k) {
    const float gap = std::fabs(std::log2(r.levels[k].factor * g.scale / sl.factor));
    if (gap < bestGap) {
      bestGap = gap;
      rl = k;
    }
  }
  const ContentLevel& ref = r.levels[rl];
  const int32_t i0 = std::max(0, int32_t(std::ceil(o.x0 / sl.factor - 0.5f)));
  const int32_t i1 = std::min(sl.width - 1, int32_t(std::floor(o.x1 / sl.factor - 0.5f)));
  const int32_t j0 = std::max(0, int32_t(std::ceil(o.y0 / sl.factor - 0.5f)));
  const int32_t j1 = std::min(sl.height - 1, int32_t(std::floor(o.y1 / sl.factor - 0.5f)));
  if (i1 < i0 || j1 < j0) return -1.0f;
  const int64_t cells = int64_t(i1 - i0 + 1) * (j1 - j0 + 1);
  const int32_t stride = std::max<int32_t>(1, int32_t(std::ceil(std::sqrt(double(cells) / kRefineSamples))));
  const float inv = 1.0f / (g.scale * ref.factor);
  double sw = 0, sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
  for (int32_t j = j0; j <= j1; j += stride) {
    const float v = ((float(j) + 0.5f) * sl.factor - g.ty) * inv;
    for (int32_t i = i0; i <= i1; i += stride) {
      const size_t p = size_t(j) * size_t(sl.width) + size_t(i);
      const float ws = sl.weight[p];
      if (!(ws >= 0.5f)) continue;
      const float u = ((float(i) + 0.5f) * sl.factor - g.tx) * inv;
      float b, wr;
      if (!sampleLevel(ref, u, v, b, wr) || !(wr >= 0.5f)) continue;
      const float a = sl.rank[p] - 0.5f;
      b -= 0.5f;
      const float w = ws * wr;
      sw += w;
      sa += w * a;
      sb += w * b;
      saa += w * a * a;
      sbb += w * b * b;
      sab += w * a * b;
    }
  }
  if (!(sw > 16.0)) return -1.0f;
  const double va = saa - sa * sa / sw, vb = sbb - sb * sb / sw;
  if (!(va > 1e-6 * sw) || !(vb > 1e-6 * sw)) return -1.0f;
  return float((sab - sa * sb / sw) / std::sqrt(va * vb));
}

// The framing with its scale changed by `factor` about the overlap's centre.
Registration rescaled(const ContentImage& s, const ContentImage& r, const Registration& g, float factor) {
  const Overlap o = overlapOf(s, r, g);
  const float cx = 0.5f * (o.x0 + o.x1), cy = 0.5f * (o.y0 + o.y1);
  Registration out = g;
  out.scale = g.scale * factor;
  out.tx = cx - out.scale * ((cx - g.tx) / g.scale);
  out.ty = cy - out.scale * ((cy - g.ty) / g.scale);
  return out;
}

// Relative scale step that moves the overlap's edges by `pixels` full pixels.
float scaleStepFor(const ContentImage& s, const ContentImage& r, const Registration& g, float pixels) {
  const Overlap o = overlapOf(s, r, g);
  const float half = 0.5f * std::max(std::max(o.x1 - o.x0, o.y1 - o.y0), 1.0f);
  return pixels / half;
}

// The six neighbours of a framing: translation by +-step full pixels, scale by 1 +- ds.
void neighbours(const ContentImage& s, const ContentImage& r, const Registration& g, float step, Registration out[6]) {
  const float ds = scaleStepFor(s, r, g, step);
  out[0] = out[1] = out[2] = out[3] = g;
  out[0].tx -= step;
  out[1].tx += step;
  out[2].ty -= step;
  out[3].ty += step;
  out[4] = rescaled(s, r, g, 1.0f - ds);
  out[5] = rescaled(s, r, g, 1.0f + ds);
}

// Moves to the best neighbour while one is better, within the scales searched.
void climb(const ContentImage& s, const ContentImage& r, int32_t level, float step, const ContentSettings& settings,
           Scored& at) {
  const float minOverlap = settings.minOverlap;
  at.score = correlationAt(s, r, at.g, level, minOverlap);
  for (int32_t move = 0; move < 24; ++move) {
    Registration next[6];
    neighbours(s, r, at.g, step, next);
    Scored best = at;
    for (const Registration& n : next) {
      if (n.scale < settings.minScale || n.scale > settings.maxScale) continue;
      const float c = correlationAt(s, r, n, level, minOverlap);
      if (c > best.score) best = {n, c};
    }
    if (!(best.score > at.score)) return;
    at = best;
  }
}

// Down the pyramid from `top` to the working level, then half a working pixel, then the vertex of
// a parabola through each parameter's three values.
Scored refine(const ContentImage& s, const ContentImage& r, Registration g, int32_t top,
              const ContentSettings& settings) {
  const float minOverlap = settings.minOverlap;
  Scored at{g, -1.0f};
  for (int32_t level = top; level >= 0; --level) climb(s, r, level, s.levels[size_t(level)].factor, settings, at);
  const float half = 0.5f * s.levels[0].factor;
  climb(s, r, 0, half, settings, at);
  if (!(at.score > -1.0f)) return at;
  Registration next[6];
  neighbours(s, r, at.g, half, next);
  float offset[3];
  for (int k = 0; k < 3; ++k) {
    const float lo = correlationAt(s, r, next[2 * k], 0, minOverlap);
    const float hi = correlationAt(s, r, next[2 * k + 1], 0, minOverlap);
    const float curve = lo - 2.0f * at.score + hi;
    offset[k] =
        lo > -1.0f && hi > -1.0f && curve < 0.0f ? std::min(0.5f, std::max(-0.5f, 0.5f * (lo - hi) / curve)) : 0.0f;
  }
  Registration vertex = at.g;
  vertex.tx += offset[0] * half;
  vertex.ty += offset[1] * half;
  vertex = rescaled(s, r, vertex, 1.0f + offset[2] * scaleStepFor(s, r, at.g, half));
  const float c = correlationAt(s, r, vertex, 0, minOverlap);
  if (c > at.score) at = {vertex, c};
  return at;
}

// How far framing b moves the centre of a's overlap from where a puts it, in Source pixels.
float centreShift(const ContentImage& s, const ContentImage& r, const Registration& a, const Registration& b) {
  const Overlap o = overlapOf(s, r, a);
  const float cx = 0.5f * (o.x0 + o.x1), cy = 0.5f * (o.y0 + o.y1);
  const float rx = (cx - a.tx) / a.scale, ry = (cy - a.ty) / a.scale;
  const float dx = b.scale * rx + b.tx - cx, dy = b.scale * ry + b.ty - cy;
  return std::sqrt(dx * dx + dy * dy);
}

// Two framings are one when they put the overlap's centre within `shift` working pixels and
// agree in scale within 3%: a shoulder of the same peak, not another place.
bool sameFraming(const ContentImage& s, const ContentImage& r, const Registration& a, const Registration& b,
                 float shift) {
  return std::fabs(std::log(a.scale / b.scale)) < 0.03f && centreShift(s, r, a, b) <= shift * s.levels[0].factor;
}

// Share of the overlap's working pixels with a lightness step above `step` to the next pixel
// across or up.
float textureOf(const ContentImage& s, const ContentImage& r, const Registration& g, float step) {
  const ContentLevel& l = s.levels[0];
  const Overlap o = overlapOf(s, r, g);
  int64_t counted = 0, textured = 0;
  for (int32_t j = 0; j + 1 < l.height; ++j) {
    const float y = (float(j) + 0.5f) * l.factor;
    if (y < o.y0 || y > o.y1) continue;
    for (int32_t i = 0; i + 1 < l.width; ++i) {
      const float x = (float(i) + 0.5f) * l.factor;
      if (x < o.x0 || x > o.x1) continue;
      const size_t p = size_t(j) * size_t(l.width) + size_t(i);
      if (l.weight[p] <= 0.0f || l.weight[p + 1] <= 0.0f || l.weight[p + size_t(l.width)] <= 0.0f) continue;
      ++counted;
      const float across = std::fabs(s.lightness[p + 1] - s.lightness[p]);
      const float up = std::fabs(s.lightness[p + size_t(l.width)] - s.lightness[p]);
      textured += across > step || up > step;
    }
  }
  return counted > 0 ? float(double(textured) / double(counted)) : 0.0f;
}

// The level whose pixels come closest to `size` full pixels.
int32_t levelNear(const ContentImage& s, float size) {
  int32_t best = 0;
  for (size_t k = 0; k < s.levels.size(); ++k)
    if (std::fabs(std::log2(s.levels[k].factor / size)) < std::fabs(std::log2(s.levels[size_t(best)].factor / size)))
      best = int32_t(k);
  return best;
}

// The coarse search: the best distinct peaks over every scale and placement.
std::vector<Registration> coarsePeaks(const ContentImage& s, const ContentImage& r, const ContentSettings& settings,
                                      const ParallelFor* parallel) {
  const float side = float(std::max(s.fullWidth, s.fullHeight));
  const float cellFull = std::max(s.levels[0].factor, side / float(std::max(8, settings.coarseSide)));
  const int32_t sw = int32_t(std::ceil(float(s.fullWidth) / cellFull));
  const int32_t sh = int32_t(std::ceil(float(s.fullHeight) / cellFull));
  const BoxGrid sourceGrid = boxGrid(s, double(cellFull) / s.levels[0].factor, sw, sh);

  std::vector<float> scales;
  const float step = std::max(1.001f, settings.scaleStep);
  for (float sc = settings.minScale; sc <= settings.maxScale * 1.0001f; sc *= step) scales.push_back(sc);
  std::vector<ScaleMap> maps(scales.size());
  std::vector<BoxGrid> grids(scales.size());
  std::vector<SourceSpectra> spectra;
  std::vector<int32_t> spectrumOf(scales.size());
  float sourceWeight = 0.0f;
  for (float m : sourceGrid.m) sourceWeight += m;
  for (size_t k = 0; k < scales.size(); ++k) {
    const float cell = cellFull / scales[k];  // Reference full pixels per grid cell
    const int32_t w = std::max(1, int32_t(std::ceil(float(r.fullWidth) / cell)));
    const int32_t h = std::max(1, int32_t(std::ceil(float(r.fullHeight) / cell)));
    grids[k] = boxGrid(r, double(cell) / r.levels[0].factor, w, h);
    const int32_t nx = fftSize(sw + w - 1), ny = fftSize(sh + h - 1);
    int32_t found = -1;
    for (size_t q = 0; q < spectra.size(); ++q)
      if (spectra[q].nx == nx && spectra[q].ny == ny) found = int32_t(q);
    if (found < 0) {
      SourceSpectra sp;
      sp.nx = nx;
      sp.ny = ny;
      sp.px = makeFftPlan(nx);
      sp.py = makeFftPlan(ny);
      spectra.push_back(std::move(sp));
      found = int32_t(spectra.size() - 1);
    }
    spectrumOf[k] = found;
    maps[k].scale = scales[k];
    maps[k].w = w;
    maps[k].h = h;
  }
  // The Source's spectra, once for every transform size the scales need.
  runTasks(parallel, int32_t(spectra.size()), [&](int32_t q, int32_t) {
    SourceSpectra& sp = spectra[size_t(q)];
    std::vector<Complex> scratch(size_t(std::max(sp.nx, sp.ny)));
    spectraOf(sourceGrid.m, &sourceGrid.mv, sw, sh, sp.px, sp.py, sp.m, &sp.mv, scratch);
    spectraOf(sourceGrid.mvv, nullptr, sw, sh, sp.px, sp.py, sp.mvv, nullptr, scratch);
  });
  runTasks(parallel, int32_t(scales.size()), [&](int32_t k, int32_t) {
    float referenceWeight = 0.0f;
    for (float m : grids[size_t(k)].m) referenceWeight += m;
    const float minWeight = settings.minOverlap * std::min(sourceWeight, referenceWeight);
    scoreScale(spectra[size_t(spectrumOf[size_t(k)])], sourceGrid, grids[size_t(k)], std::max(minWeight, 4.0f),
               maps[size_t(k)]);
  });

  // Local maxima of every map, best first; then the best K distinct ones.
  std::vector<Peak> peaks;
  for (size_t k = 0; k < maps.size(); ++k) {
    const ScaleMap& m = maps[k];
    for (int32_t j = 0; j < m.mh; ++j)
      for (int32_t i = 0; i < m.mw; ++i) {
        const float c = m.ncc[size_t(j) * m.mw + i];
        if (!(c > 0.0f)) continue;
        bool top = true;
        for (int32_t dj = -1; dj <= 1 && top; ++dj)
          for (int32_t di = -1; di <= 1 && top; ++di) {
            const int32_t ii = i + di, jj = j + dj;
            if ((di || dj) && ii >= 0 && jj >= 0 && ii < m.mw && jj < m.mh && m.ncc[size_t(jj) * m.mw + ii] > c)
              top = false;
          }
        if (top) peaks.push_back({c, int32_t(k), m.x0 + i, m.y0 + j});
      }
  }
  std::stable_sort(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) { return a.score > b.score; });
  std::vector<Peak> chosen;
  for (const Peak& p : peaks) {
    if (int32_t(chosen.size()) >= std::max(1, settings.candidates)) break;
    bool distinct = true;
    for (const Peak& q : chosen) {
      const ScaleMap &mp = maps[size_t(p.scale)], &mq = maps[size_t(q.scale)];
      const float cx = float(p.dx) + 0.5f * float(mp.w) - (float(q.dx) + 0.5f * float(mq.w));
      const float cy = float(p.dy) + 0.5f * float(mp.h) - (float(q.dy) + 0.5f * float(mq.h));
      if (std::abs(p.scale - q.scale) <= 3 && cx * cx + cy * cy <= 9.0f) distinct = false;
    }
    if (distinct) chosen.push_back(p);
  }
  std::vector<Registration> out;
  for (const Peak& p : chosen)
    out.push_back({maps[size_t(p.scale)].scale, float(p.dx) * cellFull, float(p.dy) * cellFull});
  return out;
}

}  // namespace

const char* contentReasonText(ContentReason reason) {
  switch (reason) {
    case ContentReason::Matched:
      return "matched by content";
    case ContentReason::NoPixels:
      return "an image has no pixels to compare";
    case ContentReason::NoTexture:
      return "the shared area has too little detail to place the pictures";
    case ContentReason::NoPeak:
      return "the Reference's picture was not found in the Source";
    case ContentReason::NotUnique:
      return "the Reference's picture fits more than one place in the Source";
    case ContentReason::FewPairs:
      return "too few smooth areas are shared";
    case ContentReason::NotOneMap:
      return "the shared pixels do not follow one colour change";
    case ContentReason::OutOfMemory:
      return "out of memory";
  }
  return "unknown";
}

void registerContent(const ContentImage& source, const ContentImage& reference, const ContentSettings& settings,
                     const Registration* hint, const ParallelFor* parallel, ContentDecision& decision) {
  decision = ContentDecision{};
  if (source.counted < 4 || reference.counted < 4 || source.levels.empty() || reference.levels.empty()) {
    decision.reason = ContentReason::NoPixels;
    return;
  }
  try {
    auto finish = [&](const Scored& best) {
      decision.registration = best.g;
      decision.correlation = best.score;
      decision.overlap = overlapOf(source, reference, best.g).share;
      decision.texture = textureOf(source, reference, best.g, settings.textureStep);
    };
    if (hint != nullptr) {
      const int32_t top = std::min<int32_t>(2, int32_t(source.levels.size()) - 1);
      const Scored tracked = refine(source, reference, *hint, top, settings);
      if (tracked.score >= settings.minCorrelation) {
        finish(tracked);
        decision.tracked = true;
        decision.reason = decision.texture < settings.minTexture ? ContentReason::NoTexture : ContentReason::Matched;
        return;
      }
    }
    const std::vector<Registration> peaks = coarsePeaks(source, reference, settings, parallel);
    if (peaks.empty()) {
      decision.reason = ContentReason::NoPeak;
      return;
    }
    const float side = float(std::max(source.fullWidth, source.fullHeight));
    const int32_t top = levelNear(source, side / float(std::max(8, settings.coarseSide)));
    std::vector<Scored> refined(peaks.size());
    runTasks(parallel, int32_t(peaks.size()), [&](int32_t k, int32_t) {
      refined[size_t(k)] = refine(source, reference, peaks[size_t(k)], top, settings);
    });
    size_t best = 0;
    for (size_t k = 1; k < refined.size(); ++k)
      if (refined[k].score > refined[best].score) best = k;
    float runnerUp = 0.0f;
    for (size_t k = 0; k < refined.size(); ++k)
      if (k != best && refined[k].score > runnerUp &&
          !sameFraming(source, reference, refined[best].g, refined[k].g, settings.distinctShift)) {
        runnerUp = refined[k].score;
        decision.runnerUpShift = centreShift(source, reference, refined[best].g, refined[k].g);
      }
    finish(refined[best]);
    decision.runnerUp = runnerUp;
    if (!(decision.correlation >= settings.minCorrelation))
      decision.reason = ContentReason::NoPeak;
    else if (1.0f - decision.correlation > settings.maxAmbiguity * (1.0f - runnerUp))
      decision.reason = ContentReason::NotUnique;
    else if (decision.texture < settings.minTexture)
      decision.reason = ContentReason::NoTexture;
    else
      decision.reason = ContentReason::Matched;
  } catch (const std::bad_alloc&) {
    decision.reason = ContentReason::OutOfMemory;
  } catch (const std::length_error&) {
    decision.reason = ContentReason::OutOfMemory;
  }
}

}  // namespace engine
