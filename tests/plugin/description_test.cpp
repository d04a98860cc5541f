// What a host reads from the describe actions, written out here independently of the plug-in's
// own tables: every property, in the order it is set.
#include <ostream>
#include <string>
#include <vector>

#include "tests/plugin/module.h"

using ofxhost::PropType;
using ofxhost::PropWrite;

namespace {

struct Expected {
  std::string name;
  int index;
  PropType type;
  std::string s;
  double d;
  int i;
};

Expected S(const char* name, int index, const char* value) { return {name, index, PropType::String, value, 0, 0}; }
Expected S(const char* name, const char* value) { return S(name, 0, value); }
Expected I(const char* name, int value) { return {name, 0, PropType::Int, "", 0, value}; }
Expected D(const char* name, double value) { return {name, 0, PropType::Double, "", value, 0}; }

std::string show(const PropWrite& w) {
  std::string text = w.name + "[" + std::to_string(w.index) + "] = ";
  switch (w.value.type) {
    case PropType::String:
      return text + '"' + w.value.s + '"';
    case PropType::Double:
      return text + std::to_string(w.value.d) + " (double)";
    case PropType::Int:
      return text + std::to_string(w.value.i) + " (int)";
    case PropType::Pointer:
      return text + "pointer";
  }
  return text;
}

void expectWrites(const std::vector<PropWrite>& actual, const std::vector<Expected>& expected,
                  const std::string& what) {
  SCOPED_TRACE(what);
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t k = 0; k < expected.size(); ++k) {
    const PropWrite& a = actual[k];
    const Expected& e = expected[k];
    SCOPED_TRACE(show(a));
    EXPECT_EQ(a.name, e.name);
    EXPECT_EQ(a.index, e.index);
    ASSERT_EQ(a.value.type, e.type);
    switch (e.type) {
      case PropType::String:
        EXPECT_EQ(a.value.s, e.s);
        break;
      case PropType::Double:
        EXPECT_EQ(a.value.d, e.d);
        break;  // exact: 0.01 is the nearest double
      case PropType::Int:
        EXPECT_EQ(a.value.i, e.i);
        break;
      case PropType::Pointer:
        break;
    }
  }
}

const char* kRGBA = "OfxImageComponentRGBA";
const char* kRGB = "OfxImageComponentRGB";
const char* kAlpha = "OfxImageComponentAlpha";
const char* kComponents = "OfxImageEffectPropSupportedComponents";

struct ExpectedClip {
  std::string name;
  std::vector<Expected> writes;
};

// The inputs are read at other frames under the "Analysis" choices that pool frames.
const char* kTemporal = "OfxImageEffectPropTemporalClipAccess";

const std::vector<ExpectedClip> kExpectedClips = {
    {"Source", {S(kComponents, 0, kRGBA), S(kComponents, 1, kRGB), I(kTemporal, 1)}},
    {"Reference",
     {S(kComponents, 0, kRGBA), S(kComponents, 1, kRGB), I("OfxImageClipPropOptional", 1), I(kTemporal, 1)}},
    {"SourceMask",
     {S(kComponents, 0, kAlpha), S(kComponents, 1, kRGBA), S(kComponents, 2, kRGB), I("OfxImageClipPropOptional", 1),
      I("OfxImageClipPropIsMask", 1), S("OfxPropLabel", "Source Mask"), I(kTemporal, 1)}},
    {"ReferenceMask",
     {S(kComponents, 0, kAlpha), S(kComponents, 1, kRGBA), S(kComponents, 2, kRGB), I("OfxImageClipPropOptional", 1),
      I("OfxImageClipPropIsMask", 1), S("OfxPropLabel", "Reference Mask"), I(kTemporal, 1)}},
    {"Output", {S(kComponents, 0, kRGBA), S(kComponents, 1, kRGB)}},
};

struct ExpectedParam {
  std::string name;
  std::string type;
  std::vector<Expected> writes;
};

std::vector<Expected> mix(const char* label, const char* hint) {
  return {S("OfxPropLabel", label),        S("OfxParamPropHint", hint), D("OfxParamPropDefault", 1.0),
          D("OfxParamPropMin", 0.0),       D("OfxParamPropMax", 1.0),   D("OfxParamPropDisplayMin", 0.0),
          D("OfxParamPropDisplayMax", 1.0)};
}

