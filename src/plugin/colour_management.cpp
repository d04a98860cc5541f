#include "plugin/colour_management.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "plugin/messages.h"

namespace {

// Set when the effect is described; a host that offers no style never sees the effect ask.
std::atomic<bool> gHostColourManaged{false};

// Names compare in any case (ASCII).
bool startsWith(const char* name, const char* prefix) {
  for (; *prefix; ++name, ++prefix)
    if (std::tolower((unsigned char)*name) != std::tolower((unsigned char)*prefix)) return false;
  return true;
}

bool sameName(const char* a, const char* b) { return startsWith(a, b) && a[strlen(b)] == '\0'; }

struct NamedSpace {
  const char* name;
  PlateEncoding encoding;
};

// The basic spaces, then the ACES studio config's names and aliases for the curves the effect
// knows. ofx_scene_log is that config's compositing log, ACEScct.
const NamedSpace kNamedSpaces[] = {
    {kOfxColourspaceSceneLinear, PlateEncoding::SceneLinear},
    {kOfxColourspaceSceneLog, PlateEncoding::AcesCct},
    {kOfxColourspaceDisplaySdr, PlateEncoding::AsDelivered},
    {"ACES2065-1", PlateEncoding::SceneLinear},
    {"aces2065_1", PlateEncoding::SceneLinear},
    {"ACEScg", PlateEncoding::SceneLinear},
    {"CIE-XYZ-D65", PlateEncoding::SceneLinear},
    {"cie_xyz_d65", PlateEncoding::SceneLinear},
    {"ACEScct", PlateEncoding::AcesCct},
    {"acescct_ap1", PlateEncoding::AcesCct},
    {"ARRI LogC3 (EI800)", PlateEncoding::ArriLogC3},
    {"arri_logc3_ei800", PlateEncoding::ArriLogC3},
    {"S-Log3 S-Gamut3", PlateEncoding::SonyLog3},
    {"slog3_sgamut3", PlateEncoding::SonyLog3},
    {"S-Log3 S-Gamut3.Cine", PlateEncoding::SonyLog3},
    {"slog3_sgamutcine", PlateEncoding::SonyLog3},
    {"S-Log3 Venice S-Gamut3", PlateEncoding::SonyLog3},
    {"slog3_venice_sgamut3", PlateEncoding::SonyLog3},
    {"S-Log3 Venice S-Gamut3.Cine", PlateEncoding::SonyLog3},
    {"slog3_venice_sgamutcine", PlateEncoding::SonyLog3},
    {"Log3G10 REDWideGamutRGB", PlateEncoding::RedLog3G10},
    {"log3g10_rwg", PlateEncoding::RedLog3G10},
    {"V-Log V-Gamut", PlateEncoding::PanasonicVLog},
    {"vlog_vgamut", PlateEncoding::PanasonicVLog},
    {"CanonLog3 CinemaGamut D55", PlateEncoding::CanonLog3},
    {"clog3_cgamut", PlateEncoding::CanonLog3},
    {"sRGB - Display", PlateEncoding::AsDelivered},
    {"srgb_display", PlateEncoding::AsDelivered},
    {"sRGB Encoded Rec.709 (sRGB)", PlateEncoding::AsDelivered},
    {"srgb_encoded_rec709_srgb", PlateEncoding::AsDelivered},
    {"srgb_tx", PlateEncoding::AsDelivered},
    {"Rec.1886 Rec.709 - Display", PlateEncoding::AsDelivered},
    {"rec1886_rec709_display", PlateEncoding::AsDelivered},
};

const char* readString(OfxPropertySetHandle props, const char* name) {
  char* value = nullptr;
  if (props && gPropSuite->propGetString(props, name, 0, &value) != kOfxStatOK) return nullptr;
  return value;
}

// The space the host says a clip is delivered in; "OfxColourspace_<clip>" followed once.
const char* clipColourspace(const InstanceData& data, OfxImageClipHandle clip) {
  OfxPropertySetHandle props = nullptr;
  if (clip) gEffectSuite->clipGetPropertySet(clip, &props);
  const char* name = readString(props, kOfxImageClipPropColourspace);
  if (!name || !startsWith(name, kOfxColourspacePrefix)) return name;
  OfxImageClipHandle other = nullptr;
  gEffectSuite->clipGetHandle(data.effect, name + strlen(kOfxColourspacePrefix), &other, nullptr);
  OfxPropertySetHandle otherProps = nullptr;
  if (other) gEffectSuite->clipGetPropertySet(other, &otherProps);
  const char* followed = readString(otherProps, kOfxImageClipPropColourspace);
  return followed && !startsWith(followed, kOfxColourspacePrefix) ? followed : nullptr;
}

bool instanceColourManaged(const InstanceData& data) {
  if (!gHostColourManaged) return false;
  OfxPropertySetHandle props = nullptr;
  gEffectSuite->getPropertySet(data.effect, &props);
  const char* style = readString(props, kOfxImageEffectPropColourManagementStyle);
  return style && !sameName(style, kOfxImageEffectColourManagementNone);
}

// Once until the choice changes: on standard error and to the user as a warning.
void noteOnce(InstanceData& data, const char* text) {
  if (data.plateSpaceNoted.exchange(true)) return;
  char line[600];
  std::snprintf(line, sizeof line, "Vantrel: %s\n", text);
  logLine(line);
  notifyUser(data.effect, kOfxMessageWarning, text);
}

}  // namespace

