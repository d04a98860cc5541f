// The grade learnt from corresponding colours. Pairs from two framings of one scene are noisier
// than those of one picture in two grades (a fraction of a pixel of registration, a moving leaf,
// a reflection that changed with the angle), so the fit is robust twice over: first an affine
// colour map by Huber-weighted least squares, the prior the lattice departs from and falls back
// to far from every pair (rather than the identity: a colour the overlap never showed still gets
// the grade's overall shape); then the lattice's departure from it, refitted with Huber weights
// from its own residuals. The solve is the fitted lattice's: conjugate gradients on a coarse
// lattice, then finer ones, with the curvature of the departure priced; it stops at a 17-point
// lattice, as fine as such pairs support, which is prolonged to the table.
#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>

#include "engine/engine_internal.h"
#include "engine/fitted_lattice.h"
#include "engine/kernels.h"
#include "engine/matching_content.h"
#include "engine/pair_sampling.h"

namespace engine {

namespace {

// Pairs with their targets (as the Preserve choice forms them) and robust weights.
struct FitPairs {
  std::vector<float> source[3], target[3], weight;
  int64_t count() const { return int64_t(weight.size()); }
};

// out[c] = row c of the affine map at (r, g, b), in a fixed order.
struct Affine {
  float m[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
  float at(int c, float r, float g, float b) const { return ((m[c][0] * r + m[c][1] * g) + m[c][2] * b) + m[c][3]; }
};

float median(std::vector<float> v) {
  if (v.empty()) return 0.0f;
  const size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + long(mid), v.end());
  return v[mid];
}

// Huber weights from residual lengths: 1 within k robust deviations, k sigma / r beyond.
void huberWeights(const std::vector<float>& residual, float k, std::vector<float>& weight) {
  const float sigma = std::max(1.4826f * median(residual), 1e-4f);
  const float limit = k * sigma;
  for (size_t i = 0; i < residual.size(); ++i) weight[i] = residual[i] > limit ? limit / residual[i] : 1.0f;
}

// Weighted least squares of the affine map, each output channel on (r, g, b, 1), in double, with
// a faint pull to the identity so that pairs of one grey still give a definite map.
Affine weightedAffine(const FitPairs& p) {
  double a[4][4] = {}, rhs[3][4] = {}, total = 0.0;
  for (int64_t i = 0; i < p.count(); ++i) {
    const double w = p.weight[size_t(i)];
    const double x[4] = {p.source[0][size_t(i)], p.source[1][size_t(i)], p.source[2][size_t(i)], 1.0};
    total += w;
    for (int r = 0; r < 4; ++r) {
      for (int c = 0; c < 4; ++c) a[r][c] += w * x[r] * x[c];
      for (int ch = 0; ch < 3; ++ch) rhs[ch][r] += w * x[r] * double(p.target[ch][size_t(i)]);
    }
  }
  const double ridge = 1e-4 * std::max(total, 1e-12);
  for (int r = 0; r < 4; ++r) a[r][r] += ridge;
  for (int ch = 0; ch < 3; ++ch) rhs[ch][ch] += ridge;
  // Gaussian elimination with partial pivoting on all three right-hand sides at once.
  double m[4][7];
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) m[r][c] = a[r][c];
    for (int ch = 0; ch < 3; ++ch) m[r][4 + ch] = rhs[ch][r];
  }
  for (int col = 0; col < 4; ++col) {
    int pivot = col;
    for (int r = col + 1; r < 4; ++r)
      if (std::fabs(m[r][col]) > std::fabs(m[pivot][col])) pivot = r;
    for (int c = 0; c < 7; ++c) std::swap(m[col][c], m[pivot][c]);
    for (int r = 0; r < 4; ++r) {
      if (r == col) continue;
      const double f = m[r][col] / m[col][col];
      for (int c = col; c < 7; ++c) m[r][c] -= f * m[col][c];
    }
  }
  Affine out;
  for (int ch = 0; ch < 3; ++ch)
    for (int r = 0; r < 4; ++r) out.m[ch][r] = float(m[r][4 + ch] / m[r][r]);
  return out;
}

