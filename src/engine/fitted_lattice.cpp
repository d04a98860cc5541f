// Learns the match from two grades of one picture by fitting the whole lattice to the sampled
// pairs (the pairs and targets the cell learner bins): the lattice whose trilinear value at each
// pair's Source colour comes closest to the pair's target, in the mean square over the pairs,
// with lambda times the squared discrete Laplacian of its departure from the identity as the
// price of curvature, and that departure itself as the price in colours far from every pair.
// Every lattice point a pair's interpolation touches is learnt, so the grade is reproduced at
// full strength, carries on smoothly between and around the learnt colours, and falls back to
// the identity far from them.
//
// The unknowns are D = L - I, one channel at a time: the identity interpolates exactly, so each
// pair asks D for its target minus its Source colour, and an image against itself gives D = 0,
// the identity. With W the pairs' trilinear weights, P their count and y their targets:
//
//   (W^T W / P + lambda_n L^T L + diag(eps_n)) D = W^T y / P
//
// L is the Laplacian over the axes on which a point has both neighbours (so every affine map,
// the identity included, costs nothing at the lattice's faces either), and eps_n is zero within
// a reach of the pairs' colours. The system is solved by conjugate gradients with its diagonal
// as preconditioner, first on a coarse lattice, then on each finer one from the coarser
// solution, a fixed number of iterations on each: bounded work, in which the coarse levels
// settle the smooth far reaches cheaply and the finer ones add detail. A level given no
// iterations takes the coarser solution as it stands (by default the finest, 65 points, takes
// the 33-point one: iterations there changed no figure of the evaluation, docs/colour.md).
// lambda and eps are continuous-scale weights, scaled to each level's spacing.
#include "engine/fitted_lattice.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>
#include <vector>

#include "engine/engine_internal.h"
#include "engine/kernels.h"
#include "engine/pair_sampling.h"

namespace engine {

namespace {

// A channel stops early once r . z has fallen by this factor: nothing left to learn there.
constexpr double kSettled = 1e-10;

struct Pairs {
  std::vector<float> source[3];
  std::vector<float> target[3];  // target minus source
  int64_t count() const { return int64_t(source[0].size()); }
};

// Cell index (0 .. n - 2) and the place within it along one axis, as the renderer's lookup has
// them, so the fit minimises the error of the lookup that will apply it.
inline int32_t cellAlong(float v, float last, int32_t n, float& fraction) {
  const float x = v * last;
  int32_t i = int32_t(x);
  if (i > n - 2) i = n - 2;
  if (i < 0) i = 0;
  fraction = x - float(i);
  return i;
}

int64_t paddingFor(int32_t n) { return (int64_t(n) + 31) / 16 * 16; }

// `count` lattice arrays of one level with zeros before, between and after them, as far as the
// Laplacian reaches past a plane's edges.
class LatticeArrays {
 public:
  LatticeArrays(int count, int32_t n)
      : points_(int64_t(n) * n * n), pad_(paddingFor(n)), storage_(size_t(count * (points_ + pad_) + pad_), 0.0f) {}
  float* operator[](int i) { return storage_.data() + pad_ + i * (points_ + pad_); }