PlateEncoding encodingOfColourspace(const char* name, bool& known) {
  known = true;
  if (name) {
    for (const NamedSpace& space : kNamedSpaces)
      if (sameName(name, space.name)) return space.encoding;
    // The config's linear spaces of every gamut: the curve is what matters here.
    if (startsWith(name, "lin_") || startsWith(name, "Linear ")) return PlateEncoding::SceneLinear;
  }
  known = false;
  return PlateEncoding::AsDelivered;
}

void describeColourManagement(OfxPropertySetHandle effectProps) {
  const char* style =
      gHost && gHost->host ? readString(gHost->host, kOfxImageEffectPropColourManagementStyle) : nullptr;
  gHostColourManaged = style && !sameName(style, kOfxImageEffectColourManagementNone);
  if (!gHostColourManaged) return;
  gPropSuite->propSetString(effectProps, kOfxImageEffectPropColourManagementStyle, 0,
                            kOfxImageEffectColourManagementBasic);
  gPropSuite->propSetString(effectProps, kOfxImageEffectInstancePropClipPreferencesSlaveParam, 0, "plateEncoding");
}

OfxStatus getClipPreferences(OfxImageEffectHandle effect, OfxPropertySetHandle outArgs) {
  if (!gHostColourManaged) return kOfxStatReplyDefault;
  InstanceData* data = findInstanceData(effect);
  if (!data || !data->plateEncodingParam || !instanceColourManaged(*data)) return kOfxStatReplyDefault;
  int choice = 0;
  gParamSuite->paramGetValue(data->plateEncodingParam, &choice);
  if (plateEncodingOf(choice) != PlateEncoding::SceneLinear) return kOfxStatReplyDefault;
  for (const char* clip : {"Source", "Reference"}) {
    char name[80];
    std::snprintf(name, sizeof name, "%s%s", kOfxImageClipPropPreferredColourspaces_, clip);
    gPropSuite->propSetString(outArgs, name, 0, kOfxColourspaceSceneLinear);
  }
  return kOfxStatOK;
}

PlateEncoding currentPlateEncoding(InstanceData& data) {
  int choice = 0;
  if (data.plateEncodingParam) gParamSuite->paramGetValue(data.plateEncodingParam, &choice);
  const PlateEncoding chosen = plateEncodingOf(choice);
  if (chosen != PlateEncoding::FromHost && chosen != PlateEncoding::SceneLinear) return chosen;
  const bool managed = instanceColourManaged(data);
  if (chosen == PlateEncoding::SceneLinear) {
    // The host should deliver what the clip preferences asked for, and says what it did.
    if (!managed) return chosen;
    const char* name = clipColourspace(data, data.sourceClip);
    bool known = false;
    if (name && encodingOfColourspace(name, known) != PlateEncoding::SceneLinear && known) {
      char text[400];
      std::snprintf(text, sizeof text,
                    "The host delivers the Source in \"%.100s\", not in scene-linear light as Plate Encoding \"Scene "
                    "Linear\" asked for; it is matched as scene-linear light all the same (\"From Host\" follows "
                    "the host).",
                    name);
      noteOnce(data, text);
    }
    return chosen;
  }
  if (!managed) {
    noteOnce(data,
             "This host does not say which colour space it delivers the Source in: Plate Encoding \"From Host\" is "
             "taken as \"As Delivered\".");
    return PlateEncoding::AsDelivered;
  }
  const char* name = clipColourspace(data, data.sourceClip);
  bool known = false;
  const PlateEncoding encoding = encodingOfColourspace(name, known);
  if (!known) {
    char text[400];
    std::snprintf(text, sizeof text,
                  "The host delivers the Source in \"%.100s\", a colour space Plate Encoding \"From Host\" does not "
                  "know: taken as \"As Delivered\".",
                  name ? name : "");
    noteOnce(data, text);
  }
  return encoding;
}
