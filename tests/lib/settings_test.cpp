// The table users' words go through on their way to the plug-in: every front end reads the same
// rows, so a row that disagrees with the plug-in, or a value read wrongly, reaches every user.
#include "session/settings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

namespace {

ofxhost::ParamValue parsed(const ParamWord& word, const std::string& text) {
  ofxhost::ParamValue value;
  std::string error;
  EXPECT_TRUE(parseParamText(word, text, value, error)) << text << ": " << error;
  return value;
}

std::string refused(const ParamWord& word, const std::string& text) {
  ofxhost::ParamValue value;
  std::string error;
  EXPECT_FALSE(parseParamText(word, text, value, error)) << text;
  return error;
}

}  // namespace

TEST(Settings, EveryRowIsFoundByItsParameterOptionAndKeywordAndItsFallbackIsAValue) {
  std::set<std::string> params;
  for (const ParamWord* word : paramWords()) {
    EXPECT_TRUE(params.insert(word->param).second) << word->param;
    EXPECT_EQ(findParamWord(word->param), word);
    EXPECT_EQ(findParamWord(word->option), word);
    EXPECT_EQ(findParamWord(word->option + 2), word) << "the option without its dashes";
    if (word->type == ParamType::Choice) {
      EXPECT_LT(size_t(word->fallback), word->choices.size()) << word->param;
    } else if (!std::isnan(word->fallback)) {
      EXPECT_TRUE(inRange(*word, word->fallback)) << word->param;
    }
  }
  EXPECT_EQ(findParamWord("nothing-of-the-kind"), nullptr);
  // The choices in the plug-in's option order, and the defaults the tool and Python give.
  EXPECT_EQ(choiceValue(kPreserve, "colors").ints, std::vector<int>{2});
  EXPECT_EQ(choiceValue(kAnalysis, "window").ints, std::vector<int>{3});
  EXPECT_EQ(fallbackChoice(kSameFrameFit), "lattice");
  EXPECT_EQ(fallbackChoice(kMatchMode), "different");
  EXPECT_EQ(choiceList(kPreserve), "'nothing', 'brightness' or 'colors'");
}

TEST(Settings, TextIsReadAsItsRowTakesItAndAnythingElseIsRefusedWithTheRange) {
  EXPECT_EQ(parsed(kMatchMode, "same").ints, std::vector<int>{1});
  EXPECT_EQ(parsed(kMix, "0.25").doubles, std::vector<double>{0.25});
  EXPECT_EQ(parsed(kWindowRadius, "500").ints, std::vector<int>{500});
  EXPECT_EQ(parsed(kFrameRange, "1001-1048").ints, (std::vector<int>{1001, 1048}));
  EXPECT_EQ(parsed(kFrameRange, "-5-3").ints, (std::vector<int>{-5, 3}));
  EXPECT_EQ(parsed(kKeyFrame, "-12").ints, std::vector<int>{-12});

  EXPECT_EQ(refused(kMix, "nan"), "'nan' is not a number from 0 to 1");
  EXPECT_EQ(refused(kMix, "1.5"), "'1.5' is not a number from 0 to 1");
  EXPECT_EQ(refused(kWindowRadius, "0"), "'0' is not a whole number from 1 to 500");
  for (const char* text : {"", "2.5", "7x", "99999999999"}) refused(kFrameStep, text);
  EXPECT_EQ(refused(kMatchMode, "Same"), "'Same' is not 'different' or 'same'");
  for (const char* text : {"1048-1001", "1001", "a-b", "1-"}) refused(kFrameRange, text);
}
