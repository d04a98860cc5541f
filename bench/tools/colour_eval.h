// What the colour evaluation's sets share: running the built tool on files as a user does,
// grades made through OpenColorIO, and the figures.
#pragma once

#include "imaging/colour.h"
#include "imaging/image_io.h"

#include <array>
#include <functional>
#include <string>
#include <vector>

struct EvalOptions {
  std::string photos = "/usr/share/backgrounds/mate/nature";
  int width = 640;
  std::vector<std::string> tables = {"sdr", "hdr", "camera"};
  std::vector<std::string> spaces = {"lin_rec709", "srgb", "rec709", "rec709_headroom", "acescg", "acescct", "aces"};
  std::vector<std::string> hdrSameSpaces = {"rec709_headroom", "acescct", "rec709_headroom_4", "log_rec709_16",
                                            "log_rec709_64"};
  std::vector<std::string> hdrDifferentSpaces = {"lin_rec709",    "lin_rec709_4", "lin_rec709_16",
                                                 "lin_rec709_64", "acescg",       "acescct"};
  std::string keep;
  bool pairs = false;
  bool learnersOnly = false;             // only the table of Same Frame's learners
  std::vector<std::string> toolOptions;  // after `--`: given to every run of the tool
  bool wants(const std::string& table) const;
};

[[noreturn]] void fail(const std::string& message);

// A grade with known parameters, applied through OpenColorIO to sRGB code values.
struct Grade {
  const char* name;
  const char* what;
  std::function<OCIO::ConstTransformRcPtr()> make;
};

// Runs the tool under evaluation (--tool) with its output and errors discarded: its exit status.
int runTool(const std::vector<std::string>& args);
// The plug-in it loads (--plugin).
const std::string& pluginPath();
// A file's samples in linear Rec.709, from `space` (an alias of the built-in set).
Image linearOf(const std::string& path, const std::string& space);

// The grade `inner` applied in `space` to a picture in `from`.
OCIO::ConstTransformRcPtr inSpace(const char* space, const OCIO::TransformRcPtr& inner,
                                  const char* from = kSrgbTexture);
OCIO::TransformRcPtr cdl(std::array<double, 3> slope, std::array<double, 3> offset, std::array<double, 3> power,
                         double sat);
OCIO::TransformRcPtr exposure(double stops, double contrast = 1.0);
OCIO::TransformRcPtr matrix(const std::array<double, 9>& m);
// `grade` applied to a copy of `image` through the built-in set.
Image applied(const Image& image, const OCIO::ConstTransformRcPtr& grade);

// A photograph scaled to `width` pixels, as its sRGB code values.
Image readPhoto(const std::string& path, int width);

// A pair of files for the tool, and the spaces to read them in (aliases of the built-in set).
struct Pair {
  std::string name, source, reference;
  std::string sourceSpace = "srgb", referenceSpace = "srgb";
  bool giveSpaces = false;  // name them with --source-space and --reference-space, as a user must
};

struct Result {
  double before = 0, after = 0;      // Same Frame: mean dE; Different Clips: dE of the mean colours
  double before95 = 0, after95 = 0;  // Same Frame: 95th percentile dE
  double spreadBefore = 0, spreadAfter = 0;
  // Scene-linear figures: the 99.9th percentile of the largest of R, G and B (the highlights),
  // and the lowest R, G or B of the Output.
  double sourceTop = 0, referenceTop = 0, outputTop = 0, lowest = 0;
};

// Runs the tool on the pair in `space` ("" for its default) and measures in linear Rec.709. The
// Output is a PNG in the Source's space, or with `linearOutput` an EXR in linear Rec.709.
Result matchPair(const EvalOptions& o, const Pair& pair, bool same, const std::string& space, const std::string& dir,
                 bool linearOutput = false);

// The tables, one row per working space ("" is the tool's default): with `sceneLinear`, Outputs
// are linear EXR and the highlights and values below 0 are shown too.
void sameFrameTable(const EvalOptions& o, const std::vector<std::string>& spaces, const std::vector<Pair>& graded,
                    const std::vector<Pair>& identical, const std::string& dir, bool sceneLinear);
void differentClipsTable(const EvalOptions& o, const std::vector<std::string>& spaces, const std::vector<Pair>& pairs,
                         const std::string& dir, bool sceneLinear);
std::string label(const std::string& space);
std::vector<std::string> withDefault(std::vector<std::string> spaces);

double mean(const std::vector<double>& v);
double percentile95(std::vector<double> v);

// Same Frame's learners side by side (colour_eval_learners.cpp): the photographs `names` in
// `dir` and their graded copies.
void learnerTable(const EvalOptions& o, const std::vector<std::string>& spaces, const std::vector<std::string>& names,
                  const std::vector<Grade>& gradeList, const std::string& dir);

// The tables of scene-linear plates and of camera log plates (colour_eval_hdr.cpp).
void runHdrTables(const EvalOptions& o, const std::vector<std::string>& photos, const std::string& dir);
void runCameraTables(const EvalOptions& o, const std::vector<std::string>& photos, const std::string& dir);
