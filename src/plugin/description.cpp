#include "plugin/description.h"

#include "plugin/colour_management.h"
#include "plugin/plugin.h"

// The inputs may be read at other frames than the one rendered (the "Analysis" choice).
constexpr ClipDescription kClips[kClipCount] = {
    {"Source", nullptr, false, false, {kOfxImageComponentRGBA, kOfxImageComponentRGB, nullptr}, true},
    {"Reference", nullptr, true, false, {kOfxImageComponentRGBA, kOfxImageComponentRGB, nullptr}, true},
    {"SourceMask",
     "Source Mask",
     true,
     true,
     {kOfxImageComponentAlpha, kOfxImageComponentRGBA, kOfxImageComponentRGB},
     true},
    {"ReferenceMask",
     "Reference Mask",
     true,
     true,
     {kOfxImageComponentAlpha, kOfxImageComponentRGBA, kOfxImageComponentRGB},
     true},
    {"Output", nullptr, false, false, {kOfxImageComponentRGBA, kOfxImageComponentRGB, nullptr}, false},
};

namespace {

constexpr ParamDescription mixParam(const char* name, const char* label, const char* hint, bool hasStep) {
  return {name, ParamKind::Double, label, hint, 1.0, 0.0, 1.0, 0.0, 1.0, hasStep, 0.01, 2, {}, nullptr};
}

constexpr ParamDescription choiceParam(const char* name, const char* label, const char* hint, const char* option0,
                                       const char* option1, const char* option2) {
  return {name, ParamKind::Choice, label, hint, 0.0, 0, 0, 0, 0, false, 0, 0, {option0, option1, option2}, nullptr};
}

constexpr ParamDescription buttonParam(const char* name, const char* label, const char* hint) {
  return {name, ParamKind::PushButton, label, hint, 0.0, 0, 0, 0, 0, false, 0, 0, {}, nullptr};
}

// The analysis settings: whole numbers of frames that hold for the whole clip.
constexpr ParamDescription frameParam(const char* name, const char* label, const char* hint, int defaultValue,
                                      bool hasRange = false, int min = 0, int max = 0, int displayMin = 0,
                                      int displayMax = 0) {
  return {name,
          ParamKind::Integer,
          label,
          hint,
          0.0,
          0,
          0,
          0,
          0,
          false,
          0,
          0,
          {},
          nullptr,
          {defaultValue, 0},
          hasRange,
          min,
          max,
          displayMin,
          displayMax,
          {nullptr, nullptr},
          true};
}

}  // namespace

