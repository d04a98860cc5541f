// Shared by the reliability tests: small photographs, one instance with its images attached, and
// checks that an exported file is whole.
#pragma once

#include <string>

#include "export_test_util.h"
#include "render_harness.h"

namespace reliability {

using rendertest::Picture;

inline const Picture& coffee() {
  static const Picture p = rendertest::photo("coffee.png", 48, 32);
  return p;
}
inline const Picture& chelsea() {
  static const Picture p = rendertest::photo("chelsea.png", 40, 30);
  return p;
}

// One instance with Source, Reference and Output attached. With converted inputs the Reference has
// 16-bit samples and a byte Alpha SourceMask is attached, so both are read through working copies.
struct Scene {
  rendertest::Session session;
  explicit Scene(ofxhost::TestingOptions options = {}, bool convertedInputs = false) : session(options) {
    session.attach("Source", coffee());
    if (convertedInputs) {
      session.attach("Reference", chelsea(), {ofxhost::PixelDepth::Short, ofxhost::Components::RGBA});
      session.attach("SourceMask", rendertest::randomPicture(24, 16, 3, 0.2f, 1.0f),
                     {ofxhost::PixelDepth::Byte, ofxhost::Components::Alpha});
    } else {
      session.attach("Reference", chelsea());
    }
    session.attachOutput(OfxRectI{0, 0, coffee().width, coffee().height});
  }
  OfxStatus press(const char* button) {
    return session.host().instanceChanged(session.instance(), kOfxTypeParameter, button);
  }
  void setExportPath(const std::string& path) { session.host().setParamString(session.instance(), "exportPath", path); }
  std::string exportPath() {
    return session.host().paramValue(session.instance(), "exportPath").value_or(ofxhost::ParamValue{}).str;
  }
};

// A .cube file of a 65-point lattice with every entry line present.
inline bool completeCube(const std::string& text) {
  const std::string size = "LUT_3D_SIZE 65\n\n";
  const size_t at = text.find(size);
  return text.rfind("TITLE \"Vantrel LUT\"\n", 0) == 0 && at != std::string::npos &&
         text.size() - at - size.size() == 65u * 65u * 65u * 27u;
}

inline bool completeCDL(const std::string& text) {
  const std::string end = "</ColorCorrectionCollection>\n";
  return text.rfind("<?xml", 0) == 0 && text.size() > end.size() &&
         text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace reliability