 private:
  int64_t points_, pad_;
  std::vector<float> storage_;
};

// The data term of one level: the cells with pairs, each with its first lattice point, the
// mean over all pairs of w w^T, and per channel that of w times the target.
struct DataTerm {
  std::vector<int32_t> base;
  std::vector<float> moments;
  std::vector<float> rhs[3];
  int64_t count() const { return int64_t(base.size()); }
};

void gatherData(const Pairs& pairs, int32_t n, const FitKernels& fit, const FitTasks& tasks, DataTerm& data) {
  const int64_t count = pairs.count();
  const int64_t cells = int64_t(n - 1) * (n - 1) * (n - 1);
  std::vector<int32_t> slotOf(size_t(cells), -1);
  std::vector<int32_t> slot(static_cast<size_t>(count));
  std::vector<float> fraction[3];
  for (auto& f : fraction) f.resize(size_t(count));
  const float last = float(n - 1);
  for (int64_t i = 0; i < count; ++i) {
    int32_t at[3];
    for (int a = 0; a < 3; ++a) at[a] = cellAlong(pairs.source[a][size_t(i)], last, n, fraction[a][size_t(i)]);
    const int64_t cell = (int64_t(at[0]) * (n - 1) + at[1]) * (n - 1) + at[2];
    if (slotOf[size_t(cell)] < 0) {
      slotOf[size_t(cell)] = int32_t(data.base.size());
      data.base.push_back(int32_t((int64_t(at[0]) * n + at[1]) * n + at[2]));
    }
    slot[size_t(i)] = slotOf[size_t(cell)];
  }
  const size_t slots = data.base.size();
  data.moments.assign(slots * 64, 0.0f);
  for (auto& r : data.rhs) r.assign(slots * 8, 0.0f);
  // Each task takes a range of slots and goes through every pair, so each slot's sums run in pair
  // order whatever the split.
  const int32_t groups = int32_t(std::max<int64_t>(1, std::min<int64_t>(int64_t(slots), tasks.threads)));
  runFitTasks(tasks, groups, [&](int32_t t, int32_t) {
    fit.moments({count,
                 {fraction[0].data(), fraction[1].data(), fraction[2].data()},
                 {pairs.target[0].data(), pairs.target[1].data(), pairs.target[2].data()},
                 slot.data(),
                 int32_t(int64_t(slots) * t / groups),
                 int32_t(int64_t(slots) * (t + 1) / groups),
                 data.moments.data(),
                 {data.rhs[0].data(), data.rhs[1].data(), data.rhs[2].data()}});
  });
  const float mean = 1.0f / float(count);
  for (float& m : data.moments) m *= mean;
  for (auto& r : data.rhs)
    for (float& v : r) v *= mean;
}

int64_t cornerOffset(int k, int32_t n) { return ((k & 4) ? int64_t(n) * n : 0) + ((k & 2) ? n : 0) + (k & 1); }

// Chebyshev distance, in lattice steps, from each point of an n^3 lattice to the nearest point
// the pairs occupy: two raster passes over the 26 neighbours.
std::vector<int32_t> distanceToPairs(const Pairs& pairs, int32_t n, float occupied) {
  const int64_t points = int64_t(n) * n * n;
  std::vector<float> weight(size_t(points), 0.0f);
  const float last = float(n - 1);
  for (int64_t i = 0; i < pairs.count(); ++i) {
    float f[3];
    int32_t at[3];
    for (int a = 0; a < 3; ++a) at[a] = cellAlong(pairs.source[a][size_t(i)], last, n, f[a]);
    const int64_t base = (int64_t(at[0]) * n + at[1]) * n + at[2];
    for (int k = 0; k < 8; ++k) {
      const float w = ((k & 4) ? f[0] : 1.0f - f[0]) * ((k & 2) ? f[1] : 1.0f - f[1]) * ((k & 1) ? f[2] : 1.0f - f[2]);
      weight[size_t(base + cornerOffset(k, n))] += w * w;
    }
  }
  const int32_t far = 3 * n;  // beyond any real distance
  std::vector<int32_t> dist(static_cast<size_t>(points));
  for (int64_t j = 0; j < points; ++j) dist[size_t(j)] = weight[size_t(j)] >= occupied ? 0 : far;
  chebyshevPasses(dist, n);
  return dist;
}

// 1 where the pull back to the identity applies on the level of `size` points, else 0: measured
// on the distance level, taken point for point on coarser levels and prolonged to finer ones.
void fallOffShare(const std::vector<int32_t>& dist, int32_t distanceLevel, int32_t size, float reach,
                  const std::vector<float>& coarser, int32_t coarserSize, std::vector<float>& share) {
  const int64_t points = int64_t(size) * size * size;
  share.assign(size_t(points), 0.0f);
  if (size > distanceLevel) {
    prolongLattice(coarser.data(), coarserSize, share.data());
    return;
  }
  const int32_t step = (distanceLevel - 1) / (size - 1);
  const float span = float(distanceLevel - 1);
  int64_t j = 0;
  for (int32_t r = 0; r < size; ++r)
    for (int32_t g = 0; g < size; ++g)
      for (int32_t b = 0; b < size; ++b, ++j) {
        const int64_t at = (int64_t(r * step) * distanceLevel + g * step) * distanceLevel + b * step;
        share[size_t(j)] = float(dist[size_t(at)]) / span > reach ? 1.0f : 0.0f;
      }
}

// The diagonal of L^T L at every point: (2 k)^2 for the k axes on which the point has both
// neighbours, plus 1 for each neighbour that has both of its own along their shared axis.
std::vector<float> laplacianDiagonal(int32_t n) {
  std::vector<float> diag(size_t(int64_t(n) * n * n));
  auto inside = [n](int32_t i) { return i > 0 && i < n - 1; };
  int64_t j = 0;
  for (int32_t r = 0; r < n; ++r)
    for (int32_t g = 0; g < n; ++g)
      for (int32_t b = 0; b < n; ++b, ++j) {
        int32_t k = 0, neighbours = 0;
        for (int32_t i : {r, g, b}) {
          k += inside(i);
          neighbours += inside(i - 1) + inside(i + 1);
        }
        diag[size_t(j)] = float(4 * k * k + neighbours);
      }
  return diag;
}

// One level's system; the channels share its matrix and nothing else.
struct Solver {
  const FitKernels& fit;
  int32_t n;
  int64_t points;
  float lambda;
  const DataTerm& data;
  const float* eps;
  const float* maskB;
  const float* maskG;
  const float* invDiag;

