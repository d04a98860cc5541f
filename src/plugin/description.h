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
};

enum class ParamKind { Double, Choice, String, PushButton };

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
  const char* options[3];     // choice options in index order, unused slots null
  const char* defaultString;  // string parameters
};

constexpr const char* kEffectLabel = "Vantrel";
constexpr const char* kEffectGrouping = "Kestrow";
constexpr const char* kEffectContexts[2] = {kOfxImageEffectContextGeneral, kOfxImageEffectContextFilter};

constexpr int kClipCount = 5;
constexpr int kParamCount = 11;

// In order of definition.
extern const ClipDescription kClips[kClipCount];
extern const ParamDescription kParams[kParamCount];

const char* paramTypeName(ParamKind kind);

OfxStatus describe(OfxImageEffectHandle effect);
OfxStatus describeInContext(OfxImageEffectHandle effect);