constexpr ParamDescription kParams[kParamCount] = {
    mixParam("strength", "Mix", "How much of the color match to apply (0 = original, 1 = fully matched)", true),
    mixParam("strengthR", "Red Mix", "Fine-tune the red channel match", false),
    mixParam("strengthG", "Green Mix", "Fine-tune the green channel match", false),
    mixParam("strengthB", "Blue Mix", "Fine-tune the blue channel match", false),
    choiceParam("matchMode", "Mode",
                "Different Clips: For matching separate footage. Same Frame: For matching two grades of the same "
                "image",
                "Different Clips", "Same Frame", nullptr),
    choiceParam("preserveMode", "Preserve", "Keep certain aspects of your original image while matching others",
                "Nothing (Full Match)", "Original Brightness", "Original Colors"),
    {"exportPath",
     ParamKind::String,
     "Save To",
     "Where to save the exported LUT file (leave empty for desktop)",
     0.0,
     0,
     0,
     0,
     0,
     false,
     0,
     0,
     {},
     ""},
    buttonParam("exportButton", "Save as .cube LUT", "Export current LUT to .cube file"),
    buttonParam("exportCDLButton", "Save as .cdl", "Export a simplified CDL version (for use in other applications)"),
    buttonParam("rebuildButton", "Refresh", "Recalculate the color match (use if something looks wrong)"),
    {"analysisMode",
     ParamKind::Choice,
     "Analysis",
     "Which frames the match is learnt from. Current Frame: the frame being rendered. Key Frame: one frame, "
     "for the whole clip. Frame Range: frames spread over a range, pooled into one match for the whole clip. "
     "Moving Window: at each frame, the frames around it, pooled (follows slow changes, smooths sudden ones)",
     0.0,
     0,
     0,
     0,
     0,
     false,
     0,
     0,
     {"Current Frame", "Key Frame", "Frame Range", "Moving Window"},
     nullptr,
     {0, 0},
     false,
     0,
     0,
     0,
     0,
     {nullptr, nullptr},
     true},
    frameParam("keyFrame", "Key Frame",
               "The frame the match is learnt from under Key Frame analysis; a frame outside the Source clip is "
               "taken as its nearest end",
               0),
    {"frameRange",
     ParamKind::Integer2D,
     "Frame Range",
     "First and last frame pooled under Frame Range analysis, kept within the Source clip. While the last comes "
     "before the first (as by default), the Source clip's whole frame range",
     0.0,
     0,
     0,
     0,
     0,
     false,
     0,
     0,
     {},
     nullptr,
     {0, -1},
     false,
     0,
     0,
     0,
     0,
     {"first", "last"},
     true},
    frameParam("windowRadius", "Window Radius",
               "Frames on each side of the rendered frame pooled under Moving Window analysis", 5, true, 1, 500, 1, 25),
    frameParam("frameStep", "Frame Step",
               "Use every Nth frame of the range or window (counted from the first frame of the range, or of the "
               "Source clip): fewer frames build faster",
               1, true, 1, 1000, 1, 10),
    choiceParam("sameFrameFit", "Same Frame Fit",
                "How Same Frame mode learns the match. Smoothed Cells: each color takes the mean of the pixels "
                "nearest to it, then the table is smoothed. Fitted Lattice: the whole table is fitted to the "
                "pixels, which reproduces a grade more closely",
                "Smoothed Cells", "Fitted Lattice", nullptr),
    {"plateEncoding",
     ParamKind::Choice,
     "Plate Encoding",
     "What the values the host hands over are. As Delivered: video or display values, matched within 0..1. Scene "
     "Linear: scene-linear light, as compositing applications deliver it; highlights above 1 are kept. The camera "
     "choices: that camera's log encoding (curve only), matched as light and encoded back. From Host: the colour "
     "space the host says it delivers the Source in",
     0.0,
     0,
     0,
     0,
     0,
     false,
     0,
     0,
     {"As Delivered", "Scene Linear", "ACEScct", "ARRI LogC3", "Sony S-Log3", "RED Log3G10", "Panasonic V-Log",
      "Canon C-Log3", "From Host"},
     nullptr,
     {0, 0},
     false,
     0,
     0,
     0,
     0,
     {nullptr, nullptr},
     true},
    {"differentClipsLearner",
     ParamKind::Choice,
     "Different Clips Learner",
     "How Different Clips mode learns the match. Statistics: the Source's colour spread moved onto the "
     "Reference's. Matching Content: where the Reference shows part of the scene the Source shows (two cameras on "
     "one scene), the pictures are placed on each other and the match is fitted to the colours of the shared "
     "pixels; a frame where that cannot be trusted is matched by Statistics",
     0.0,
     0,
     0,
     0,
     0,
     false,
     0,
     0,
     {"Statistics", "Matching Content"},
     nullptr,
     {0, 0},
     false,
     0,
     0,
     0,
     0,
     {nullptr, nullptr},
     true},
};

const char* paramTypeName(ParamKind kind) {
  switch (kind) {
    case ParamKind::Double:
      return kOfxParamTypeDouble;
    case ParamKind::Choice:
      return kOfxParamTypeChoice;
    case ParamKind::String:
      return kOfxParamTypeString;
    case ParamKind::PushButton:
      return kOfxParamTypePushButton;
    case ParamKind::Integer:
      return kOfxParamTypeInteger;
    case ParamKind::Integer2D:
      return kOfxParamTypeInteger2D;
  }
  return kOfxParamTypePushButton;
}

OfxStatus describe(OfxImageEffectHandle effect) {
  if (!gPropSuite || !gEffectSuite) return kOfxStatErrMissingHostFeature;
  OfxPropertySetHandle props = nullptr;
  gEffectSuite->getPropertySet(effect, &props);
  const OfxPropertySuiteV1& p = *gPropSuite;
  p.propSetString(props, kOfxPropLabel, 0, kEffectLabel);
  p.propSetString(props, kOfxImageEffectPluginPropGrouping, 0, kEffectGrouping);
  p.propSetString(props, kOfxImageEffectPropSupportedContexts, 0, kEffectContexts[0]);
  p.propSetString(props, kOfxImageEffectPropSupportedContexts, 1, kEffectContexts[1]);
  p.propSetString(props, kOfxImageEffectPropSupportedPixelDepths, 0, kOfxBitDepthFloat);
  p.propSetString(props, kOfxImageEffectPropSupportedPixelDepths, 1, kOfxBitDepthShort);
  p.propSetString(props, kOfxImageEffectPropSupportedPixelDepths, 2, kOfxBitDepthByte);
  p.propSetInt(props, kOfxImageEffectPropSupportsMultiResolution, 0, 1);
  p.propSetInt(props, kOfxImageEffectPropSupportsTiles, 0, 1);
  // The "Analysis" choice reads frames other than the one being rendered.
  p.propSetInt(props, kOfxImageEffectPropTemporalClipAccess, 0, 1);
  p.propSetString(props, kOfxImageEffectPluginRenderThreadSafety, 0, kOfxImageEffectRenderFullySafe);
  describeColourManagement(props);
  return kOfxStatOK;
}

