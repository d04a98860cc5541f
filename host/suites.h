// Suite tables the host serves, shared between the host's source files.
#pragma once

#include <cstdint>
#include <memory>

#include "host_testing.h"
#include "ofx_host.h"

namespace ofxhost {

// The host whose action is running on this thread, or null: it answers the suite calls that
// carry no handle (memoryAlloc with a null handle, memoryFree, message without an instance,
// the multi-thread suite). Spawned multi-thread workers inherit it.
Host* callingHost();
class ScopedCallingHost {
 public:
  explicit ScopedCallingHost(Host* host);
  ~ScopedCallingHost();
  ScopedCallingHost(const ScopedCallingHost&) = delete;
  ScopedCallingHost& operator=(const ScopedCallingHost&) = delete;

 private:
  Host* previous_;
};

// The suite functions' way into a host.
class HostAccess {
 public:
  static void noteCall(Host& h, const char* call, const std::string& arg, double time) { h.noteCall(call, arg, time); }
  static void noteFailure(Host& h, const char* call, const std::string& arg, OfxStatus status) {
    h.noteFailure(call, arg, status);
  }
  static bool tracing(const Host& h) { return h.hooks_ && h.hooks_->options.trace; }
  static OfxStatus allocate(Host& h, size_t n, void** out) { return h.allocate(n, out); }
  static void noteMultiThreadCall(Host& h) { h.noteMultiThreadCall(); }
  static void addMessage(Host& h, Message m) { h.addMessage(std::move(m)); }
  static OfxPropertySetHandle fetchImage(Host& h, Clip* clip, double time) { return h.fetchImage(clip, time); }
  static OfxStatus releaseImage(Host& h, OfxPropertySetHandle image) { return h.releaseImage(image); }
  static void noteBadFree(Host& h) { h.noteBadFree(); }
};

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
// The render running on this thread: its input regions in pixels by clip name, and the frames
// each input may be fetched at. While one is in scope, images of its instance's clips are handed
// out cropped to the regions, and only at the render time or a frame the clip's ranges hold.
struct RenderRegions {
  const Effect* instance = nullptr;
  std::map<std::string, OfxRectI> pixels;
  double time = 0.0;
  std::map<std::string, std::vector<OfxRangeD>> frames;
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
// Whether the render in scope (if any, of this clip's instance) may fetch the clip at `time`.
bool fetchAllowed(const Clip* clip, double time);
// The clip's image at a time: its own, else its source's, else its image for every time.
std::shared_ptr<Image> imageFor(Clip* clip, double time, bool pixels);

// Frees the memoryAlloc blocks a host's plug-in never freed.
void releaseAllocationsOf(Host* host);
// Forgets the images a host handed out, when the host goes away.
void forgetImagesOf(Host* host);

}  // namespace ofxhost
