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
const ParamWord kMatchMode{"matchMode", "--mode", "mode", ParamType::Choice, {"different", "same"}};
const ParamWord kPreserve{
    "preserveMode", "--preserve", "preserve", ParamType::Choice, {"nothing", "brightness", "colors"}};
const ParamWord kAnalysis{
    "analysisMode", "--analysis", "analysis", ParamType::Choice, {"current", "key", "range", "window"}};
const ParamWord kKeyFrame{"keyFrame", "--key-frame", "key_frame", ParamType::Integer,
                          {},         INT_MIN,       INT_MAX,     kNoFallback};
const ParamWord kFrameRange{"frameRange", "--analysis-frames", "frame_range", ParamType::IntegerPair, {}, INT_MIN,
                            INT_MAX,      kNoFallback};
const ParamWord kWindowRadius{"windowRadius", "--window-radius", "window_radius", ParamType::Integer, {}, 1, 500, 5};
const ParamWord kFrameStep{"frameStep", "--frame-step", "frame_step", ParamType::Integer, {}, 1, 1000, 1};
// The tool and Python learn Same Frame with the fitted lattice unless told otherwise
// (docs/colour.md has the measurements); the plug-in's own default is the cells.
const ParamWord kSameFrameFit{"sameFrameFit", "--fit", "fit", ParamType::Choice, {"cells", "lattice"}, 0, 0, 1};
// The tool and Python learn Different Clips from matching content unless told otherwise: on
// pictures of one scene it leaves a quarter of the statistics' error, and where the pictures share
// nothing it falls back to them (docs/colour.md). The plug-in's own default is the statistics.
const ParamWord kDcLearner{
    "differentClipsLearner", "--dc-learner", "dc_learner", ParamType::Choice, {"statistics", "content"}, 0, 0, 1};

const std::vector<const ParamWord*>& paramWords() {
  static const std::vector<const ParamWord*> words = {
      &kMix,      &kMixRed,     &kMixGreen,     &kMixBlue,   &kMatchMode,    &kPreserve, &kAnalysis,
      &kKeyFrame, &kFrameRange, &kWindowRadius, &kFrameStep, &kSameFrameFit, &kDcLearner};
  return words;
}

const ParamWord* findParamWord(const std::string& name) {
  for (const ParamWord* word : paramWords())
    if (name == word->param || name == word->option || name == word->option + 2 || name == word->keyword) return word;
  return nullptr;
}

std::optional<int> choiceIndex(const ParamWord& word, const std::string& choice) {
  const auto found = std::find(word.choices.begin(), word.choices.end(), choice);
  if (found == word.choices.end()) return std::nullopt;
  return int(found - word.choices.begin());
}

const std::string& fallbackChoice(const ParamWord& word) { return word.choices.at(size_t(word.fallback)); }

std::string choiceList(const ParamWord& word) {
  std::string names;
  const size_t n = word.choices.size();
  for (size_t i = 0; i < n; ++i) names += (i == 0 ? "'" : i + 1 == n ? " or '" : ", '") + word.choices[i] + "'";
  return names;
}

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
    case ParamType::Choice:
      if (const std::optional<int> index = choiceIndex(word, text)) {
        out = integerValue({*index});
        return true;
      }
      error = "'" + text + "' is not " + choiceList(word);
      return false;
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
