// The Python keywords of a match and the plug-in parameters they set, checked against the
// settings table of lib/session (choices, ranges, what is given when a keyword is left out). A
// parameter the plug-in gains becomes a keyword by a row there, a member here, an argument in
// module.cpp's bindings and a line in its docstrings.
#pragma once

#include "session.h"

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace pyvantrel {

namespace py = pybind11;

// An integer keyword (bool and float refused) from `low` to `high`.
int integerOf(const py::handle& value, const std::string& keyword, long long low, long long high);

// The settings of one match, every parameter named so that a call depends on its own arguments.
struct MatchKeywords {
  std::string mode, preserve;
  double mix = 1.0;
  py::object mixRgb;
  std::string fit;
  std::string plateEncoding;  // the plug-in's "Plate Encoding" label
  std::string dcLearner;
  std::vector<Setting> settings() const;
};

// The frames of a shot a session has been given (set_frames).
struct ShotRange {
  int first = 0, last = -1;
  bool given() const { return last >= first; }
};

// Which frames a session's match is learnt from, with every parameter named so that a call
// depends on its own arguments: a keyword left out takes the plug-in's default (the key frame:
// the shot's first), as `vantrel match` does.
struct AnalysisKeywords {
  std::string analysis;
  py::object keyFrame, frameRange, windowRadius, frameStep;
  std::vector<Setting> settings(const ShotRange& shot) const;

 private:
  // Refuses a keyword that plays no part in the analysis chosen.
  void checkBelongs(int choice) const;
  // (first, last); the plug-in's {0, -1} (the Source clip's whole range) when left out.
  std::vector<int> range() const;
};

}  // namespace pyvantrel