std::vector<ExpectedParam> expectedParams() {
  std::vector<Expected> master = mix("Mix", "How much of the color match to apply (0 = original, 1 = fully matched)");
  master.push_back(D("OfxParamPropIncrement", 0.01));
  master.push_back(I("OfxParamPropDigits", 2));
  const char* button = "OfxParamTypePushButton";
  return {
      {"strength", "OfxParamTypeDouble", master},
      {"strengthR", "OfxParamTypeDouble", mix("Red Mix", "Fine-tune the red channel match")},
      {"strengthG", "OfxParamTypeDouble", mix("Green Mix", "Fine-tune the green channel match")},
      {"strengthB", "OfxParamTypeDouble", mix("Blue Mix", "Fine-tune the blue channel match")},
      {"matchMode",
       "OfxParamTypeChoice",
       {S("OfxPropLabel", "Mode"),
        S("OfxParamPropHint",
          "Different Clips: For matching separate footage. Same Frame: For matching two grades of the same image"),
        S("OfxParamPropChoiceOption", 0, "Different Clips"), S("OfxParamPropChoiceOption", 1, "Same Frame"),
        I("OfxParamPropDefault", 0)}},
      {"preserveMode",
       "OfxParamTypeChoice",
       {S("OfxPropLabel", "Preserve"),
        S("OfxParamPropHint", "Keep certain aspects of your original image while matching others"),
        S("OfxParamPropChoiceOption", 0, "Nothing (Full Match)"),
        S("OfxParamPropChoiceOption", 1, "Original Brightness"), S("OfxParamPropChoiceOption", 2, "Original Colors"),
        I("OfxParamPropDefault", 0)}},
      {"exportPath",
       "OfxParamTypeString",
       {S("OfxPropLabel", "Save To"),
        S("OfxParamPropHint", "Where to save the exported LUT file (leave empty for desktop)"),
        S("OfxParamPropDefault", ""), S("OfxParamPropStringMode", "OfxParamStringIsFilePath"),
        I("OfxParamPropStringFilePathExists", 0)}},
      {"exportButton",
       button,
       {S("OfxPropLabel", "Save as .cube LUT"), S("OfxParamPropHint", "Export current LUT to .cube file")}},
      {"exportCDLButton",
       button,
       {S("OfxPropLabel", "Save as .cdl"),
        S("OfxParamPropHint", "Export a simplified CDL version (for use in other applications)")}},
      {"rebuildButton",
       button,
       {S("OfxPropLabel", "Refresh"),
        S("OfxParamPropHint", "Recalculate the color match (use if something looks wrong)")}},
      // The analysis settings, after the ten: they hold for the whole clip and do not animate.
      {"analysisMode",
       "OfxParamTypeChoice",
       {S("OfxPropLabel", "Analysis"),
        S("OfxParamPropHint",
          "Which frames the match is learnt from. Current Frame: the frame being rendered. Key Frame: one frame, "
          "for the whole clip. Frame Range: frames spread over a range, pooled into one match for the whole clip. "
          "Moving Window: at each frame, the frames around it, pooled (follows slow changes, smooths sudden ones)"),
        S("OfxParamPropChoiceOption", 0, "Current Frame"), S("OfxParamPropChoiceOption", 1, "Key Frame"),
        S("OfxParamPropChoiceOption", 2, "Frame Range"), S("OfxParamPropChoiceOption", 3, "Moving Window"),
        I("OfxParamPropDefault", 0), I("OfxParamPropAnimates", 0)}},
      {"keyFrame",
       "OfxParamTypeInteger",
       {S("OfxPropLabel", "Key Frame"),
        S("OfxParamPropHint",
          "The frame the match is learnt from under Key Frame analysis; a frame outside the Source clip is taken as "
          "its nearest end"),
        I("OfxParamPropDefault", 0), I("OfxParamPropAnimates", 0)}},
      {"frameRange",
       "OfxParamTypeInteger2D",
       {S("OfxPropLabel", "Frame Range"),
        S("OfxParamPropHint",
          "First and last frame pooled under Frame Range analysis, kept within the Source clip. While the last "
          "comes before the first (as by default), the Source clip's whole frame range"),
        I("OfxParamPropDefault", 0), Expected{"OfxParamPropDefault", 1, PropType::Int, "", 0, -1},
        S("OfxParamPropDimensionLabel", 0, "first"), S("OfxParamPropDimensionLabel", 1, "last"),
        I("OfxParamPropAnimates", 0)}},
      {"windowRadius",
       "OfxParamTypeInteger",
       {S("OfxPropLabel", "Window Radius"),
        S("OfxParamPropHint", "Frames on each side of the rendered frame pooled under Moving Window analysis"),
        I("OfxParamPropDefault", 5), I("OfxParamPropMin", 1), I("OfxParamPropMax", 500), I("OfxParamPropDisplayMin", 1),
        I("OfxParamPropDisplayMax", 25), I("OfxParamPropAnimates", 0)}},
      {"frameStep",
       "OfxParamTypeInteger",
       {S("OfxPropLabel", "Frame Step"),
        S("OfxParamPropHint",
          "Use every Nth frame of the range or window (counted from the first frame of the range, or of the Source "
          "clip): fewer frames build faster"),
        I("OfxParamPropDefault", 1), I("OfxParamPropMin", 1), I("OfxParamPropMax", 1000),
        I("OfxParamPropDisplayMin", 1), I("OfxParamPropDisplayMax", 10), I("OfxParamPropAnimates", 0)}},
      {"sameFrameFit",
       "OfxParamTypeChoice",
       {S("OfxPropLabel", "Same Frame Fit"),
        S("OfxParamPropHint",
          "How Same Frame mode learns the match. Smoothed Cells: each color takes the mean of the pixels nearest "
          "to it, then the table is smoothed. Fitted Lattice: the whole table is fitted to the pixels, which "
          "reproduces a grade more closely"),
        S("OfxParamPropChoiceOption", 0, "Smoothed Cells"), S("OfxParamPropChoiceOption", 1, "Fitted Lattice"),
        I("OfxParamPropDefault", 0)}},
      {"plateEncoding",
       "OfxParamTypeChoice",
       {S("OfxPropLabel", "Plate Encoding"),
        S("OfxParamPropHint",
          "What the values the host hands over are. As Delivered: video or display values, matched within 0..1. "
          "Scene Linear: scene-linear light, as compositing applications deliver it; highlights above 1 are kept. "
          "The camera choices: that camera's log encoding (curve only), matched as light and encoded back. From "
          "Host: the colour space the host says it delivers the Source in"),
        S("OfxParamPropChoiceOption", 0, "As Delivered"), S("OfxParamPropChoiceOption", 1, "Scene Linear"),
        S("OfxParamPropChoiceOption", 2, "ACEScct"), S("OfxParamPropChoiceOption", 3, "ARRI LogC3"),
        S("OfxParamPropChoiceOption", 4, "Sony S-Log3"), S("OfxParamPropChoiceOption", 5, "RED Log3G10"),
        S("OfxParamPropChoiceOption", 6, "Panasonic V-Log"), S("OfxParamPropChoiceOption", 7, "Canon C-Log3"),
        S("OfxParamPropChoiceOption", 8, "From Host"), I("OfxParamPropDefault", 0), I("OfxParamPropAnimates", 0)}},
      {"differentClipsLearner",
       "OfxParamTypeChoice",
       {S("OfxPropLabel", "Different Clips Learner"),
        S("OfxParamPropHint",
          "How Different Clips mode learns the match. Statistics: the Source's colour spread moved onto the "
          "Reference's. Matching Content: where the Reference shows part of the scene the Source shows (two "
          "cameras on one scene), the pictures are placed on each other and the match is fitted to the colours of "
          "the shared pixels; a frame where that cannot be trusted is matched by Statistics"),
        S("OfxParamPropChoiceOption", 0, "Statistics"), S("OfxParamPropChoiceOption", 1, "Matching Content"),
        I("OfxParamPropDefault", 0), I("OfxParamPropAnimates", 0)}},
  };
}

}  // namespace

