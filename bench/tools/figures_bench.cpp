// What the match figures cost a frame of `vantrel match`: the built tool run on a shot of
// half-float EXR plates at 1920x1080 (8 frames) and 3840x2160 (4 frames), with --report alone,
// --report-json alone, a --sheet per frame alone and the three together (Different Clips; the
// three together in Same Frame too), against the same shot without them; the two runs of an
// iteration go one after the other so that both see the same load.
//
// Counters: "x_frame", a frame with the figures over one without, by the run's own accounting
// (--timings: the frames' time over that time less the figures step, which holds the sheet
// too); "x_run", the whole run with figures over the one without, wall-clock, start-up
// included, as a user times it; "x_run_cpu", the same in processor time (user and system),
// which other work on the machine disturbs less. Run with --benchmark_repetitions=5
// --benchmark_report_aggregates_only=true for medians.
#include "imaging/image_io.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
namespace OIIO = OIIO_NAMESPACE;

namespace {

// A photograph scaled to width x height, in linear float RGBA, times a per-channel gain.
Image plate(const char* photo, int width, int height, const float gain[3]) {
  OIIO::ImageBuf file(std::string(VANTREL_PHOTOS) + "/" + photo);
  const OIIO::ROI roi(0, width, 0, height, 0, 1, 0, 3);
  OIIO::ImageBuf scaled = OIIO::ImageBufAlgo::resize(file, "", 0.0f, roi);
  if (scaled.has_error()) throw std::runtime_error(scaled.geterror());
  std::vector<float> rgb(size_t(width) * size_t(height) * 3);
  scaled.get_pixels(roi, OIIO::TypeDesc::FLOAT, rgb.data());
  Image image;
  image.width = width;
  image.height = height;
  image.pixels.resize(size_t(width) * size_t(height) * 4, 1.0f);
  for (size_t p = 0; p < size_t(width) * size_t(height); ++p)
    for (size_t c = 0; c < 3; ++c) {
      const float v = rgb[p * 3 + c];  // sRGB code value
      const float linear = v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
      image.pixels[p * 4 + c] = gain[c] * linear;
    }
  return image;
}

void write(const std::string& path, Image image, SampleDepth depth) {
  image.depth = depth;
  WriteSettings settings;
  settings.depth = depth;
  std::string error;
  if (!writeColourImage(path, image, settings, error)) throw std::runtime_error(error);
}

// The shots made, removed at exit.
struct Shots {
  std::map<int, std::string> dirs;
  ~Shots() {
    std::error_code ignored;
    for (const auto& [width, dir] : dirs) fs::remove_all(dir, ignored);
  }
};

// The shot of one size, made once: plates/f.####.exr, a held Reference (Different Clips) and a
// graded copy of each plate (Same Frame).
std::string shot(int width, int height, int frames) {
  static Shots made;
  auto found = made.dirs.find(width);
  if (found != made.dirs.end()) return found->second;
  const std::string dir =
      (fs::temp_directory_path() / ("vantrel-figures-bench-" + std::to_string(getpid()) + "-" + std::to_string(width)))
          .string();
  fs::create_directories(dir + "/plates");
  fs::create_directories(dir + "/out");
  const float none[3] = {1.0f, 1.0f, 1.0f}, warm[3] = {1.15f, 1.0f, 0.8f};
  const Image rocket = plate("rocket.jpg", width, height, none), graded = plate("rocket.jpg", width, height, warm);
  for (int f = 1; f <= frames; ++f) {
    write(dir + "/plates/f." + std::to_string(1000 + f) + ".exr", rocket, SampleDepth::Half);
    write(dir + "/plates/g." + std::to_string(1000 + f) + ".exr", graded, SampleDepth::Half);
  }
  write(dir + "/reference.exr", plate("coffee.png", width, height, none), SampleDepth::Half);
  return made.dirs[width] = dir;
}

// Wall-clock and processor seconds (user and system) of one run of the tool.
struct Seconds {
  double wall = 0, cpu = 0;
};

Seconds run(const std::vector<std::string>& args, const std::string& errors) {
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  std::string program = VANTREL_TOOL;
  argv.push_back(program.data());
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot run " + program + ": " + std::strerror(spawned));
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("vantrel failed");
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + 1e-6 * double(t.tv_usec); };
  return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
          seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

// The figures' share of the frames' time by the run's own accounting (the line --timings
// writes): that time over that time less the figures step ("quality", which holds the sheet
// too). The steps of a frame run one after another in one process, so a busy machine slows
// them alike.
double frameRatio(const std::string& errorsPath) {
  std::ifstream in(errorsPath);
  std::string line;
  while (std::getline(in, line)) {
    double total = 0, quality = 0;
    const size_t at = line.find("timings for "), step = line.find("quality ");
    if (at == std::string::npos || step == std::string::npos) continue;
    if (std::sscanf(line.c_str() + line.find(" in ", at), " in %lf s", &total) == 1 &&
        std::sscanf(line.c_str() + step, "quality %lf s", &quality) == 1 && total > quality)
      return total / (total - quality);
  }
  throw std::runtime_error("no timings line in " + errorsPath);
}

// What a run asks for: 0 --report, 1 --report-json, 2 a --sheet per frame, 3 all three.
const char* const kFigures[] = {"report", "report-json", "sheet", "all"};

void BM_Figures(benchmark::State& state) {
  const int width = int(state.range(0)), height = width * 9 / 16, frames = int(state.range(3));
  const bool same = state.range(1) != 0;
  const int figures = int(state.range(2));
  const std::string dir = shot(width, height, frames);
  std::vector<std::string> plain = {"match",
                                    dir + "/plates/f.%04d.exr",
                                    same ? dir + "/plates/g.%04d.exr" : dir + "/reference.exr",
                                    "-o",
                                    dir + "/out/f.%04d.exr",
                                    "--frames",
                                    "1001-" + std::to_string(1000 + frames),
                                    "--mode",
                                    same ? "same" : "different",
                                    "--plugin",
                                    VANTREL_PLUGIN,
                                    "-q",
                                    "--timings"};
  std::vector<std::string> figured = plain;
  if (figures == 0 || figures == 3) figured.push_back("--report");
  if (figures == 1 || figures == 3) figured.insert(figured.end(), {"--report-json", dir + "/out/report.json"});
  if (figures == 2 || figures == 3) figured.insert(figured.end(), {"--sheet", dir + "/out/sheet.%04d.png"});
  const std::string errors = dir + "/out/errors.txt";
  Seconds without, with;
  double frameShare = 0;
  for (auto _ : state) {
    without = run(plain, errors);
    with = run(figured, errors);
    frameShare = frameRatio(errors);
    state.SetIterationTime(with.wall);
  }
  state.SetLabel(kFigures[figures]);
  state.counters["x_frame"] = frameShare;
  state.counters["x_run"] = with.wall / without.wall;
  state.counters["x_run_cpu"] = with.cpu / without.cpu;
}

void figureArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"width", "same", "figures", "frames"});
  for (int width : {1920, 3840}) {
    const int frames = width == 1920 ? 8 : 4;
    for (int figures = 0; figures < 4; ++figures) b->Args({width, 0, figures, frames});
    b->Args({width, 1, 3, frames});
  }
}

BENCHMARK(BM_Figures)->Apply(figureArgs)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
