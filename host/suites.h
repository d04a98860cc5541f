// Suite tables the host serves, shared between the host's source files.
#pragma once

#include <cstdint>
#include <memory>

#include "ofx_host.h"

namespace ofxhost {

extern const OfxPropertySuiteV1 kPropertySuite;
extern const OfxImageEffectSuiteV1 kImageEffectSuite;
extern const OfxParameterSuiteV1 kParameterSuite;
extern const OfxMemorySuiteV1 kMemorySuite;
extern const OfxMultiThreadSuiteV1 kMultiThreadSuite;
extern const OfxMessageSuiteV1 kMessageSuite;

// Live-object markers, checked before a handle from the plug-in is used.
constexpr uint32_t kPropSetMagic = 0x50524f50;   // "PROP"
constexpr uint32_t kEffectMagic = 0x45464658;    // "EFFX"
constexpr uint32_t kClipMagic = 0x434c4950;      // "CLIP"
constexpr uint32_t kParamMagic = 0x5041524d;     // "PARM"
constexpr uint32_t kParamSetMagic = 0x50534554;  // "PSET"
constexpr uint32_t kDeadMagic = 0xdeadbeef;

// One suite call from the plug-in: traced on entry (when tracing), and recorded among the host's
// failed calls when it returns an error status.
class Call {
 public:
  Call(Host* host, const char* name, std::string arg, double time = 0.0);
  OfxStatus operator()(OfxStatus status) const;

 private:
  Host* host_;
  const char* name_;
  std::string arg_;
};

// An instance's parameter made from its definition, with the default as current value.
std::unique_ptr<Param> instantiateParam(const Param& def, Host* owner);
// Whether a value has the shape the parameter's type needs.
bool valueFits(const Param& p, const ParamValue& v);
// The input regions of the render running on this thread, in pixels, by clip name. While one
// is in scope, images of its instance's clips are handed out cropped to them.
struct RenderRegions {
  const Effect* instance = nullptr;
  std::map<std::string, OfxRectI> pixels;
};
class ScopedRenderRegions {
 public:
  explicit ScopedRenderRegions(const RenderRegions* regions);
  ~ScopedRenderRegions();
  ScopedRenderRegions(const ScopedRenderRegions&) = delete;
  ScopedRenderRegions& operator=(const ScopedRenderRegions&) = delete;

 private:
  const RenderRegions* previous_;
};
// A canonical region in pixels at a render scale: outward to whole pixels, saturated to the int
// range; NaN edges leave that side open.
OfxRectI toPixels(const OfxRectD& canonical, OfxPointD renderScale);
// What fetching this clip's image hands out: the image's bounds, or the part of them inside the
// region of the render in scope.
OfxRectI suppliedBounds(const Clip* clip, const Image& image);

// Frees the memoryAlloc blocks a host's plug-in never freed.
void releaseAllocationsOf(Host* host);
// Forgets the images a host handed out, when the host goes away.
void forgetImagesOf(Host* host);

}  // namespace ofxhost
