#include <string>

#include "export_test_util.h"
#include "module_fixture.h"

namespace {

using InstanceChanged = ModuleTest;

const char* const kInvalidated = "Vantrel: LUT invalidated - will rebuild on next render\n";
const char* const kParameterChanged = "Vantrel: Parameter changed - LUT invalidated\n";
const char* const kClipChanged = "Vantrel: Input clip changed - LUT invalidated\n";

TEST_F(InstanceChanged, RefreshButtonInvalidates) {
  EXPECT_EQ(change("rebuildButton"), kOfxStatReplyDefault);
  EXPECT_EQ(host_.lastStderr(), kInvalidated);
  EXPECT_FALSE(record_->lut.valid);

  installIdentity();
  float* storage = record_->lut.data;
  EXPECT_EQ(change("rebuildButton"), kOfxStatReplyDefault);
  EXPECT_EQ(host_.lastStderr(), kInvalidated);
  EXPECT_FALSE(record_->lut.valid);
  EXPECT_EQ(record_->lut.data, storage);
  EXPECT_EQ(record_->lut.size, kLutSize);
}

TEST_F(InstanceChanged, ModeChangesInvalidateWithOneLine) {
  for (const char* name : {"matchMode", "preserveMode", "sameFrameFit"}) {
    installIdentity();
    record_->lutMatchMode = 1;
    EXPECT_EQ(change(name), kOfxStatReplyDefault) << name;
    EXPECT_EQ(host_.lastStderr(), kParameterChanged) << name;
    EXPECT_FALSE(record_->lut.valid) << name;
    EXPECT_EQ(record_->lutMatchMode, 1) << "keys stay as the last build left them";
  }
}

TEST_F(InstanceChanged, OtherChangesKeepTheLut) {
  installIdentity();
  for (const char* name : {"strength", "strengthR", "strengthG", "strengthB", "exportPath", "MatchMode",
                           "rebuildbutton", "somethingElse", ""}) {
    EXPECT_EQ(change(name), kOfxStatReplyDefault) << name;
    EXPECT_EQ(host_.lastStderr(), "") << name;
    EXPECT_TRUE(record_->lut.valid) << name;
  }
  EXPECT_TRUE(host_.messages().empty());
}

TEST_F(InstanceChanged, AnyClipChangeInvalidates) {
  for (const char* clip : {"SourceMask", "Source", "Reference", "ReferenceMask", "Output"}) {
    installIdentity();
    EXPECT_EQ(change(clip, kOfxTypeClip), kOfxStatReplyDefault) << clip;
    EXPECT_EQ(host_.lastStderr(), kClipChanged) << clip;
    EXPECT_FALSE(record_->lut.valid) << clip;
  }
  // The clip test follows the table: a clip that shares a button's name gets both lines.
  EXPECT_EQ(change("rebuildButton", kOfxTypeClip), kOfxStatReplyDefault);
  EXPECT_EQ(host_.lastStderr(), std::string(kInvalidated) + kClipChanged);
}

TEST_F(InstanceChanged, MissingNameOrTypeLeavesOnlyTheClipTest) {
  installIdentity();
  ofxhost::PropertySet typeOnly(&host_, "args", false);
  typeOnly.defineString(kOfxPropType, {kOfxTypeParameter});
  EXPECT_EQ(host_.action(kOfxActionInstanceChanged, instance_->handle(), typeOnly.handle()), kOfxStatReplyDefault);
  EXPECT_EQ(host_.lastStderr(), "");
  EXPECT_TRUE(record_->lut.valid);

  ofxhost::PropertySet nothing(&host_, "args", false);
  EXPECT_EQ(host_.action(kOfxActionInstanceChanged, instance_->handle(), nothing.handle()), kOfxStatReplyDefault);
  EXPECT_TRUE(record_->lut.valid);
  EXPECT_EQ(host_.action(kOfxActionInstanceChanged, instance_->handle(), nullptr), kOfxStatReplyDefault);
  EXPECT_TRUE(record_->lut.valid);

  ofxhost::PropertySet clipOnly(&host_, "args", false);
  clipOnly.defineString(kOfxPropType, {kOfxTypeClip});
  EXPECT_EQ(host_.action(kOfxActionInstanceChanged, instance_->handle(), clipOnly.handle()), kOfxStatReplyDefault);
  EXPECT_EQ(host_.lastStderr(), kClipChanged);
  EXPECT_FALSE(record_->lut.valid);
}

TEST_F(InstanceChanged, InstanceWithoutRecordIsABadHandle) {
  host_.failNextAllocs(1);
  ofxhost::Effect* orphan = host_.newInstance(kOfxImageEffectContextGeneral);
  ASSERT_EQ(host_.createInstance(orphan), kOfxStatErrMemory);
  for (const char* name : {"rebuildButton", "exportButton", "exportCDLButton"}) {
    EXPECT_EQ(host_.instanceChanged(orphan, kOfxTypeParameter, name), kOfxStatErrBadHandle);
    EXPECT_EQ(host_.lastStderr(), "");
  }
  EXPECT_EQ(host_.instanceChanged(orphan, kOfxTypeClip, "Source"), kOfxStatErrBadHandle);
  EXPECT_TRUE(host_.messages().empty());
}

// Without a LUT both buttons refuse before reading any parameter, and skip the clip test.
TEST_F(InstanceChanged, ExportButtonsRefuseWithoutALut) {
  host_.setParamString(instance_, "exportPath", "/nonexistent/look");
  struct Case {
    const char* button;
    const char* line;
  } cases[] = {{"exportButton", "Vantrel: Export failed - no valid LUT (render the image first)\n"},
               {"exportCDLButton", "Vantrel: CDL Export failed - no valid LUT (render the image first)\n"}};
  for (const Case& c : cases) {
    host_.clearMessages();
    host_.clearTrace();
    EXPECT_EQ(change(c.button, kOfxTypeClip), kOfxStatOK) << c.button;
    EXPECT_EQ(host_.lastStderr(), c.line);
    auto messages = host_.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].type, kOfxMessageError);
    EXPECT_FALSE(messages[0].id.has_value());
    EXPECT_EQ(messages[0].text, "No LUT available. Connect Source and Reference clips and view the result first.");
    for (const auto& call : host_.trace()) EXPECT_NE(call.call, "paramGetValue") << c.button;
    EXPECT_EQ(exportPath(), "/nonexistent/look");
  }
}