Affine robustAffine(FitPairs& p, float huber) {
  std::fill(p.weight.begin(), p.weight.end(), 1.0f);
  Affine a = weightedAffine(p);
  std::vector<float> residual(size_t(p.count()));
  for (int round = 0; round < 4; ++round) {
    for (int64_t i = 0; i < p.count(); ++i) {
      float sq = 0.0f;
      for (int c = 0; c < 3; ++c) {
        const float d =
            a.at(c, p.source[0][size_t(i)], p.source[1][size_t(i)], p.source[2][size_t(i)]) - p.target[c][size_t(i)];
        sq += d * d;
      }
      residual[size_t(i)] = std::sqrt(sq);
    }
    huberWeights(residual, huber, p.weight);
    a = weightedAffine(p);
  }
  return a;
}

// --- The lattice of departures from the prior -------------------------------------------------

inline int32_t cellAlong(float v, float last, int32_t n, float& fraction) {
  const float x = v * last;
  int32_t i = int32_t(x);
  if (i > n - 2) i = n - 2;
  if (i < 0) i = 0;
  fraction = x - float(i);
  return i;
}

inline int64_t cornerOffset(int k, int32_t n) { return ((k & 4) ? int64_t(n) * n : 0) + ((k & 2) ? n : 0) + (k & 1); }

inline float cornerWeight(int k, const float f[3]) {
  return ((k & 4) ? f[0] : 1.0f - f[0]) * ((k & 2) ? f[1] : 1.0f - f[1]) * ((k & 1) ? f[2] : 1.0f - f[2]);
}

// Lattice arrays of one level with zeros around them, as far as the Laplacian kernel reads.
class Padded {
 public:
  Padded(int count, int32_t n)
      : points_(int64_t(n) * n * n),
        pad_((int64_t(n) + 31) / 16 * 16),
        storage_(size_t(count * (points_ + pad_) + pad_), 0.0f) {}
  float* operator[](int i) { return storage_.data() + pad_ + i * (points_ + pad_); }

 private:
  int64_t points_, pad_;
  std::vector<float> storage_;
};

// 1 where no pair is near (the prior holds there), on an n^3 lattice: Chebyshev distance in
// lattice steps from the points the pairs occupy, over `reach` of the range.
std::vector<float> farFromPairs(const FitPairs& p, int32_t n, float reach) {
  const int64_t points = int64_t(n) * n * n;
  std::vector<float> occupancy(size_t(points), 0.0f);
  const float last = float(n - 1);
  for (int64_t i = 0; i < p.count(); ++i) {
    float f[3];
    int32_t at[3];
    for (int a = 0; a < 3; ++a) at[a] = cellAlong(p.source[a][size_t(i)], last, n, f[a]);
    const int64_t base = (int64_t(at[0]) * n + at[1]) * n + at[2];
    for (int k = 0; k < 8; ++k) {
      const float w = cornerWeight(k, f);
      occupancy[size_t(base + cornerOffset(k, n))] += w * w;
    }
  }
  const int32_t far = 3 * n;
  std::vector<int32_t> dist(static_cast<size_t>(points));
  for (int64_t j = 0; j < points; ++j) dist[size_t(j)] = occupancy[size_t(j)] >= 0.5f ? 0 : far;
  chebyshevPasses(dist, n);
  std::vector<float> share(static_cast<size_t>(points));
  for (int64_t j = 0; j < points; ++j) share[size_t(j)] = float(dist[size_t(j)]) / last > reach ? 1.0f : 0.0f;
  return share;
}

