// The scene-linear and camera log sets of the colour evaluation. Each photograph becomes a plate
// in linear light with highlights above 1 (half float EXR): in turn the photograph in linear
// light times 4, with its highlights stretched up to 16, times 2 and times 8. The plates are
// graded in linear light and in log spaces without clipping, matched against each other and
// against the next photograph as it stands (an 8-bit sRGB PNG), and encoded in each camera space
// of the built-in set as 10-bit DPX files, as scans and camera exports come.
#include "colour_eval.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>

namespace fs = std::filesystem;

namespace {

struct HdrGrade {
  const char* name;
  const char* what;
  std::function<OCIO::ConstTransformRcPtr()> make;
};

std::vector<HdrGrade> hdrGrades() {
  return {
      {"lin-warm", "exposure +0.5 stop and a warm 3x3 matrix in linear Rec.709",
       [] {
         auto group = OCIO::GroupTransform::Create();
         group->appendTransform(exposure(0.5));
         group->appendTransform(matrix({1.10, 0.04, -0.02, 0.02, 0.98, 0.0, -0.02, 0.03, 0.86}));
         return inSpace(kLinearRec709, group, kLinearRec709);
       }},
      {"lin-down", "exposure -0.7 stop and contrast 1.15 in linear Rec.709 (pivot 0.18)",
       [] { return inSpace(kLinearRec709, exposure(-0.7, 1.15), kLinearRec709); }},
      {"cdl-acescct", "CDL in ACEScct: slope 1.05 1.0 0.94, offset 0.015 0 -0.02, sat 0.85",
       [] {
         return inSpace(kAcesCct, cdl({1.05, 1.0, 0.94}, {0.015, 0.0, -0.02}, {1, 1, 1}, 0.85), kLinearRec709);
       }},
      {"cdl-logc3", "CDL in ARRI LogC3: slope 0.96 1.0 1.05, offset -0.01 0.005 0.015, sat 1.15",
       [] {
         return inSpace(kCameraSpaces[0].name, cdl({0.96, 1.0, 1.05}, {-0.01, 0.005, 0.015}, {1, 1, 1}, 1.15),
                        kLinearRec709);
       }},
  };
}

// The photograph in linear light times a gain, or (gain 0) with its highlights stretched: 1
// becomes 16, 0.5 1.28, 0.18 0.37.
Image plateOf(const Image& photo, float gain) {
  Image plate = photo;
  srgbDecode(plate.pixels.data(), size_t(plate.width) * size_t(plate.height), 4);
  for (size_t i = 0; i < plate.pixels.size(); ++i) {
    if (i % 4 == 3) continue;
    const float v = std::min(1.0f, std::max(0.0f, plate.pixels[i]));
    plate.pixels[i] = gain > 0 ? gain * v : 2.0f * v / (1.0f - 0.875f * v * v);
  }
  plate.depth = SampleDepth::Half;
  return plate;
}

Image noNegatives(Image image) {
  for (size_t i = 0; i < image.pixels.size(); ++i)
    if (i % 4 != 3) image.pixels[i] = std::max(0.0f, image.pixels[i]);
  return image;
}

void writeExr(const std::string& path, const Image& image, const char* space, SampleDepth depth) {
  WriteSettings settings;
  settings.depth = depth;
  settings.keepAlpha = false;
  const SpaceMetadata metadata = spaceMetadata(space);
  settings.colourSpace = metadata.attribute;
  settings.chromaticities = metadata.primaries;
  std::string error;
  if (!writeColourImage(path, image, settings, error)) fail(error);
}

// A 10-bit DPX of the plate in a camera's log encoding.
void writeCameraDpx(const std::string& path, const Image& linear, const char* space) {
  Image log = linear;
  const ColourConfig builtIn{builtInConfig(), "built-in"};
  Conversion conversion;
  std::string error;
  if (!makeConversion(builtIn, kLinearRec709, space, conversion, error)) fail(error);
  conversion.apply(log);
  OIIO::ImageSpec imageSpec(log.width, log.height, 3, OIIO::TypeDesc::UINT16);
  imageSpec.attribute("oiio:BitsPerSample", 10);
  imageSpec.attribute("dpx:Transfer", "Logarithmic");
  std::vector<float> rgb;
  for (size_t i = 0; i < log.pixels.size(); i += 4)
    rgb.insert(rgb.end(), {log.pixels[i], log.pixels[i + 1], log.pixels[i + 2]});
  auto out = OIIO::ImageOutput::create(path);
  if (!out || !out->open(path, imageSpec) || !out->write_image(OIIO::TypeDesc::FLOAT, rgb.data()) || !out->close())
    fail("cannot write '" + path + "'");
}

struct Plates {
  std::vector<std::string> names;
  std::vector<Image> linear;
  std::vector<std::vector<Image>> graded;  // per plate, per grade
};

Plates makePlates(const EvalOptions& o, const std::vector<std::string>& photos, const std::string& dir) {
  Plates plates;
  const std::vector<HdrGrade> grades = hdrGrades();
  for (size_t i = 0; i < photos.size(); ++i) {
    const std::string name = fs::path(photos[i]).stem().string();
    const Image photo = readPhoto(photos[i], o.width);
    plates.names.push_back(name);
    const float gains[4] = {4, 0, 2, 8};
    plates.linear.push_back(plateOf(photo, gains[i % 4]));
    writeExr(dir + "/" + name + ".plate.exr", plates.linear.back(), kLinearRec709, SampleDepth::Half);
    std::vector<Image> graded;
    for (const HdrGrade& g : grades) {
      graded.push_back(noNegatives(applied(plates.linear.back(), g.make())));
      writeExr(dir + "/" + name + ".plate." + g.name + ".exr", graded.back(), kLinearRec709, SampleDepth::Half);
    }
    plates.graded.push_back(graded);
  }
  return plates;
}

}  // namespace