namespace {

void defineClip(OfxImageEffectHandle effect, const ClipDescription& clip) {
  OfxPropertySetHandle props = nullptr;
  gEffectSuite->clipDefine(effect, clip.name, &props);
  const OfxPropertySuiteV1& p = *gPropSuite;
  for (int i = 0; i < 3 && clip.components[i]; ++i) {
    p.propSetString(props, kOfxImageEffectPropSupportedComponents, i, clip.components[i]);
  }
  if (clip.optional) p.propSetInt(props, kOfxImageClipPropOptional, 0, 1);
  if (clip.isMask) p.propSetInt(props, kOfxImageClipPropIsMask, 0, 1);
  if (clip.label) p.propSetString(props, kOfxPropLabel, 0, clip.label);
  if (clip.temporal) p.propSetInt(props, kOfxImageEffectPropTemporalClipAccess, 0, 1);
}

void defineParam(OfxParamSetHandle paramSet, const ParamDescription& param) {
  OfxPropertySetHandle props = nullptr;
  gParamSuite->paramDefine(paramSet, paramTypeName(param.kind), param.name, &props);
  const OfxPropertySuiteV1& p = *gPropSuite;
  p.propSetString(props, kOfxPropLabel, 0, param.label);
  p.propSetString(props, kOfxParamPropHint, 0, param.hint);
  switch (param.kind) {
    case ParamKind::Double:
      p.propSetDouble(props, kOfxParamPropDefault, 0, param.defaultValue);
      p.propSetDouble(props, kOfxParamPropMin, 0, param.min);
      p.propSetDouble(props, kOfxParamPropMax, 0, param.max);
      p.propSetDouble(props, kOfxParamPropDisplayMin, 0, param.displayMin);
      p.propSetDouble(props, kOfxParamPropDisplayMax, 0, param.displayMax);
      if (param.hasStep) {
        p.propSetDouble(props, kOfxParamPropIncrement, 0, param.increment);
        p.propSetInt(props, kOfxParamPropDigits, 0, param.digits);
      }
      break;
    case ParamKind::Choice:
      for (int i = 0; i < kMaxChoiceOptions && param.options[i]; ++i) {
        p.propSetString(props, kOfxParamPropChoiceOption, i, param.options[i]);
      }
      p.propSetInt(props, kOfxParamPropDefault, 0, static_cast<int>(param.defaultValue));
      break;
    case ParamKind::Integer:
      p.propSetInt(props, kOfxParamPropDefault, 0, param.intDefault[0]);
      if (param.hasIntRange) {
        p.propSetInt(props, kOfxParamPropMin, 0, param.intMin);
        p.propSetInt(props, kOfxParamPropMax, 0, param.intMax);
        p.propSetInt(props, kOfxParamPropDisplayMin, 0, param.intDisplayMin);
        p.propSetInt(props, kOfxParamPropDisplayMax, 0, param.intDisplayMax);
      }
      break;
    case ParamKind::Integer2D:
      for (int i = 0; i < 2; ++i) p.propSetInt(props, kOfxParamPropDefault, i, param.intDefault[i]);
      for (int i = 0; i < 2; ++i) p.propSetString(props, kOfxParamPropDimensionLabel, i, param.dimensionLabels[i]);
      break;
    case ParamKind::String:
      p.propSetString(props, kOfxParamPropDefault, 0, param.defaultString);
      p.propSetString(props, kOfxParamPropStringMode, 0, kOfxParamStringIsFilePath);
      p.propSetInt(props, kOfxParamPropStringFilePathExists, 0, 0);
      break;
    case ParamKind::PushButton:
      break;
  }
  if (param.fixed) p.propSetInt(props, kOfxParamPropAnimates, 0, 0);
}

}  // namespace

// Both contexts get the same clips and parameters, so the context in the arguments is not read.
OfxStatus describeInContext(OfxImageEffectHandle effect) {
  if (!gPropSuite || !gEffectSuite || !gParamSuite) return kOfxStatErrMissingHostFeature;
  for (const ClipDescription& clip : kClips) defineClip(effect, clip);
  OfxParamSetHandle paramSet = nullptr;
  gEffectSuite->getParamSet(effect, &paramSet);
  for (const ParamDescription& param : kParams) defineParam(paramSet, param);
  return kOfxStatOK;
}
