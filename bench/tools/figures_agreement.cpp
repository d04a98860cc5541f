// How far the figures of the fixed sample (what `vantrel match` reports) stray from those of
// every pixel, on photographs: each as it is and scaled to 1920x1080 and 3840x2160, against a
// graded copy of itself (Same Frame: mean and 95th percentile dE2000 per pixel) and against
// the next photograph (Different Clips: dE2000 of the mean colours and the spread).
//
//   figures_agreement [DIR...]   (default: the repository's photographs)
//
// Prints one row per photograph and size, then the largest differences.
#include "imaging/colour.h"
#include "imaging/image_io.h"
#include "imaging/quality.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
namespace OIIO = OIIO_NAMESPACE;

namespace {

// A photograph in linear light, at its size (width 0) or scaled to width x height.
Image linearPhoto(const std::string& path, int width, int height) {
  OIIO::ImageBuf file(path);
  OIIO::ROI roi = file.roi();
  roi.chend = 3;
  if (width > 0) {
    roi.xend = width;
    roi.yend = height;
    file = OIIO::ImageBufAlgo::resize(file, "", 0.0f, roi);
  }
  Image image;
  image.width = roi.width();
  image.height = roi.height();
  image.channels = 3;
  image.pixels.resize(size_t(image.width) * size_t(image.height) * 3);
  file.get_pixels(roi, OIIO::TypeDesc::FLOAT, image.pixels.data());
  srgbDecode(image.pixels.data(), size_t(image.width) * size_t(image.height), 3);
  return image;
}

Image graded(Image image, float r, float g, float b, float power) {
  const float gain[3] = {r, g, b};
  for (size_t i = 0; i < image.pixels.size(); ++i) image.pixels[i] = gain[i % 3] * std::pow(image.pixels[i], power);
  return image;
}

struct Worst {
  double mean = 0, p95 = 0, meanColour = 0, spread = 0;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> photos;
  std::vector<std::string> dirs(argv + 1, argv + argc);
  if (dirs.empty()) dirs.push_back(VANTREL_PHOTOS);
  for (const std::string& dir : dirs)
    for (const auto& entry : fs::directory_iterator(dir)) {
      const std::string ext = entry.path().extension().string();
      if (ext == ".png" || ext == ".jpg") photos.push_back(entry.path().string());
    }
  std::sort(photos.begin(), photos.end());
  if (photos.size() < 2) {
    std::fprintf(stderr, "figures_agreement: give folders with two photographs or more\n");
    return 1;
  }
  std::printf("%-22s %-10s %8s | %-27s %-27s | %-17s %-17s\n", "photograph", "size", "sample", "mean whole/sample",
              "p95 whole/sample", "colour whole/smp", "spread whole/smp");
  Worst worst;
  for (const int size : {0, 1920, 3840}) {
    for (size_t i = 0; i < photos.size(); ++i) {
      const Image source = linearPhoto(photos[i], size, size * 9 / 16);
      const Image reference = linearPhoto(photos[(i + 1) % photos.size()], size, size * 9 / 16);
      const Image grade = graded(source, 1.1f, 1.0f, 0.85f, 1.1f), output = graded(source, 1.05f, 1.0f, 0.9f, 1.05f);
      const MatchQuality s = measureMatch(true, source, grade, output, nullptr, nullptr, nullptr);
      const MatchQuality w = measureMatch(true, source, grade, output, nullptr, nullptr, nullptr, kEveryPixel);
      const MatchQuality ds = measureMatch(false, source, reference, output, nullptr, nullptr, nullptr);
      const MatchQuality dw = measureMatch(false, source, reference, output, nullptr, nullptr, nullptr, kEveryPixel);
      const std::string name = fs::path(photos[i]).filename().string();
      const std::string dims = std::to_string(source.width) + "x" + std::to_string(source.height);
      std::printf("%-22s %-10s %7.1f%% | %6.3f/%6.3f %6.3f/%6.3f | %6.3f/%6.3f %6.3f/%6.3f | %7.3f/%7.3f %7.3f/%7.3f\n",
                  name.c_str(), dims.c_str(), 100.0 * double(s.sourceSample.measured) / double(s.sourceSample.of),
                  w.pixelsBefore.mean, s.pixelsBefore.mean, w.pixelsAfter.mean, s.pixelsAfter.mean, w.pixelsBefore.p95,
                  s.pixelsBefore.p95, w.pixelsAfter.p95, s.pixelsAfter.p95, dw.spreadBefore.meanColourDeltaE,
                  ds.spreadBefore.meanColourDeltaE, dw.spreadBefore.stdDevDistance, ds.spreadBefore.stdDevDistance);
      for (const auto& [a, b] : {std::pair{s.pixelsBefore, w.pixelsBefore}, {s.pixelsAfter, w.pixelsAfter}}) {
        worst.mean = std::max(worst.mean, std::fabs(a.mean - b.mean));
        worst.p95 = std::max(worst.p95, std::fabs(a.p95 - b.p95));
      }
      for (const auto& [a, b] : {std::pair{ds.spreadBefore, dw.spreadBefore}, {ds.spreadAfter, dw.spreadAfter}}) {
        worst.meanColour = std::max(worst.meanColour, std::fabs(a.meanColourDeltaE - b.meanColourDeltaE));
        worst.spread = std::max(worst.spread, std::fabs(a.stdDevDistance - b.stdDevDistance));
      }
    }
  }
  std::printf(
      "largest difference, sample against every pixel: mean %.3f, 95th percentile %.3f, mean colour %.3f, "
      "spread %.3f\n",
      worst.mean, worst.p95, worst.meanColour, worst.spread);
  return 0;
}