void runHdrTables(const EvalOptions& o, const std::vector<std::string>& photos, const std::string& dir) {
  const Plates plates = makePlates(o, photos, dir);
  const std::vector<HdrGrade> grades = hdrGrades();
  std::vector<Pair> graded, identical, toPlates, toPhotos;
  const size_t n = plates.names.size();
  auto plate = [&](size_t i) { return dir + "/" + plates.names[i] + ".plate.exr"; };
  for (size_t i = 0; i < n; ++i) {
    const std::string& name = plates.names[i];
    for (const HdrGrade& g : grades)
      graded.push_back(
          {name + " " + g.name, plate(i), dir + "/" + name + ".plate." + g.name + ".exr", "lin_rec709", "lin_rec709"});
    identical.push_back({name + " itself", plate(i), plate(i), "lin_rec709", "lin_rec709"});
    const size_t j = (i + 1) % n;
    toPlates.push_back({name + " to " + plates.names[j], plate(i), plate(j), "lin_rec709", "lin_rec709"});
    toPhotos.push_back(
        {name + " to " + plates.names[j] + " (photo)", plate(i), dir + "/" + plates.names[j] + ".png", "lin_rec709"});
    // The photograph as the SDR tables store it, should they not have run.
    if (!fs::exists(toPhotos.back().reference)) {
      WriteSettings settings;
      settings.depth = SampleDepth::UInt8;
      settings.keepAlpha = false;
      settings.colourSpace = "sRGB";
      std::string error;
      if (!writeColourImage(toPhotos.back().reference, readPhoto(photos[j], o.width), settings, error)) fail(error);
    }
  }
  std::printf(
      "\nScene-linear plates: %zu photographs in linear light as half float EXR, in turn times 4, with highlights "
      "stretched to 16, times 2 and times 8; %zu graded pairs (not clipped), %zu identical pairs, "
      "%zu pairs of different plates, %zu plates against a photograph (8-bit sRGB PNG). Outputs written as "
      "float EXR in linear Rec.709; top: the 99.9th percentile of the largest of R, G and B.\nGrades:\n",
      n, graded.size(), identical.size(), toPlates.size(), toPhotos.size());
  for (const HdrGrade& g : grades) std::printf("  %-12s %s\n", g.name, g.what);
  if (o.wants("hdr") || o.wants("hdr-same")) {
    std::printf("\nSame Frame, graded plates: dE2000 per pixel, averaged over the pairs\n\n");
    sameFrameTable(o, withDefault(o.hdrSameSpaces), graded, identical, dir, true);
  }
  if (o.wants("hdr") || o.wants("hdr-different")) {
    std::printf(
        "\nDifferent Clips, plate to another plate: dE2000 of the mean colours and the Lab spread difference\n\n");
    differentClipsTable(o, withDefault(o.hdrDifferentSpaces), toPlates, dir, true);
    std::printf("\nDifferent Clips, plate to another photograph (8-bit sRGB PNG)\n\n");
    differentClipsTable(o, withDefault(o.hdrDifferentSpaces), toPhotos, dir, true);
  }
}