// Once a LUT exists the buttons end with the clip test and 14, whether or not the file was written.
TEST_F(InstanceChanged, ExportButtonsWithALutReturnDefault) {
  installIdentity();
  host_.setParamString(instance_, "exportPath", "/nonexistent/look");
  EXPECT_EQ(change("exportButton"), kOfxStatReplyDefault);
  EXPECT_EQ(change("exportCDLButton"), kOfxStatReplyDefault);
  EXPECT_TRUE(record_->lut.valid);
  EXPECT_EQ(change("exportCDLButton", kOfxTypeClip), kOfxStatReplyDefault);
  EXPECT_EQ(host_.lastStderr(), std::string("Vantrel: CDL Export FAILED\n") + kClipChanged);
  EXPECT_FALSE(record_->lut.valid);
}

// A host without a message suite still gets the files and the diagnostic lines.
class WithoutMessageSuite : public ModuleTest {
 protected:
  WithoutMessageSuite() : ModuleTest(true, false) {}
};

TEST_F(WithoutMessageSuite, ButtonsWorkAndReportOnStandardError) {
  EXPECT_EQ(change("exportButton"), kOfxStatOK);
  EXPECT_EQ(host_.lastStderr(), "Vantrel: Export failed - no valid LUT (render the image first)\n");
  EXPECT_EQ(change("exportCDLButton"), kOfxStatOK);

  ScratchDir dir;
  installIdentity();
  host_.setParamString(instance_, "exportPath", dir.file("look"));
  EXPECT_EQ(change("exportButton"), kOfxStatReplyDefault);
  EXPECT_EQ(host_.lastStderr(),
            "Vantrel: Exporting cached LUT with Mix=1.000, R=1.000, G=1.000, B=1.000\nVantrel: Export successful\n");
  EXPECT_EQ(change("exportCDLButton"), kOfxStatReplyDefault);
  EXPECT_EQ(host_.lastStderr(), "Vantrel: CDL Export successful\n");
  EXPECT_EQ(dir.entries().size(), 2u);
  host_.setParamString(instance_, "exportPath", dir.file("missing/look"));
  EXPECT_EQ(change("exportCDLButton"), kOfxStatReplyDefault);
  EXPECT_EQ(host_.lastStderr(), "Vantrel: CDL Export FAILED\n");
  EXPECT_TRUE(host_.messages().empty());
}

}  // namespace
