// Colour spaces through OpenColorIO: the tool's own set, or a config from --config or $OCIO;
// the spaces files are in, conversions between spaces, and a config that applies a match.
#pragma once

#include "imaging/image.h"

#include <OpenColorIO/OpenColorIO.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace OCIO = OCIO_NAMESPACE;

// The built-in set's names and their short aliases (any case).
extern const char* const kLinearRec709;   // "Linear Rec.709 (sRGB)", lin_rec709
extern const char* const kSrgbTexture;    // "sRGB - Texture", srgb
extern const char* const kGamma24Rec709;  // "Gamma 2.4 Rec.709", rec709
extern const char* const kHeadroom;       // "Gamma 2.4 Rec.709 - Headroom", rec709_headroom
extern const char* const kAcesCg;         // "ACEScg", acescg
extern const char* const kAcesCct;        // "ACEScct", acescct
extern const char* const kAces2065;       // "ACES2065-1", aces

// Spaces whose 0..1 holds scene-linear highlights, one per top (the linear light each is made
// to hold: 2, 4, 8, 16, 32, 64), all with Rec.709 primaries and black at code 0:
// - for Different Clips, linear light divided by the top: "Linear Rec.709 / 4" (lin_rec709_4);
// - for Same Frame, Gamma 2.4 Rec.709 - Headroom with its range stretched to the top, code
//   59/64 being the top: "Gamma 2.4 Rec.709 - Headroom 4" (rec709_headroom_4), up to 8; above,
//   a base-2 log curve over 2^-10 .. the top at 59/64: "Log Rec.709 - Headroom 16"
//   (log_rec709_16).
extern const int kHighlightTops[6];
std::string highlightSpace(bool sameFrame, int top);
extern const char* const kMatchSpace;  // "Vantrel Match", in configs written by --ocio-config-out

// Camera log spaces of the built-in set, each made of OpenColorIO's own built-in transform.
struct CameraSpace {
  const char* name;
  const char* alias;
  const char* builtinStyle;  // camera code values to ACES2065-1
};
extern const CameraSpace kCameraSpaces[7];

// The built-in set, defined here: Linear Rec.709 is its reference.
OCIO::ConstConfigRcPtr builtInConfig();

struct ColourConfig {
  OCIO::ConstConfigRcPtr config;
  std::string origin;  // "built-in", or the file it was read from
};

// `path` (--config) when given, else `ocioVariable` ($OCIO's value, null when unset) when not
// empty, else the built-in set.
bool loadColourConfig(const std::string& path, const char* ocioVariable, ColourConfig& out, std::string& error);

// The config's own name for a name, alias or role, in any case; "" when it has none.
std::string resolveSpace(const ColourConfig& config, const std::string& name);

// The space of a file read by readColourImage: what its metadata names when the config has that
// space (the name this tool recorded, else OpenImageIO's colour space, else an EXR's primaries),
// else sRGB for integer samples and Linear Rec.709 for float ones. `note` says when metadata
// was there but named nothing the config has, or said the file is logarithmic without saying
// in which space (`logarithmic`).
struct FileSpace {
  std::string name;  // "" when the default is not in the config either
  std::string from;  // "metadata" or "default"
  std::string note;
  bool logarithmic = false;
};
FileSpace fileSpace(const ColourConfig& config, const Image& image);

// The config's log-encoded spaces that files come in (the working spaces for highlights left
// out), by alias where they have one, for messages.
std::vector<std::string> logSpaces(const ColourConfig& config);

// What a written file says about its colour space: OpenImageIO's attribute, and for EXR the
// primaries of the linear spaces whose primaries are known.
struct SpaceMetadata {
  std::string attribute;                          // oiio:ColorSpace
  std::optional<std::array<float, 8>> primaries;  // EXR chromaticities
};
SpaceMetadata spaceMetadata(const std::string& space);

// R, G and B of packed pixels from one space to another; alpha and other channels untouched.
class Conversion {
 public:
  bool identity() const { return !processor_; }
  void apply(float* pixels, size_t count, int channels) const;
  void apply(Image& image) const {
    apply(image.pixels.data(), size_t(image.width) * size_t(image.height), image.channels);
  }

 private:
  friend bool makeConversion(const ColourConfig&, const std::string&, const std::string&, Conversion&, std::string&);
  friend bool makeMeasureConversion(const ColourConfig&, const std::string&, Conversion&, std::string&);
  OCIO::ConstCPUProcessorRcPtr processor_;
};

// Full precision: the tool's conversions must round-trip within float rounding.
bool makeConversion(const ColourConfig& config, const std::string& from, const std::string& to, Conversion& out,
                    std::string& error);

// Into linear Rec.709 (sRGB primaries, D65), where the quality figures are measured: through the
// config's space of that name, else its ACES or CIE XYZ interchange role. False (and `error`)
// when the config has none of them.
bool makeMeasureConversion(const ColourConfig& config, const std::string& from, Conversion& out, std::string& error);

// Whether a space holds linear light (a matrix away from linear Rec.709), as the plug-in's
// Different Clips statistics take what they are given. Without a way into linear Rec.709, what
// the space's encoding says.
bool isLinearLight(const ColourConfig& config, const std::string& space);

// The sRGB transfer function on R, G and B, both ways (for pictures the tool shows).
void srgbEncode(float* pixels, size_t count, int channels);
void srgbDecode(float* pixels, size_t count, int channels);

// The match a config written by writeMatchConfig applies: from the Source's space into
// `working`, the .cube at `cube` (trilinear), and out into `output` (the Output's space).
struct MatchLook {
  std::string source, working, output, cube;
};

// A config that holds every space of `config` and "Vantrel Match": converting an image from
// the Source's space to it applies the whole match. The .cube is named relative to the config
// when it lies in the config's folder, else by its absolute path. Written safely; read back and
// checked before it is kept.
bool writeMatchConfig(const std::string& path, const ColourConfig& config, const MatchLook& look, std::string& error);

// Each mode's working space for a Source within 1 in linear light, chosen by measurement
// (docs/colour.md).
const char* defaultWorkingSpace(bool sameFrame);
struct HighlightSpace {
  std::string name;
  float top;  // the linear light it holds
};
// The mode's spaces for highlights, narrowest first. The fitted lattice (`fitted`, Same Frame
// only) learns a whole grade wherever the table holds it, and does best in the log spaces, whose
// room above the Source keeps a brighter Reference.
std::vector<HighlightSpace> highlightWorkingSpaces(bool sameFrame, bool fitted = false);
