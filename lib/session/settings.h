// The effect's settings as users give them, and the plug-in parameter and choice index each one
// sets: the one table from which `vantrel match`'s option lists, its edits of the instance and
// the Python module's keyword checks are all made. A parameter the plug-in gains becomes a
// setting by a row here; a generic `NAME=VALUE` setting finds its row by findParamWord and reads
// its value with parseParamText.
#pragma once

#include "host/ofx_host.h"

#include <optional>
#include <string>
#include <vector>

enum class ParamType {
  Choice,       // one of `choices`, given to the plug-in as its option index
  Number,       // a number from `low` to `high`
  Integer,      // a whole number from `low` to `high`
  IntegerPair,  // two whole numbers (first, last), each from `low` to `high`
};

struct ParamWord {
  const char* param;    // the plug-in's parameter
  const char* option;   // `vantrel match`'s option; null for none of its own (set with --param)
  const char* keyword;  // the Python keyword
  ParamType type;
  std::vector<std::string> choices;  // Choice: the users' words, in the plug-in's option order
  double low = 0, high = 0;          // Number, Integer, IntegerPair
  // What the tool and Python give the plug-in when the user says nothing (for a choice, its
  // index; NaN where it depends on the shot: the key frame and the frame range). Where this is
  // not the plug-in's own default, `vantrel match --help` says so.
  double fallback = 0;
  // Choice: the plug-in's own option labels, in order, which a generic setting may give instead
  // of a word (empty where they are the words).
  std::vector<std::string> labels = {};
};

extern const ParamWord kMix, kMixRed, kMixGreen, kMixBlue;  // strength, strengthR/G/B
extern const ParamWord kMatchMode;                          // different, same
extern const ParamWord kPreserve;                           // nothing, brightness, colors
extern const ParamWord kAnalysis;                           // current, key, range, window
extern const ParamWord kKeyFrame, kFrameRange, kWindowRadius, kFrameStep;
extern const ParamWord kSameFrameFit;  // cells, lattice (the tool's and Python's default)
// "Plate Encoding": its words are the plug-in's labels; no option of its own in the tool, whose
// colour management converts plates before the plug-in sees them.
extern const ParamWord kPlateEncoding;
extern const ParamWord kDcLearner;  // statistics, content (the tool's and Python's default)

// Every row, in the order the plug-in defines its parameters.
const std::vector<const ParamWord*>& paramWords();
// The row of a plug-in parameter, an option (with or without its dashes) or a keyword.
const ParamWord* findParamWord(const std::string& name);

// The index of a choice's word.
std::optional<int> choiceIndex(const ParamWord& word, const std::string& choice);
// The word of the choice the user gets without asking.
const std::string& fallbackChoice(const ParamWord& word);
// "'a', 'b' or 'c'" and "from 1 to 500", for messages.
std::string choiceList(const ParamWord& word);
std::string rangeText(const ParamWord& word);
bool inRange(const ParamWord& word, double value);

// The parameter's value: a choice's index, a number, or whole numbers.
ofxhost::ParamValue choiceValue(const ParamWord& word, const std::string& choice);  // a word of the row
ofxhost::ParamValue numberValue(double value);
ofxhost::ParamValue integerValue(std::vector<int> values);

// A value written as a user writes it: a choice's word, the plug-in's label or its index, a
// number, a whole number, or "A-B" for a pair. False, with `error` ("'x' is not a number from 0
// to 1"), when it is none of the row's.
bool parseParamText(const ParamWord& word, const std::string& text, ofxhost::ParamValue& out, std::string& error);

// The same for any parameter of a plug-in instance, from its definition: a choice by one of its
// option labels or its index, a number (one per component, separated by commas), a whole number,
// a boolean (0, 1, true, false), a string as it is. A row of the table reads the text as
// parseParamText does. False with `error` for a push button, a kind this host does not set, or a
// value the definition does not take.
bool parsePluginParamText(const ofxhost::Param& param, const std::string& text, ofxhost::ParamValue& out,
                          std::string& error);
