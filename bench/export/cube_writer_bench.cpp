// The 65-point .cube export, written while the user waits, against the same file written with
// one fprintf per entry line. Both write into one scratch folder (VANTREL_BENCH_DIR or the
// system temporary folder) in the same run; the summary gives their ratio and whether the two
// files are byte for byte the same.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "export/cube_writer.h"

namespace {

struct Fixture {
  std::vector<float> values;
  LUT3D lut;
  CubeMixes mixes{0.8, 1.0, 0.9, 0.7};
  std::string dir;

  Fixture() : values(size_t(kLutFloats)), lut{values.data(), kLutSize, true} {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> value(-0.1f, 1.1f);
    for (float& v : values) v = value(rng);
    const char* env = getenv("VANTREL_BENCH_DIR");
    std::string pattern = std::string(env ? env : P_tmpdir) + "/vantrel-bench-XXXXXX";
    dir = mkdtemp(pattern.data()) ? pattern : std::string(".");
  }
  ~Fixture() {
    unlink((dir + "/fast.cube").c_str());
    unlink((dir + "/fprintf.cube").c_str());
    rmdir(dir.c_str());
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

float clampEntry(float v) { return v >= 1.0f || v != v ? 1.0f : v <= 0.0f ? 0.0f : v; }

bool writeWithFprintf(const char* path, const LUT3D& lut, const CubeMixes& m) {
  FILE* f = fopen(path, "w");
  if (!f) return false;
  char header[1024];
  size_t length = formatCubeHeader(lut, m, header, sizeof header);
  fwrite(header, 1, length, f);
  const int n = lut.size;
  const float d = float(n - 1);
  const float mix = float(m.mix);
  const float sR = mix * float(m.red), sG = mix * float(m.green), sB = mix * float(m.blue);
  for (int b = 0; b < n; ++b)
    for (int g = 0; g < n; ++g)
      for (int r = 0; r < n; ++r) {
        const float* e = lut.data + ((int64_t(r) * n + g) * n + b) * 3;
        float red = float(r) / d * (1.0f - sR) + sR * e[0];
        float green = float(g) / d * (1.0f - sG) + sG * e[1];
        float blue = float(b) / d * (1.0f - sB) + sB * e[2];
        fprintf(f, "%.6f %.6f %.6f\n", double(clampEntry(red)), double(clampEntry(green)), double(clampEntry(blue)));
      }
  return fclose(f) == 0;
}

void BM_CubeExport(benchmark::State& state) {
  Fixture& f = fixture();
  std::string path = f.dir + "/fast.cube";
  for (auto _ : state) {
    if (!writeCubeFile(path.c_str(), f.lut, f.mixes)) state.SkipWithError("export failed");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 7414875);
}

void BM_CubeExportFprintf(benchmark::State& state) {
  Fixture& f = fixture();
  std::string path = f.dir + "/fprintf.cube";
  for (auto _ : state) {
    if (!writeWithFprintf(path.c_str(), f.lut, f.mixes)) state.SkipWithError("export failed");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 7414875);
}

// The entry formatting alone, without the file system.
void BM_CubeFormatEntries(benchmark::State& state) {
  Fixture& f = fixture();
  std::vector<char> text(size_t(kLutSize) * kLutSize * kLutSize * kCubeEntryBytes);
  for (auto _ : state) {
    formatCubeSlices(f.lut, f.mixes, 0, kLutSize, text.data());
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 7414875);
}

BENCHMARK(BM_CubeExportFprintf)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_CubeExport)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_CubeFormatEntries)->Unit(benchmark::kMillisecond)->MinTime(1.0);

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Keeps each benchmark's wall time per iteration for the summary: the mean over repetitions
// when there are several, else the single run.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  RecordingReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
  std::map<std::string, double> seconds;
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const bool wanted =
          run.run_type == Run::RT_Aggregate ? run.aggregate_name == "mean" : !seconds.count(run.run_name.function_name);
      if (wanted && run.iterations > 0 && !run.error_occurred)
        seconds[run.run_name.function_name] =
            run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  Fixture& f = fixture();
  const std::string fast = contents(f.dir + "/fast.cube"), literal = contents(f.dir + "/fprintf.cube");
  const double fastTime = reporter.seconds["BM_CubeExport"], literalTime = reporter.seconds["BM_CubeExportFprintf"];
  if (fastTime > 0 && literalTime > 0)
    printf("export speed-up over fprintf: %.1fx (%.1f ms vs %.1f ms)\n", literalTime / fastTime, fastTime * 1e3,
           literalTime * 1e3);
  if (!fast.empty() && !literal.empty()) {
    const bool same = fast == literal;
    printf("files byte-identical: %s (%zu bytes)\n", same ? "yes" : "NO", fast.size());
    if (!same) return 1;
  }
  benchmark::Shutdown();
  return 0;
}