  // out = A in for one channel, g its working array.
  void apply(const float* in, float* g, float* out) const {
    fit.prior({n, maskB, maskG, lambda, eps, in, g, out});
    fit.cells({n, data.count(), data.base.data(), data.moments.data(), in, out});
  }
};

// The working arrays of one channel's solve.
struct ChannelWork {
  float *r, *z, *p, *q, *g;
};

// Preconditioned conjugate gradients on one channel, from x as it stands.
void solveChannel(const Solver& s, float* x, const float* b, int32_t iterations, const ChannelWork& w) {
  const int64_t points = s.points;
  s.apply(x, w.g, w.q);
  for (int64_t j = 0; j < points; ++j) {
    w.r[j] = b[j] - w.q[j];
    w.z[j] = w.r[j] * s.invDiag[j];
    w.p[j] = w.z[j];
  }
  double rz = s.fit.dot(w.r, w.z, points);
  const double settled = rz * kSettled;
  if (!(rz > 0.0)) return;
  for (int32_t it = 0; it < iterations; ++it) {
    s.apply(w.p, w.g, w.q);
    const double pq = s.fit.dot(w.p, w.q, points);
    if (!(pq > 0.0)) return;
    const float alpha = float(rz / pq);
    const double next = s.fit.step({alpha, x, w.r, w.z, w.p, w.q, s.invDiag, points});
    if (!(next > settled)) return;
    s.fit.direction(float(next / rz), w.p, w.z, points);
    rz = next;
  }
}

}  // namespace

void chebyshevPasses(std::vector<int32_t>& dist, int32_t n) {
  const int64_t points = int64_t(n) * n * n;
  for (int pass = 0; pass < 2; ++pass) {
    const int32_t sign = pass == 0 ? -1 : 1;  // the neighbours already visited in this pass
    for (int64_t step = 0; step < points; ++step) {
      const int64_t j = pass == 0 ? step : points - 1 - step;
      const int32_t idx[3] = {int32_t(j / (int64_t(n) * n)), int32_t(j / n % n), int32_t(j % n)};
      int32_t best = dist[size_t(j)];
      for (int o = 0; o < 27; ++o) {
        const int32_t d[3] = {o / 9 - 1, o / 3 % 3 - 1, o % 3 - 1};
        // Neighbours before j in raster order on the forward pass, after it on the backward one.
        const int32_t order = d[0] != 0 ? d[0] : (d[1] != 0 ? d[1] : d[2]);
        if (order != sign) continue;
        const int32_t r = idx[0] + d[0], g = idx[1] + d[1], b = idx[2] + d[2];
        if (r < 0 || g < 0 || b < 0 || r >= n || g >= n || b >= n) continue;
        best = std::min(best, dist[size_t((int64_t(r) * n + g) * n + b)] + 1);
      }
      dist[size_t(j)] = best;
    }
  }
}

void runFitTasks(const FitTasks& tasks, int32_t count, const FitTaskBody& body) {
  if (tasks.run && tasks.threads > 1 && count > 1) {
    tasks.run(count, body);
  } else {
    for (int32_t t = 0; t < count; ++t) body(t, 0);
  }
}

std::vector<int32_t> fitLevelSizes(int32_t n, int32_t coarsest) {
  std::vector<int32_t> sizes{n};
  coarsest = std::max(coarsest, 2);
  while ((sizes.back() - 1) % 2 == 0 && (sizes.back() - 1) / 2 + 1 >= coarsest) {
    sizes.push_back((sizes.back() - 1) / 2 + 1);
  }
  std::reverse(sizes.begin(), sizes.end());
  return sizes;
}

void prolongLattice(const float* coarse, int32_t m, float* fine) {
  const int32_t n = 2 * m - 1;
  const int64_t plane = int64_t(n) * n;
  for (int32_t r = 0; r < m; ++r)
    for (int32_t g = 0; g < m; ++g)
      for (int32_t b = 0; b < m; ++b)
        fine[2 * r * plane + int64_t(2 * g) * n + 2 * b] = coarse[(int64_t(r) * m + g) * m + b];
  // Midpoints along blue in the coarse rows, then along green in the coarse planes, then red.
  for (int32_t r = 0; r < n; r += 2)
    for (int32_t g = 0; g < n; g += 2)
      for (int32_t b = 1; b < n; b += 2) {
        float* v = fine + r * plane + int64_t(g) * n + b;
        *v = 0.5f * (v[-1] + v[1]);
      }
  for (int32_t r = 0; r < n; r += 2)
    for (int32_t g = 1; g < n; g += 2)
      for (int32_t b = 0; b < n; ++b) {
        float* v = fine + r * plane + int64_t(g) * n + b;
        *v = 0.5f * (v[-n] + v[n]);
      }
  for (int32_t r = 1; r < n; r += 2)
    for (int64_t gb = 0; gb < plane; ++gb) {
      float* v = fine + r * plane + gb;
      *v = 0.5f * (v[-plane] + v[plane]);
    }
}

bool fitLattice(const FramePair* frames, int32_t frameCount, LUT3D& lut, PreserveMode mode, KernelSet kernels,
                const FitSettings& settings, const FitTasks& tasks) {
  lut.valid = false;
  const int32_t n = lut.size;
  // Beyond 1024 points the lattice's point indices would leave 32 bits (and its arrays memory).
  if (!latticeUsable(lut) || n > 1024) return false;
  const FitKernels& fit = kernelsFor(kernels).fit;
  try {
    Pairs pairs;
    forEachPairBatch(frames, frameCount, mode, kernels, [&](const PairBatch& batch) {
      for (int c = 0; c < 3; ++c) {
        pairs.source[c].insert(pairs.source[c].end(), batch.src[c], batch.src[c] + batch.count);
        for (int i = 0; i < batch.count; ++i) pairs.target[c].push_back(batch.target[c][i] - batch.src[c][i]);
      }
    });

    const std::vector<int32_t> sizes = fitLevelSizes(n, settings.coarsest);
    int32_t distanceLevel = sizes.front();
    for (int32_t size : sizes)
      if (size <= settings.distanceLevel) distanceLevel = size;
    const std::vector<int32_t> dist = distanceToPairs(pairs, distanceLevel, settings.occupied);

    std::vector<float> solution[3], share, coarserShare;
    int32_t coarser = 0;
    for (size_t level = 0; level < sizes.size(); ++level) {
      const int32_t size = sizes[level];
      const int64_t points = int64_t(size) * size * size;
      const int32_t fromFinest = int32_t(sizes.size() - 1 - level);
      const int32_t iterations = settings.iterations[std::min(fromFinest, 5)];
      fallOffShare(dist, distanceLevel, size, settings.reach, coarserShare, coarser, share);
      if (iterations <= 0) {
        // Nothing to solve here: the coarser solution as this level's lattice stands for it.
        std::vector<float> fine[3];
        for (auto& f : fine) f.assign(static_cast<size_t>(points), 0.0f);
        if (coarser > 0)
          runFitTasks(tasks, 3,
                      [&](int32_t c, int32_t) { prolongLattice(solution[c].data(), coarser, fine[c].data()); });
        for (int c = 0; c < 3; ++c) solution[c].swap(fine[c]);
        coarserShare.swap(share);
        coarser = size;
        continue;
      }
      const float spacing = 1.0f / float(size - 1);
      const float lambda = settings.lambda / spacing;
      const float eps = settings.falloff * spacing * spacing * spacing;

      DataTerm data;
      if (pairs.count() > 0) gatherData(pairs, size, fit, tasks, data);

      // x[3], b[3], eps, the diagonal's inverse, and each channel's five working arrays.
      LatticeArrays arrays(8, size);
      LatticeArrays work(15, size);
      float* x[3] = {arrays[0], arrays[1], arrays[2]};
      float* b[3] = {arrays[3], arrays[4], arrays[5]};
      float* epsField = arrays[6];
      float* invDiag = arrays[7];
      const std::vector<float> priorDiag = laplacianDiagonal(size);
      std::vector<float> diag(static_cast<size_t>(points));
      for (int64_t j = 0; j < points; ++j) {
        epsField[j] = eps * share[size_t(j)];
        diag[size_t(j)] = lambda * priorDiag[size_t(j)] + epsField[j];
      }
      for (int64_t s = 0; s < data.count(); ++s)
        for (int k = 0; k < 8; ++k) {
          const int64_t j = data.base[size_t(s)] + cornerOffset(k, size);
          diag[size_t(j)] += data.moments[size_t(s * 64 + k * 9)];
          for (int c = 0; c < 3; ++c) b[c][j] += data.rhs[c][size_t(s * 8 + k)];
        }
      // A point that nothing constrains (no neighbours, pairs or pull) keeps its start.
      for (int64_t j = 0; j < points; ++j) invDiag[j] = diag[size_t(j)] > 0.0f ? 1.0f / diag[size_t(j)] : 0.0f;

      if (coarser > 0)
        runFitTasks(tasks, 3, [&](int32_t c, int32_t) { prolongLattice(solution[c].data(), coarser, x[c]); });

      // The Laplacian's masks over one plane, with n + 16 zeros before and after.
      const int64_t plane = int64_t(size) * size;
      const int64_t maskPad = int64_t(size) + 16;
      std::vector<float> masks(size_t(2 * (plane + 2 * maskPad)), 0.0f);
      float* maskB = masks.data() + maskPad;
      float* maskG = maskB + plane + 2 * maskPad;
      for (int32_t g = 0; g < size; ++g)
        for (int32_t bb = 0; bb < size; ++bb) {
          maskB[int64_t(g) * size + bb] = bb > 0 && bb < size - 1 ? 1.0f : 0.0f;
          maskG[int64_t(g) * size + bb] = g > 0 && g < size - 1 ? 1.0f : 0.0f;
        }

      const Solver solver{fit, size, points, lambda, data, epsField, maskB, maskG, invDiag};
      runFitTasks(tasks, 3, [&](int32_t c, int32_t) {
        solveChannel(solver, x[c], b[c], iterations,
                     {work[5 * c], work[5 * c + 1], work[5 * c + 2], work[5 * c + 3], work[5 * c + 4]});
      });

      for (int c = 0; c < 3; ++c) solution[c].assign(x[c], x[c] + points);
      coarserShare.swap(share);
      coarser = size;
    }

    std::vector<float> coord(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) coord[size_t(i)] = latticeCoordinate(i, n);
    runFitTasks(tasks, n, [&](int32_t r, int32_t) {
      int64_t j = int64_t(r) * n * n;
      float* out = lut.data + j * 3;
      for (int32_t g = 0; g < n; ++g)
        for (int32_t b = 0; b < n; ++b, ++j, out += 3) {
          out[0] = clampUnit(coord[size_t(r)] + solution[0][size_t(j)]);
          out[1] = clampUnit(coord[size_t(g)] + solution[1][size_t(j)]);
          out[2] = clampUnit(coord[size_t(b)] + solution[2][size_t(j)]);
        }
    });
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  lut.valid = true;
  return true;
}

}  // namespace engine

bool buildMatchLUT_FittedLattice(const FramePair* frames, int32_t frameCount, LUT3D& lut, PreserveMode mode,
                                 KernelSet kernels, const ParallelFor* parallel) {
  engine::FitTasks tasks;
  if (parallel && parallel->run) {
    tasks.threads = slotCount(parallel);
    tasks.run = [parallel](int32_t count, const engine::FitTaskBody& body) {
      runTasks(parallel, count, [&body](int32_t task, int32_t slot) { body(task, slot); });
    };
  }
  return engine::fitLattice(frames, frameCount, lut, mode, kernels, engine::FitSettings{}, tasks);
}