// Solves one level for the departures D (planar, one array per channel), starting from `x`.
void solveLevel(const FitPairs& p, const Affine& prior, int32_t n, const ContentSettings& settings,
                const FitKernels& fit, const ParallelFor* parallel, int32_t iterations, std::vector<float> x[3]) {
  const int64_t points = int64_t(n) * n * n;
  const float last = float(n - 1);
  // The data term: per occupied cell the weighted mean of w w^T, and of w times the departure the
  // pair asks for, cells numbered in order of first use.
  std::vector<int32_t> slotOf(size_t(int64_t(n - 1) * (n - 1) * (n - 1)), -1), base;
  std::vector<float> moments, rhs[3];
  double total = 0.0;
  for (int64_t i = 0; i < p.count(); ++i) total += double(p.weight[size_t(i)]);
  const float mean = total > 0.0 ? float(1.0 / total) : 0.0f;
  for (int64_t i = 0; i < p.count(); ++i) {
    float f[3];
    int32_t at[3];
    const float s[3] = {p.source[0][size_t(i)], p.source[1][size_t(i)], p.source[2][size_t(i)]};
    for (int a = 0; a < 3; ++a) at[a] = cellAlong(s[a], last, n, f[a]);
    const size_t cell = size_t((int64_t(at[0]) * (n - 1) + at[1]) * (n - 1) + at[2]);
    if (slotOf[cell] < 0) {
      slotOf[cell] = int32_t(base.size());
      base.push_back(int32_t((int64_t(at[0]) * n + at[1]) * n + at[2]));
      moments.resize(moments.size() + 64, 0.0f);
      for (auto& r : rhs) r.resize(r.size() + 8, 0.0f);
    }
    const size_t slot = size_t(slotOf[cell]);
    const float omega = p.weight[size_t(i)] * mean;
    float w[8];
    for (int k = 0; k < 8; ++k) w[k] = cornerWeight(k, f);
    float* m = moments.data() + slot * 64;
    for (int a = 0; a < 8; ++a)
      for (int b = 0; b < 8; ++b) m[a * 8 + b] += omega * w[a] * w[b];
    for (int c = 0; c < 3; ++c) {
      const float want = p.target[c][size_t(i)] - prior.at(c, s[0], s[1], s[2]);
      for (int k = 0; k < 8; ++k) rhs[c][slot * 8 + size_t(k)] += omega * w[k] * want;
    }
  }
  const float spacing = 1.0f / last;
  const float lambda = settings.lambda / spacing;
  const float eps = settings.falloff * spacing * spacing * spacing;
  const std::vector<float> far = farFromPairs(p, n, settings.reach);

  Padded arrays(8, n), work(15, n);
  float* b[3] = {arrays[3], arrays[4], arrays[5]};
  float* epsField = arrays[6];
  float* invDiag = arrays[7];
  std::vector<float> diag(static_cast<size_t>(points));
  auto inside = [n](int32_t i) { return i > 0 && i < n - 1; };
  int64_t j = 0;
  for (int32_t r = 0; r < n; ++r)
    for (int32_t g = 0; g < n; ++g)
      for (int32_t bb = 0; bb < n; ++bb, ++j) {
        int32_t k = 0, nb = 0;
        for (int32_t i : {r, g, bb}) {
          k += inside(i);
          nb += inside(i - 1) + inside(i + 1);
        }
        epsField[j] = eps * far[size_t(j)];
        diag[size_t(j)] = lambda * float(4 * k * k + nb) + epsField[j];
      }
  for (size_t s = 0; s < base.size(); ++s)
    for (int k = 0; k < 8; ++k) {
      const int64_t at = base[s] + cornerOffset(k, n);
      diag[size_t(at)] += moments[s * 64 + size_t(k) * 9];
      for (int c = 0; c < 3; ++c) b[c][at] += rhs[c][s * 8 + size_t(k)];
    }
  for (int64_t q = 0; q < points; ++q) invDiag[q] = diag[size_t(q)] > 0.0f ? 1.0f / diag[size_t(q)] : 0.0f;
  const int64_t plane = int64_t(n) * n, maskPad = int64_t(n) + 16;
  std::vector<float> masks(size_t(2 * (plane + 2 * maskPad)), 0.0f);
  float* maskB = masks.data() + maskPad;
  float* maskG = maskB + plane + 2 * maskPad;
  for (int32_t g = 0; g < n; ++g)
    for (int32_t bb = 0; bb < n; ++bb) {
      maskB[int64_t(g) * n + bb] = bb > 0 && bb < n - 1 ? 1.0f : 0.0f;
      maskG[int64_t(g) * n + bb] = g > 0 && g < n - 1 ? 1.0f : 0.0f;
    }
  const int64_t slots = int64_t(base.size());
  runTasks(parallel, 3, [&](int32_t c, int32_t) {
    float* xc = arrays[c];
    std::copy(x[c].begin(), x[c].end(), xc);
    float *r = work[5 * c], *z = work[5 * c + 1], *pp = work[5 * c + 2], *q = work[5 * c + 3], *gw = work[5 * c + 4];
    auto apply = [&](const float* in, float* out) {
      fit.prior({n, maskB, maskG, lambda, epsField, in, gw, out});
      fit.cells({n, slots, base.data(), moments.data(), in, out});
    };
    apply(xc, q);
    for (int64_t k = 0; k < points; ++k) {
      r[k] = b[c][k] - q[k];
      z[k] = r[k] * invDiag[k];
      pp[k] = z[k];
    }
    double rz = fit.dot(r, z, points);
    const double settled = rz * 1e-10;
    if (rz > 0.0) {
      for (int32_t it = 0; it < iterations; ++it) {
        apply(pp, q);
        const double pq = fit.dot(pp, q, points);
        if (!(pq > 0.0)) break;
        const double next = fit.step({float(rz / pq), xc, r, z, pp, q, invDiag, points});
        if (!(next > settled)) break;
        fit.direction(float(next / rz), pp, z, points);
        rz = next;
      }
    }
    x[c].assign(xc, xc + points);
  });
}

