// colour_eval's table of Same Frame's two learners ("Same Frame Fit") side by side per working
// space: the in-frame figures, the image against itself, and the .cube learnt on each graded pair
// applied to the next photograph with the same grade, through the config --ocio-config-out
// writes (as another application would apply it).
#include "colour_eval.h"
#include "imaging/quality.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// The next photograph's distance from its graded copy, after/before the look of `config`.
double lookOnOther(const std::string& config, const std::string& source, const std::string& reference) {
  Image other;
  std::string error;
  if (!readColourImage(source, other, error)) fail(error);
  // OpenColorIO keeps the LUT files it has read by path: without this every run would apply the
  // first .cube ever written there.
  OCIO::ClearAllCaches();
  OCIO::ConstConfigRcPtr look = OCIO::Config::CreateFromFile(config.c_str());
  OCIO::PackedImageDesc pixels(other.pixels.data(), other.width, other.height, 4);
  look->getProcessor(kSrgbTexture, kMatchSpace)->getDefaultCPUProcessor()->apply(pixels);
  // Written as an 8-bit file would be, like the in-frame outputs.
  for (size_t i = 0; i < other.pixels.size(); ++i)
    if (i % 4 != 3) other.pixels[i] = std::round(std::min(1.0f, std::max(0.0f, other.pixels[i])) * 255.0f) / 255.0f;
  srgbDecode(other.pixels.data(), size_t(other.width) * size_t(other.height), 4);
  const Image before = linearOf(source, "srgb"), target = linearOf(reference, "srgb");
  return comparePixels(other, target).mean / comparePixels(before, target).mean;
}

}  // namespace

void learnerTable(const EvalOptions& o, const std::vector<std::string>& spaces, const std::vector<std::string>& names,
                  const std::vector<Grade>& gradeList, const std::string& dir) {
  std::printf(
      "\nSame Frame by learner (\"Same Frame Fit\"): after/before of the mean dE2000 per pixel on each graded "
      "pair, and with its .cube applied to the next photograph graded alike\n\n");
  std::printf(
      "| learner | working space | in-frame mean | in-frame worst | pairs worse | identical: mean | "
      "other picture: mean | other picture: worst |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  struct Row {
    const char* learner;  // null: the tool's defaults
    std::string space;
  };
  std::vector<Row> rows;
  for (const char* learner : {"cells", "lattice"})
    for (const std::string& space : spaces)
      if (!space.empty()) rows.push_back({learner, space});
  rows.push_back({nullptr, ""});
  const std::string output = dir + "/learner.png", config = dir + "/learner.ocio";
  for (const Row& row : rows) {
    std::vector<double> ratio, still, cross;
    int worse = 0;
    auto run = [&](const std::string& source, const std::string& reference) {
      std::vector<std::string> args = {"match", source,     reference,    "-o",
                                       output,  "--mode",   "same",       "--ocio-config-out",
                                       config,  "--plugin", pluginPath(), "-q"};
      if (row.learner) args.insert(args.end(), {"--fit", row.learner});
      if (!row.space.empty()) args.insert(args.end(), {"--working-space", row.space});
      args.insert(args.end(), o.toolOptions.begin(), o.toolOptions.end());
      if (const int status = runTool(args)) fail("vantrel failed (" + std::to_string(status) + ") on " + source);
      return comparePixels(linearOf(output, "srgb"), linearOf(reference, "srgb")).mean;
    };
    const std::string label = std::string(row.learner ? row.learner : "(default)") + " " +
                              (row.space.empty() ? std::string("(default)") : row.space);
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string source = dir + "/" + names[i] + ".png", next = dir + "/" + names[(i + 1) % names.size()];
      for (const Grade& g : gradeList) {
        const std::string reference = dir + "/" + names[i] + "." + g.name + ".png";
        const double after = run(source, reference);
        const double before = comparePixels(linearOf(source, "srgb"), linearOf(reference, "srgb")).mean;
        ratio.push_back(after / before);
        worse += after > before;
        cross.push_back(lookOnOther(config, next + ".png", next + "." + g.name + ".png"));
        if (o.pairs)
          std::fprintf(stderr, "%s %s %s: %.3f, on the next picture %.3f\n", label.c_str(), names[i].c_str(), g.name,
                       ratio.back(), cross.back());
      }
      still.push_back(run(source, source));
    }
    std::printf("| %s | %s | %.3f | %.3f | %d of %zu | %.3f (worst %.3f) | %.3f | %.3f |\n",
                row.learner ? row.learner : "(default)", row.space.empty() ? "(default)" : row.space.c_str(),
                mean(ratio), *std::max_element(ratio.begin(), ratio.end()), worse, ratio.size(), mean(still),
                *std::max_element(still.begin(), still.end()), mean(cross),
                *std::max_element(cross.begin(), cross.end()));
    std::fflush(stdout);
  }
}
