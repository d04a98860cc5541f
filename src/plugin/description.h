// The effect as hosts see it: one table of clips and one of parameters, read by the describe
// actions and by anything else that needs to list them (the command-line tool's help).
#pragma once

#include "ofx/ofx_api.h"
#include "ofx/ofx_names.h"

struct ClipDescription {
  const char* name;
  const char* label;  // null: the host shows the name
  bool optional;
  bool isMask;
  const char* components[3];  // in index order, unused slots null
  bool temporal;              // read at frames other than the one being rendered
};

enum class ParamKind { Double, Choice, String, PushButton, Integer, Integer2D };

// The longest choice ("Plate Encoding").
constexpr int kMaxChoiceOptions = 9;

struct ParamDescription {
  const char* name;
  ParamKind kind;
  const char* label;
  const char* hint;
  // Double: the default value. Choice: the default option index.
  double defaultValue;
  double min, max, displayMin, displayMax;
  bool hasStep;  // increment and digits are set only when true
  double increment;
  int digits;
  const char* options[kMaxChoiceOptions];  // choice options in index order, unused slots null
  const char* defaultString;               // string parameters
  // Integer and Integer2D: the default (one or two values), and the limits when hasIntRange.
  int intDefault[2] = {0, 0};
  bool hasIntRange = false;
  int intMin = 0, intMax = 0, intDisplayMin = 0, intDisplayMax = 0;
  const char* dimensionLabels[2] = {nullptr, nullptr};  // Integer2D
  // Settings that hold for the whole clip: not animated, and read without a time.
  bool fixed = false;
};

constexpr const char* kEffectLabel = "Vantrel";
constexpr const char* kEffectGrouping = "Kestrow";
constexpr const char* kEffectContexts[2] = {kOfxImageEffectContextGeneral, kOfxImageEffectContextFilter};

constexpr int kClipCount = 5;
constexpr int kParamCount = 18;

// In order of definition.
extern const ClipDescription kClips[kClipCount];
extern const ParamDescription kParams[kParamCount];

const char* paramTypeName(ParamKind kind);

OfxStatus describe(OfxImageEffectHandle effect);
OfxStatus describeInContext(OfxImageEffectHandle effect);
