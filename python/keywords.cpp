#include "keywords.h"

#include "session/settings.h"

namespace pyvantrel {

namespace {

Setting choose(const ParamWord& word, const std::string& name) {
  const std::optional<int> index = choiceIndex(word, name);
  if (!index)
    throw py::value_error(std::string(word.keyword) + " must be " + choiceList(word) + ", not '" + name + "'");
  return Setting{word.param, integerValue({*index})};
}

Setting mixSetting(const ParamWord& word, double value) {
  if (!inRange(word, value))
    throw py::value_error(std::string(word.keyword) + " must be a number " + rangeText(word) + ", not " +
                          py::str(py::float_(value)).cast<std::string>());
  return Setting{word.param, numberValue(value)};
}

// The keyword of a whole-number setting, or its fallback when it was left out (None).
int integerOf(const py::object& value, const ParamWord& word) {
  if (value.is_none()) return int(word.fallback);
  return pyvantrel::integerOf(value, word.keyword, (long long)word.low, (long long)word.high);
}

Setting intsSetting(const ParamWord& word, std::vector<int> ints, bool optional) {
  return Setting{word.param, integerValue(std::move(ints)), optional};
}

}  // namespace

int integerOf(const py::handle& value, const std::string& keyword, long long low, long long high) {
  if (!py::isinstance<py::int_>(value) || py::isinstance<py::bool_>(value))
    throw py::type_error(keyword + " must be an integer, not " + py::repr(value).cast<std::string>());
  const long long n = value.cast<long long>();
  if (n < low || n > high)
    throw py::value_error(keyword + " must be from " + std::to_string(low) + " to " + std::to_string(high) + ", not " +
                          std::to_string(n));
  return int(n);
}

std::vector<Setting> MatchKeywords::settings() const {
  std::vector<Setting> out = {choose(kMatchMode, mode), choose(kPreserve, preserve), mixSetting(kMix, mix)};
  // Each learner plays a part in its own mode only, where it is named; a plug-in without the
  // Different Clips choice has only the statistics, which it then learns by.
  const Setting learner = choose(kSameFrameFit, fit);
  Setting dc = choose(kDcLearner, dcLearner);
  dc.optional = true;
  out.push_back(mode == "same" ? learner : dc);
  // A plug-in without the choice takes what it is given as delivered.
  Setting encoding = choose(kPlateEncoding, plateEncoding);
  encoding.optional = encoding.value.ints[0] == 0;
  out.push_back(encoding);
  if (!py::isinstance<py::sequence>(mixRgb) || py::isinstance<py::str>(mixRgb) || py::len(mixRgb) != 3)
    throw py::type_error("mix_rgb must be a sequence of three numbers (red, green, blue), not " +
                         py::repr(mixRgb).cast<std::string>());
  const ParamWord* channels[3] = {&kMixRed, &kMixGreen, &kMixBlue};
  const py::sequence values = mixRgb;
  for (size_t c = 0; c < 3; ++c) {
    if (!py::isinstance<py::int_>(values[c]) && !py::isinstance<py::float_>(values[c]))
      throw py::type_error("mix_rgb must hold three numbers, not " + py::repr(mixRgb).cast<std::string>());
    out.push_back(mixSetting(*channels[c], values[c].cast<double>()));
  }
  return out;
}

void AnalysisKeywords::checkBelongs(int choice) const {
  const std::vector<std::string>& names = kAnalysis.choices;
  auto belongs = [&](const py::object& value, const ParamWord& word, bool fits, const std::string& with) {
    if (!value.is_none() && !fits)
      throw py::value_error(std::string(word.keyword) + " goes with " + with + ", not analysis='" + analysis + "'");
  };
  belongs(keyFrame, kKeyFrame, choice == 1, "analysis='" + names[1] + "'");
  belongs(frameRange, kFrameRange, choice == 2, "analysis='" + names[2] + "'");
  belongs(windowRadius, kWindowRadius, choice == 3, "analysis='" + names[3] + "'");
  belongs(frameStep, kFrameStep, choice == 2 || choice == 3, "analysis='" + names[2] + "' or '" + names[3] + "'");
}

std::vector<int> AnalysisKeywords::range() const {
  if (frameRange.is_none()) return {0, -1};
  if (!py::isinstance<py::sequence>(frameRange) || py::isinstance<py::str>(frameRange) || py::len(frameRange) != 2)
    throw py::type_error("frame_range must be (first, last), not " + py::repr(frameRange).cast<std::string>());
  const py::sequence ends = frameRange;
  const long long low = (long long)kFrameRange.low, high = (long long)kFrameRange.high;
  const std::vector<int> range = {integerOf(ends[0], "frame_range's first", low, high),
                                  integerOf(ends[1], "frame_range's last", low, high)};
  if (range[1] < range[0])
    throw py::value_error("frame_range must be (first, last) with first <= last, not " +
                          py::repr(frameRange).cast<std::string>());
  return range;
}

std::vector<Setting> AnalysisKeywords::settings(const ShotRange& shot) const {
  Setting mode = choose(kAnalysis, analysis);
  const int choice = mode.value.ints[0];
  const bool current = choice == 0;
  checkBelongs(choice);
  if (!current && !shot.given())
    throw py::value_error("analysis='" + kAnalysis.choices[size_t(choice)] +
                          "' learns from other frames than the one rendered: give the session the shot's frames "
                          "with set_frames() first");
  mode.optional = current;  // a plug-in without the choice learns from each frame
  return {mode, intsSetting(kKeyFrame, {keyFrame.is_none() ? shot.first : integerOf(keyFrame, kKeyFrame)}, current),
          intsSetting(kFrameRange, range(), current),
          intsSetting(kWindowRadius, {integerOf(windowRadius, kWindowRadius)}, current),
          intsSetting(kFrameStep, {integerOf(frameStep, kFrameStep)}, current)};
}

}  // namespace pyvantrel