TEST(Describe, EffectProperties) {
  auto host = openModule();
  ASSERT_EQ(host->load(), kOfxStatOK);
  ASSERT_EQ(host->describe(), kOfxStatOK);
  expectWrites(host->descriptor().props->writes(),
               {
                   S("OfxPropLabel", "Vantrel"),
                   S("OfxImageEffectPluginPropGrouping", "Kestrow"),
                   S("OfxImageEffectPropSupportedContexts", 0, "OfxImageEffectContextGeneral"),
                   S("OfxImageEffectPropSupportedContexts", 1, "OfxImageEffectContextFilter"),
                   S("OfxImageEffectPropSupportedPixelDepths", 0, "OfxBitDepthFloat"),
                   S("OfxImageEffectPropSupportedPixelDepths", 1, "OfxBitDepthShort"),
                   S("OfxImageEffectPropSupportedPixelDepths", 2, "OfxBitDepthByte"),
                   I("OfxImageEffectPropSupportsMultiResolution", 1),
                   I("OfxImageEffectPropSupportsTiles", 1),
                   I("OfxImageEffectPropTemporalClipAccess", 1),
                   S("OfxImageEffectPluginRenderThreadSafety", "OfxImageEffectRenderFullySafe"),
               },
               "effect");
}

// Both contexts define the same clips and parameters, the filter context's Reference and masks
// included.
TEST(Describe, ClipsAndParametersInBothContexts) {
  auto host = openModule();
  ASSERT_EQ(host->load(), kOfxStatOK);
  ASSERT_EQ(host->describe(), kOfxStatOK);
  const std::vector<ExpectedParam> params = expectedParams();
  for (const char* context : {"OfxImageEffectContextGeneral", "OfxImageEffectContextFilter"}) {
    SCOPED_TRACE(context);
    ASSERT_EQ(host->describeInContext(context), kOfxStatOK);
    ofxhost::Effect* descriptor = host->contextDescriptor(context);
    ASSERT_NE(descriptor, nullptr);

    ASSERT_EQ(descriptor->clips.size(), kExpectedClips.size());
    for (size_t k = 0; k < kExpectedClips.size(); ++k) {
      EXPECT_EQ(descriptor->clips[k]->name, kExpectedClips[k].name);
      expectWrites(descriptor->clips[k]->props->writes(), kExpectedClips[k].writes, kExpectedClips[k].name);
    }

    ASSERT_EQ(descriptor->params.params.size(), params.size());
    for (size_t k = 0; k < params.size(); ++k) {
      const ofxhost::Param& param = *descriptor->params.params[k];
      EXPECT_EQ(param.name, params[k].name);
      EXPECT_EQ(param.type, params[k].type) << param.name;
      expectWrites(param.props->writes(), params[k].writes, param.name);
    }
  }
}

