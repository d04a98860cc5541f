#include "session/settings.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

constexpr double kNoFallback = std::numeric_limits<double>::quiet_NaN();

std::string numberText(double v, ParamType type) {
  if (type != ParamType::Number) return std::to_string((long long)v);
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

// A whole number within int, nothing else in the text.
bool parseInteger(const std::string& text, int& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (*end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  out = int(v);
  return true;
}

}  // namespace

const ParamWord kMix{"strength", "--mix", "mix", ParamType::Number, {}, 0.0, 1.0, 1.0};
const ParamWord kMixRed{"strengthR", "--mix-r", "mix_rgb", ParamType::Number, {}, 0.0, 1.0, 1.0};
const ParamWord kMixGreen{"strengthG", "--mix-g", "mix_rgb", ParamType::Number, {}, 0.0, 1.0, 1.0};
const ParamWord kMixBlue{"strengthB", "--mix-b", "mix_rgb", ParamType::Number, {}, 0.0, 1.0, 1.0};
const ParamWord kMatchMode{"matchMode",
                           "--mode",
                           "mode",
                           ParamType::Choice,
                           {"different", "same"},
                           0,
                           0,
                           0,
                           {"Different Clips", "Same Frame"}};
const ParamWord kPreserve{"preserveMode",
                          "--preserve",
                          "preserve",
                          ParamType::Choice,
                          {"nothing", "brightness", "colors"},
                          0,
                          0,
                          0,
                          {"Nothing", "Brightness", "Colors"}};
const ParamWord kAnalysis{"analysisMode",
                          "--analysis",
                          "analysis",
                          ParamType::Choice,
                          {"current", "key", "range", "window"},
                          0,
                          0,
                          0,
                          {"Current Frame", "Key Frame", "Frame Range", "Moving Window"}};
const ParamWord kKeyFrame{"keyFrame", "--key-frame", "key_frame", ParamType::Integer,
                          {},         INT_MIN,       INT_MAX,     kNoFallback};
const ParamWord kFrameRange{"frameRange", "--analysis-frames", "frame_range", ParamType::IntegerPair, {}, INT_MIN,
                            INT_MAX,      kNoFallback};
const ParamWord kWindowRadius{"windowRadius", "--window-radius", "window_radius", ParamType::Integer, {}, 1, 500, 5};
const ParamWord kFrameStep{"frameStep", "--frame-step", "frame_step", ParamType::Integer, {}, 1, 1000, 1};
// The tool and Python learn Same Frame with the fitted lattice unless told otherwise
// (docs/colour.md has the measurements); the plug-in's own default is the cells.
const ParamWord kSameFrameFit{"sameFrameFit",
                              "--fit",
                              "fit",
                              ParamType::Choice,
                              {"cells", "lattice"},
                              0,
                              0,
                              1,
                              {"Smoothed Cells", "Fitted Lattice"}};
const ParamWord kPlateEncoding{"plateEncoding",
                               nullptr,
                               "plate_encoding",
                               ParamType::Choice,
                               {"As Delivered", "Scene Linear", "ACEScct", "ARRI LogC3", "Sony S-Log3", "RED Log3G10",
                                "Panasonic V-Log", "Canon C-Log3", "From Host"}};

// The tool and Python learn Different Clips from matching content unless told otherwise: on
// pictures of one scene it leaves a quarter of the statistics' error, and where the pictures share
// nothing it falls back to them (docs/colour.md). The plug-in's own default is the statistics.
const ParamWord kDcLearner{"differentClipsLearner",
                           "--dc-learner",
                           "dc_learner",
                           ParamType::Choice,
                           {"statistics", "content"},
                           0,
                           0,
                           1,
                           {"Statistics", "Matching Content"}};

const std::vector<const ParamWord*>& paramWords() {
  static const std::vector<const ParamWord*> words = {
      &kMix,      &kMixRed,     &kMixGreen,     &kMixBlue,   &kMatchMode,    &kPreserve,      &kAnalysis,
      &kKeyFrame, &kFrameRange, &kWindowRadius, &kFrameStep, &kSameFrameFit, &kPlateEncoding, &kDcLearner};
  return words;
}

const ParamWord* findParamWord(const std::string& name) {
  for (const ParamWord* word : paramWords())
    if (name == word->param || name == word->keyword ||
        (word->option && (name == word->option || name == word->option + 2)))
      return word;
  return nullptr;
}

std::optional<int> choiceIndex(const ParamWord& word, const std::string& choice) {
  const auto found = std::find(word.choices.begin(), word.choices.end(), choice);
  if (found == word.choices.end()) return std::nullopt;
  return int(found - word.choices.begin());
}

namespace {

// A choice given by a label of `labels` or by its index.
std::optional<int> labelOrIndex(const std::vector<std::string>& labels, const std::string& text) {
  const auto found = std::find(labels.begin(), labels.end(), text);
  if (found != labels.end()) return int(found - labels.begin());
  int index = 0;
  if (parseInteger(text, index) && index >= 0 && size_t(index) < labels.size()) return index;
  return std::nullopt;
}

std::string quotedList(const std::vector<std::string>& names) {
  std::string text;
  const size_t n = names.size();
  for (size_t i = 0; i < n; ++i) text += (i == 0 ? "'" : i + 1 == n ? " or '" : ", '") + names[i] + "'";
  return text;
}

}  // namespace

const std::string& fallbackChoice(const ParamWord& word) { return word.choices.at(size_t(word.fallback)); }

std::string choiceList(const ParamWord& word) { return quotedList(word.choices); }

std::string rangeText(const ParamWord& word) {
  return "from " + numberText(word.low, word.type) + " to " + numberText(word.high, word.type);
}

bool inRange(const ParamWord& word, double value) {
  return std::isfinite(value) && value >= word.low && value <= word.high;
}

ofxhost::ParamValue choiceValue(const ParamWord& word, const std::string& choice) {
  return integerValue({choiceIndex(word, choice).value()});
}

ofxhost::ParamValue numberValue(double value) {
  ofxhost::ParamValue v;
  v.doubles = {value};
  return v;
}

ofxhost::ParamValue integerValue(std::vector<int> values) {
  ofxhost::ParamValue v;
  v.ints = std::move(values);
  return v;
}

bool parseParamText(const ParamWord& word, const std::string& text, ofxhost::ParamValue& out, std::string& error) {
  const std::string range = rangeText(word);
  switch (word.type) {
    case ParamType::Choice: {
      std::optional<int> index = choiceIndex(word, text);
      if (!index) index = labelOrIndex(word.labels.empty() ? word.choices : word.labels, text);
      if (index) {
        out = integerValue({*index});
        return true;
      }
      error = "'" + text + "' is not " + choiceList(word);
      if (!word.labels.empty()) error += ", " + quotedList(word.labels);
      error += " or an index from 0 to " + std::to_string(word.choices.size() - 1);
      return false;
    }
    case ParamType::Number: {
      char* end = nullptr;
      const double v = std::strtod(text.c_str(), &end);
      if (!text.empty() && *end == '\0' && inRange(word, v)) {
        out = numberValue(v);
        return true;
      }
      error = "'" + text + "' is not a number " + range;
      return false;
    }
    case ParamType::Integer: {
      int v = 0;
      if (parseInteger(text, v) && inRange(word, v)) {
        out = integerValue({v});
        return true;
      }
      error = "'" + text + "' is not a whole number " + range;
      return false;
    }
    case ParamType::IntegerPair: {
      // The first may be negative: the pair's dash is the first one after it.
      const size_t dash = text.find('-', 1);
      int first = 0, last = 0;
      if (dash != std::string::npos && parseInteger(text.substr(0, dash), first) &&
          parseInteger(text.substr(dash + 1), last) && inRange(word, first) && inRange(word, last) && first <= last) {
        out = integerValue({first, last});
        return true;
      }
      error = "'" + text + "' is not A-B with whole numbers A <= B " + range;
      return false;
    }
  }
  return false;
}

bool parsePluginParamText(const ofxhost::Param& param, const std::string& text, ofxhost::ParamValue& out,
                          std::string& error) {
  if (const ParamWord* word = findParamWord(param.name); word && word->param == param.name)
    return parseParamText(*word, text, out, error);
  const ofxhost::PropertySet* props = param.props.get();
  auto bound = [&](const char* name, int i, double fallback) {
    const std::optional<double> d = props ? props->getDouble(name, i) : std::nullopt;
    if (d) return *d;
    const std::optional<int> n = props ? props->getInt(name, i) : std::nullopt;
    return n ? double(*n) : fallback;
  };
  // Components separated by commas, each a number within the definition's range.
  auto numbers = [&](bool whole) {
    std::vector<double> values;
    size_t start = 0;
    for (int i = 0; i < std::max(1, param.valueCount); ++i) {
      const size_t comma = text.find(',', start);
      const std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      const double low = bound(kOfxParamPropMin, i, -std::numeric_limits<double>::infinity());
      const double high = bound(kOfxParamPropMax, i, std::numeric_limits<double>::infinity());
      char* end = nullptr;
      int n = 0;
      const double v = whole ? (parseInteger(part, n) ? double(n) : std::nan("")) : std::strtod(part.c_str(), &end);
      if ((!whole && (part.empty() || *end != '\0')) || !std::isfinite(v) || v < low || v > high) return false;
      values.push_back(v);
      if ((comma == std::string::npos) != (i + 1 == std::max(1, param.valueCount))) return false;
      start = comma + 1;
    }
    if (whole)
      out = integerValue(std::vector<int>(values.begin(), values.end()));
    else
      out = numberValue(0.0), out.doubles = values;
    return true;
  };
  switch (param.kind) {
    case ofxhost::ParamKind::Choice: {
      const std::optional<ofxhost::Property> options = props ? props->get(kOfxParamPropChoiceOption) : std::nullopt;
      const std::vector<std::string> labels = options ? options->strings : std::vector<std::string>{};
      if (const std::optional<int> index = labelOrIndex(labels, text)) {
        out = integerValue({*index});
        return true;
      }
      error = "'" + text + "' is not " + quotedList(labels) + " or an index from 0 to " +
              std::to_string(int(labels.size()) - 1);
      return false;
    }
    case ofxhost::ParamKind::Boolean:
      if (text == "1" || text == "true" || text == "0" || text == "false") {
        out = integerValue({text == "1" || text == "true" ? 1 : 0});
        return true;
      }
      error = "'" + text + "' is not 0, 1, true or false";
      return false;
    case ofxhost::ParamKind::Double:
    case ofxhost::ParamKind::Integer: {
      const bool whole = param.kind == ofxhost::ParamKind::Integer;
      if (numbers(whole)) return true;
      const int n = std::max(1, param.valueCount);
      error = "'" + text + "' is not " + (n > 1 ? std::to_string(n) + " " : std::string("a ")) +
              (whole ? "whole number" : "number") + (n > 1 ? "s separated by commas" : "") + " within its range";
      return false;
    }
    case ofxhost::ParamKind::String:
      out = ofxhost::ParamValue{};
      out.str = text;
      return true;
    case ofxhost::ParamKind::PushButton:
    case ofxhost::ParamKind::Other:
      break;
  }
  error = "'" + param.name + "' is a " + param.type + ", which takes no value";
  return false;
}