void runCameraTables(const EvalOptions& o, const std::vector<std::string>& photos, const std::string& dir) {
  const Plates plates = makePlates(o, photos, dir);
  const size_t n = plates.names.size();
  std::printf(
      "\nCamera log plates: the scene-linear plates and their graded copies (the grades above in turn) encoded in "
      "each camera space (10-bit DPX), matched with --source-space and --reference-space naming the camera's "
      "alias and the default working space; Same Frame against the graded copy, Different Clips against the next "
      "plate.\n\n");
  std::printf(
      "| camera space | Same Frame mean before | mean after | mean after/before | worst pair | Different Clips "
      "mean colour before | mean colour after | after/before | worst pair | spread before | spread after | "
      "lowest Output |\n|---|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (const CameraSpace& camera : kCameraSpaces) {
    const std::string alias = camera.alias;
    auto file = [&](size_t i, const std::string& what) {
      return dir + "/" + plates.names[i] + "." + what + "." + alias + ".dpx";
    };
    std::vector<double> sfBefore, sfAfter, sfRatio, dcBefore, dcAfter, dcRatio, spreadBefore, spreadAfter, low;
    for (size_t i = 0; i < n; ++i) {
      const size_t grade = i % plates.graded[i].size();
      writeCameraDpx(file(i, "plate"), plates.linear[i], camera.name);
      writeCameraDpx(file(i, "graded"), plates.graded[i][grade], camera.name);
    }
    for (size_t i = 0; i < n; ++i) {
      const size_t j = (i + 1) % n;
      const Pair same{plates.names[i] + " graded in " + alias, file(i, "plate"), file(i, "graded"), alias, alias, true};
      const Pair different{plates.names[i] + " to " + plates.names[j] + " in " + alias,
                           file(i, "plate"),
                           file(j, "plate"),
                           alias,
                           alias,
                           true};
      const Result s = matchPair(o, same, true, "", dir, true), d = matchPair(o, different, false, "", dir, true);
      sfBefore.push_back(s.before);
      sfAfter.push_back(s.after);
      sfRatio.push_back(s.after / s.before);
      dcBefore.push_back(d.before);
      dcAfter.push_back(d.after);
      dcRatio.push_back(d.after / d.before);
      spreadBefore.push_back(d.spreadBefore);
      spreadAfter.push_back(d.spreadAfter);
      low.push_back(std::min(s.lowest, d.lowest));
      if (o.pairs)
        std::fprintf(stderr, "%s: same %.3f -> %.3f, different %.3f -> %.3f (spread %.3f -> %.3f)\n",
                     plates.names[i].c_str(), s.before, s.after, d.before, d.after, d.spreadBefore, d.spreadAfter);
    }
    std::printf("| %s (`%s`) | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.3g |\n",
                camera.name, camera.alias, mean(sfBefore), mean(sfAfter), mean(sfRatio),
                *std::max_element(sfRatio.begin(), sfRatio.end()), mean(dcBefore), mean(dcAfter), mean(dcRatio),
                *std::max_element(dcRatio.begin(), dcRatio.end()), mean(spreadBefore), mean(spreadAfter),
                *std::min_element(low.begin(), low.end()));
    std::fflush(stdout);
  }
}