// The fitted lattice (prior plus departure) at each pair's colour; residual lengths.
void residuals(const FitPairs& p, const Affine& prior, const std::vector<float> d[3], int32_t n,
               std::vector<float>& out) {
  const float last = float(n - 1);
  out.resize(size_t(p.count()));
  for (int64_t i = 0; i < p.count(); ++i) {
    float f[3];
    int32_t at[3];
    const float s[3] = {p.source[0][size_t(i)], p.source[1][size_t(i)], p.source[2][size_t(i)]};
    for (int a = 0; a < 3; ++a) at[a] = cellAlong(s[a], last, n, f[a]);
    const int64_t base = (int64_t(at[0]) * n + at[1]) * n + at[2];
    float sq = 0.0f;
    for (int c = 0; c < 3; ++c) {
      float v = 0.0f;
      for (int k = 0; k < 8; ++k) v += cornerWeight(k, f) * d[c][size_t(base + cornerOffset(k, n))];
      const float e = prior.at(c, s[0], s[1], s[2]) + v - p.target[c][size_t(i)];
      sq += e * e;
    }
    out[size_t(i)] = std::sqrt(sq);
  }
}

}  // namespace

bool fitContentLattice(const ContentPairs& pairs, PreserveMode mode, KernelSet kernels, const ContentSettings& settings,
                       const ParallelFor* parallel, LUT3D& lut, ContentDecision& decision) {
  lut.valid = false;
  if (!latticeUsable(lut)) return false;
  try {
    FitPairs p;
    const Kernels& k = kernelsFor(kernels);
    PairBatch batch;
    auto flush = [&] {
      computeTargets(k, batch, mode);
      for (int c = 0; c < 3; ++c) {
        p.source[c].insert(p.source[c].end(), batch.src[c], batch.src[c] + batch.count);
        p.target[c].insert(p.target[c].end(), batch.target[c], batch.target[c] + batch.count);
      }
      batch.count = 0;
    };
    for (int64_t i = 0; i < pairs.count(); ++i) {
      for (int c = 0; c < 3; ++c) {
        batch.src[c][batch.count] = clampUnit(pairs.source[c][size_t(i)]);
        batch.ref[c][batch.count] = clampUnit(pairs.reference[c][size_t(i)]);
      }
      if (++batch.count == PairBatch::kSize) flush();
    }
    if (batch.count > 0) flush();
    p.weight.assign(p.source[0].size(), 1.0f);
    decision.pairs = int32_t(std::min<int64_t>(p.count(), INT32_MAX));
    if (p.count() < std::max(1, settings.minPairs)) {
      decision.reason = ContentReason::FewPairs;
      return true;
    }

    const Affine prior = robustAffine(p, settings.huber);
    std::fill(p.weight.begin(), p.weight.end(), 1.0f);
    const std::vector<int32_t> sizes = fitLevelSizes(lut.size, 5);
    std::vector<float> d[3], residual;
    int32_t solved = 0;
    for (int32_t round = 0; round <= std::max(0, settings.robustRounds); ++round) {
      if (round > 0) {
        residuals(p, prior, d, solved, residual);
        huberWeights(residual, settings.huber, p.weight);
      }
      int32_t coarser = 0;
      for (int32_t size : sizes) {
        if (size > settings.finestSolved && coarser > 0) break;
        std::vector<float> x[3];
        for (int c = 0; c < 3; ++c) {
          x[c].assign(size_t(int64_t(size) * size * size), 0.0f);
          if (coarser > 0) prolongLattice(d[c].data(), coarser, x[c].data());
        }
        solveLevel(p, prior, size, settings, k.fit, parallel, 20, x);
        for (int c = 0; c < 3; ++c) d[c].swap(x[c]);
        coarser = size;
      }
      solved = coarser;
    }

    // Is it one colour map? Every pair counts here, whatever its weight.
    residuals(p, prior, d, solved, residual);
    double meanT[3] = {0, 0, 0}, spread = 0.0, left = 0.0;
    int64_t far = 0;
    for (int c = 0; c < 3; ++c) {
      for (float t : p.target[c]) meanT[c] += double(t);
      meanT[c] /= double(p.count());
      for (float t : p.target[c]) spread += (double(t) - meanT[c]) * (double(t) - meanT[c]);
    }
    for (float r : residual) {
      left += double(r) * double(r);
      far += r > settings.outlierDistance;
    }
    decision.explained = spread > 0.0 ? float(1.0 - left / spread) : 0.0f;
    decision.outliers = float(double(far) / double(p.count()));
    if (decision.explained < settings.minExplained || decision.outliers > settings.maxOutliers) {
      decision.reason = ContentReason::NotOneMap;
      return true;
    }

    // Up to the table's size, then prior plus departure.
    for (int32_t size = solved; size < lut.size;) {
      const int32_t finer = 2 * size - 1;
      for (int c = 0; c < 3; ++c) {
        std::vector<float> fine(size_t(int64_t(finer) * finer * finer));
        prolongLattice(d[c].data(), size, fine.data());
        d[c].swap(fine);
      }
      size = finer;
    }
    const int32_t n = lut.size;
    if (solved == 0 || int64_t(d[0].size()) != int64_t(n) * n * n) {
      decision.reason = ContentReason::FewPairs;
      return true;
    }
    std::vector<float> coord(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) coord[size_t(i)] = latticeCoordinate(i, n);
    runTasks(parallel, n, [&](int32_t r, int32_t) {
      int64_t j = int64_t(r) * n * n;
      float* out = lut.data + j * 3;
      for (int32_t g = 0; g < n; ++g)
        for (int32_t b = 0; b < n; ++b, ++j, out += 3)
          for (int c = 0; c < 3; ++c)
            out[c] = clampUnit(prior.at(c, coord[size_t(r)], coord[size_t(g)], coord[size_t(b)]) + d[c][size_t(j)]);
    });
    decision.reason = ContentReason::Matched;
    lut.valid = true;
  } catch (const std::bad_alloc&) {
    decision.reason = ContentReason::OutOfMemory;
    return false;
  } catch (const std::length_error&) {
    decision.reason = ContentReason::OutOfMemory;
    return false;
  }
  return true;
}

}  // namespace engine