// A fresh instance starts from the declared defaults: a full match, "Different Clips",
// "Nothing (Full Match)", no export path.
TEST(Describe, FreshInstanceHasTheDefaults) {
  auto host = describedModule();
  ofxhost::Effect* instance = host->newInstance(kOfxImageEffectContextGeneral);
  ASSERT_NE(instance, nullptr);
  ASSERT_EQ(host->createInstance(instance), kOfxStatOK);
  for (const char* name : {"strength", "strengthR", "strengthG", "strengthB"}) {
    auto value = host->paramValue(instance, name);
    ASSERT_TRUE(value) << name;
    EXPECT_EQ(value->doubles, std::vector<double>{1.0}) << name;
  }
  EXPECT_EQ(host->paramValue(instance, "matchMode")->ints, std::vector<int>{0});
  EXPECT_EQ(host->paramValue(instance, "preserveMode")->ints, std::vector<int>{0});
  EXPECT_EQ(host->paramValue(instance, "exportPath")->str, "");
  // "Current Frame": the match learnt from the frame being rendered, as without the setting.
  EXPECT_EQ(host->paramValue(instance, "analysisMode")->ints, std::vector<int>{0});
  EXPECT_EQ(host->paramValue(instance, "frameRange")->ints, (std::vector<int>{0, -1}));
  EXPECT_EQ(host->paramValue(instance, "sameFrameFit")->ints, std::vector<int>{0});           // "Smoothed Cells"
  EXPECT_EQ(host->paramValue(instance, "plateEncoding")->ints, std::vector<int>{0});          // "As Delivered"
  EXPECT_EQ(host->paramValue(instance, "differentClipsLearner")->ints, std::vector<int>{0});  // "Statistics"
  EXPECT_EQ(host->destroyInstance(instance), kOfxStatOK);
}
