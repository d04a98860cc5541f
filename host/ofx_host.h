// In-process OpenFX host: loads an image-effect plug-in with dlopen, serves it the property,
// image-effect, parameter, memory, multi-thread and message suites (version 1), sends it actions,
// and lets the caller (a command-line tool, a test) own clips, images and parameter values.
// This header is the library's whole public interface; hooks for tests (suites left out,
// failing memory, traced calls, captured standard error) are in host_testing.h.
//
// Handles given to the plug-in are pointers to the objects below. Everything the plug-in sees is
// owned by the Host; objects stay valid until the Host is destroyed. Several hosts may live in
// one process: a suite call that carries no handle is answered by the host whose action is
// running on the calling thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <vector>

#include "ofx/ofx_api.h"
#include "ofx/ofx_names.h"

namespace ofxhost {

class Host;

// ---------------------------------------------------------------------------------------------
// Properties

enum class PropType { Pointer, String, Double, Int };

const char* propTypeName(PropType t);

// One value of any type; only the member of the property's type is meaningful.
struct PropValue {
  PropType type = PropType::Int;
  void* p = nullptr;
  std::string s;
  double d = 0.0;
  int i = 0;
};

struct Property {
  PropType type = PropType::Int;
  std::vector<void*> pointers;
  std::vector<std::string> strings;
  std::vector<double> doubles;
  std::vector<int> ints;
  // What propReset restores. Properties a plug-in created itself reset to no values.
  std::vector<void*> defPointers;
  std::vector<std::string> defStrings;
  std::vector<double> defDoubles;
  std::vector<int> defInts;
  int dimension() const;
};

// A write made by the plug-in through the property suite, in call order.
struct PropWrite {
  std::string name;
  int index = 0;
  PropValue value;
};

// A property set as the plug-in sees it (OfxPropertySetHandle). Thread-safe: reads share a
// lock, writes take it exclusively. A string returned to the plug-in stays valid until that
// property is written again.
//
// An open set lets the plug-in create properties by setting them (descriptors); a closed set
// answers kOfxStatErrUnknown for any name the host did not define (instances, clips, images).
class PropertySet {
 public:
  PropertySet(Host* owner, std::string kind, bool open);
  PropertySet(const PropertySet&) = delete;
  PropertySet& operator=(const PropertySet&) = delete;
  ~PropertySet();

  OfxPropertySetHandle handle() { return reinterpret_cast<OfxPropertySetHandle>(this); }
  static PropertySet* from(OfxPropertySetHandle h);  // null when h is null or not a live set
  // Marks the set dead: the suite answers kOfxStatErrBadHandle for it from now on.
  void retire();

  // Host-side definitions: create or replace the property, its values becoming its default.
  void defineString(const std::string& name, std::vector<std::string> values);
  void defineDouble(const std::string& name, std::vector<double> values);
  void defineInt(const std::string& name, std::vector<int> values);
  void definePointer(const std::string& name, std::vector<void*> values);
  // Copies every property (values and defaults) of another set.
  void copyFrom(const PropertySet& other);

  // Host-side reads; nullopt when the property is missing or of another type, or index is out
  // of range.
  bool has(const std::string& name) const;
  std::optional<Property> get(const std::string& name) const;
  std::optional<std::string> getString(const std::string& name, int index = 0) const;
  std::optional<double> getDouble(const std::string& name, int index = 0) const;
  std::optional<int> getInt(const std::string& name, int index = 0) const;
  std::optional<void*> getPointer(const std::string& name, int index = 0) const;
  std::vector<std::string> names() const;

  // Plug-in writes in order; the host's own definitions are not logged.
  std::vector<PropWrite> writes() const;
  void clearWrites();

  // Suite-level access (what the property suite functions call), returning OpenFX statuses.
  OfxStatus set(const char* name, int index, const PropValue& v);
  OfxStatus setN(const char* name, int count, PropType type, const void* values);
  OfxStatus getOne(const char* name, int index, PropType type, void* out) const;
  OfxStatus getN(const char* name, int count, PropType type, void* out) const;
  OfxStatus reset(const char* name);
  OfxStatus dimension(const char* name, int* count) const;

  Host* owner() const { return owner_; }
  const std::string& kind() const { return kind_; }
  bool open() const { return open_; }

 private:
  std::atomic<uint32_t> magic_;
  Host* owner_;
  std::string kind_;
  bool open_;
  mutable std::shared_mutex lock_;
  std::map<std::string, Property> props_;
  std::vector<PropWrite> writes_;
};

// ---------------------------------------------------------------------------------------------
// Images

enum class PixelDepth { Byte, Short, Half, Float };
enum class Components { RGBA, RGB, Alpha };

const char* depthName(PixelDepth d);
const char* componentsName(Components c);
std::optional<PixelDepth> depthFromName(const std::string& s);
std::optional<Components> componentsFromName(const std::string& s);
int bytesPerComponent(PixelDepth d);
int componentCount(Components c);

// An image buffer the host owns and lends to the plug-in. `data` points at the pixel at
// (bounds.x1, bounds.y1); row y starts at data + (y - bounds.y1) * rowBytes, so a negative
// rowBytes means rows run backwards in memory. `storage` may stay empty when `data` points at
// memory the caller keeps alive (e.g. a decoded file's pixels).
struct Image {
  std::vector<unsigned char> storage;
  void* data = nullptr;
  int rowBytes = 0;
  OfxRectI bounds{0, 0, 0, 0};
  PixelDepth depth = PixelDepth::Float;
  Components components = Components::RGBA;
  std::string uniqueId;  // empty: the property is left out
  int width() const { return bounds.x2 - bounds.x1; }
  int height() const { return bounds.y2 - bounds.y1; }
};

struct ImageLayout {
  PixelDepth depth = PixelDepth::Float;
  Components components = Components::RGBA;
  bool negativeRowBytes = false;  // bottom row last in memory, rowBytes < 0
  int rowPadding = 0;             // extra bytes at the end of every row
};

// Makes an image of the given bounds from float RGBA pixels in row order (bottom row first,
// width*height*4 floats). Integer depths clamp to 0..1 and round; RGB drops alpha; Alpha keeps
// alpha only. Returns null when the bounds are empty/inverted or rgba has the wrong size.
std::shared_ptr<Image> makeImage(const std::vector<float>& rgba, OfxRectI bounds, const ImageLayout& layout = {});
// A zero-filled image, e.g. an output buffer.
std::shared_ptr<Image> makeBlankImage(OfxRectI bounds, const ImageLayout& layout = {});
// Reads any image back as float RGBA in row order (missing channels: colour 0, alpha 1;
// Alpha-only images give (a, a, a, a)).
std::vector<float> readImageRGBA(const Image& img);

// ---------------------------------------------------------------------------------------------
// Clips, parameters, effects

class Effect;

// Images made on demand, as an application renders an input when an effect asks for it: called
// for a time the clip has no image of its own for, it returns the image (null: none at that
// time). With `pixels` false only its bounds are wanted (a region of definition), and the image
// may come without data. It may be called from several render threads at once.
using ImageSource = std::function<std::shared_ptr<Image>(double time, bool pixels)>;

// A clip descriptor (on a descriptor) or a clip instance (on an instance).
struct Clip {
  Effect* effect = nullptr;
  std::string name;
  std::unique_ptr<PropertySet> props;
  // Instances only: images by time, then the source, then one image for every time.
  std::map<double, std::shared_ptr<Image>> images;
  ImageSource source;
  std::shared_ptr<Image> anyTimeImage;
  bool connected = false;
  bool frameRangeSet = false;  // by setClipFrameRange; otherwise the times of its images
  OfxImageClipHandle handle() { return reinterpret_cast<OfxImageClipHandle>(this); }
  uint32_t magic = 0;
};

enum class ParamKind { Double, Integer, Choice, Boolean, String, PushButton, Other };
ParamKind paramKindOf(const std::string& paramType);

struct ParamValue {
  std::vector<double> doubles;  // Double family
  std::vector<int> ints;        // Integer, Choice, Boolean
  std::string str;              // String, Custom
  bool operator==(const ParamValue& o) const { return doubles == o.doubles && ints == o.ints && str == o.str; }
};

// A parameter definition (on a descriptor) or a parameter with values (on an instance).
struct Param {
  std::string type;  // "OfxParamTypeDouble", ...
  std::string name;
  ParamKind kind = ParamKind::Other;
  int valueCount = 0;  // doubles or ints per value (1 for most, 2/3/4 for vector types)
  std::unique_ptr<PropertySet> props;
  // Values are read without interpolation: a key at exactly the asked time wins, otherwise the
  // current value.
  ParamValue value;
  std::map<double, ParamValue> keys;
  // Strings returned to the plug-in stay valid until the parameter is written again.
  mutable std::mutex lock;
  OfxParamHandle handle() { return reinterpret_cast<OfxParamHandle>(this); }
  uint32_t magic = 0;
};

struct ParamSet {
  Effect* effect = nullptr;
  std::unique_ptr<PropertySet> props;
  std::vector<std::unique_ptr<Param>> params;  // definition order
  int editDepth = 0;
  Param* find(const std::string& name) const;
  OfxParamSetHandle handle() { return reinterpret_cast<OfxParamSetHandle>(this); }
  uint32_t magic = 0;
};

// The effect descriptor, a per-context descriptor, or an instance (OfxImageEffectHandle).
class Effect {
 public:
  enum class Kind { Descriptor, ContextDescriptor, Instance };
  Effect(Host* owner, Kind kind, std::string context);
  ~Effect();
  OfxImageEffectHandle handle() { return reinterpret_cast<OfxImageEffectHandle>(this); }
  static Effect* from(OfxImageEffectHandle h);

  Host* owner;
  Kind kind;
  std::string context;  // empty on the main descriptor
  std::unique_ptr<PropertySet> props;
  ParamSet params;
  std::vector<std::unique_ptr<Clip>> clips;  // definition order
  // Instances: the create action succeeded / the destroy action was sent.
  bool created = false;
  bool destroyed = false;

  Clip* clip(const std::string& name) const;
  Param* param(const std::string& name) const { return params.find(name); }

 private:
  uint32_t magic_;
};

// ---------------------------------------------------------------------------------------------
// Records of what the plug-in did

// "kOfxStatErrMemory 8" for messages; "status N" for a code OpenFX does not name.
std::string statusName(OfxStatus status);

struct Message {
  const void* handle = nullptr;
  std::string type;
  std::optional<std::string> id;  // nullopt when the plug-in passed null
  std::string text;
};

// A suite call that returned an error status (anything but OK and the replies).
struct FailedCall {
  std::string call;
  std::string arg;
  OfxStatus status = kOfxStatOK;
};

struct HostOptions {
  // Before each render the host asks the plug-in for its regions of interest and hands out each
  // input image cropped to the region asked for (the render window where the plug-in does not
  // answer), intersected with the clip's region of definition, as a tiling host does. Off: every
  // image is handed out whole.
  bool cropToRegionsOfInterest = true;
  // Released image property sets kept, marked dead, so that a late use gets an error status
  // rather than freed memory; the oldest go first.
  size_t releasedImagesKept = 1024;
  // Whether the host offers temporal clip access. When it does and the effect declares it, the
  // host sends the frames-needed action before each render and hands out images at the times it
  // names for each clip that declares it too; otherwise only at the render time.
  bool temporalClipAccess = true;
  // Host label and name announced in the host property set.
  std::string hostName = "org.vantrel.host";
  std::string hostLabel = "Vantrel host";
  // OpenFX 1.5 colour management, offered when set: the style the host supports (for example
  // kOfxImageEffectColourManagementBasic). The host then gives each instance the style chosen
  // (the effect's own when the host supports it, else None) and reports the colour space of each
  // clip that is neither a mask nor Alpha-only in OfxImageClipPropColourspace: defaultColourspace,
  // until the clip-preferences action asks for a space the host supplies. It sends that action
  // after creating an instance and after a change of a parameter the effect names as a
  // clip-preferences slave. Unset: the host knows nothing of colour management, and an effect
  // reading or writing any of it gets kOfxStatErrUnknown.
  std::string colourManagementStyle;
  std::string defaultColourspace = "ofx_scene_linear";
  std::vector<std::string> suppliedColourspaces = {"ofx_scene_linear", "ofx_scene_log", "ofx_display_sdr"};
};

struct IdentityResult {
  OfxStatus status = kOfxStatReplyDefault;
  std::string clip;               // kOfxPropName of the out-args
  double time = 0.0;              // kOfxPropTime of the out-args
  std::vector<PropWrite> writes;  // what the plug-in wrote to the out-args
};

// What the regions-of-interest action gave: the status, and for every input clip (all clips
// but Output) the region in canonical coordinates, the host's default where the plug-in set none.
struct RegionsOfInterest {
  OfxStatus status = kOfxStatReplyDefault;
  std::map<std::string, OfxRectD> regions;
};

// What the clip-preferences action gave: the status and, with colour management, the spaces the
// effect asked for per clip (only clips it named).
struct ClipPreferences {
  OfxStatus status = kOfxStatReplyDefault;
  std::map<std::string, std::vector<std::string>> preferredColourspaces;
};

// What the frames-needed action gave: for every input clip the frames (first, last) a render at
// that time may fetch; the render time alone where the plug-in, the clip or the host does not
// take part in temporal access.
struct FramesNeeded {
  OfxStatus status = kOfxStatReplyDefault;
  bool sent = false;  // false: the host or the effect does not take part, no action was sent
  std::map<std::string, std::vector<OfxRangeD>> ranges;
};

// ---------------------------------------------------------------------------------------------
// The host

struct HostHooks;  // what host_testing.h can change in a host

class Host {
 public:
  explicit Host(HostOptions options = {});
  // Sends destroy for instances still alive, frees blocks the plug-in never freed. The module
  // stays loaded.
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // dlopens the module, finds plug-in `index`, checks its API and version and calls setHost.
  // Returns false with error() set on any failure. Loading a path already loaded in the process
  // returns the same library; setHost rebinds it to this host.
  bool open(const std::string& path, int index = 0);
  const std::string& error() const { return error_; }
  OfxPlugin* plugin() const { return plugin_; }
  int pluginCount() const { return pluginCount_; }
  // Calls setHost again (e.g. after another Host used the same library).
  void bind();

  // Any action string, with raw handles (for actions the conveniences below do not cover).
  OfxStatus action(const char* name, const void* handle, OfxPropertySetHandle inArgs = nullptr,
                   OfxPropertySetHandle outArgs = nullptr);

  OfxStatus load();
  OfxStatus unload();
  OfxStatus describe();
  OfxStatus describeInContext(const std::string& context);
  // Builds an instance from the context's descriptor (describeInContext must have run) without
  // telling the plug-in; createInstance then sends the action.
  Effect* newInstance(const std::string& context);
  OfxStatus createInstance(Effect* instance);
  OfxStatus destroyInstance(Effect* instance);
  OfxStatus beginInstanceChanged(Effect* instance, const std::string& reason = kOfxChangeUserEdited);
  OfxStatus endInstanceChanged(Effect* instance, const std::string& reason = kOfxChangeUserEdited);
  OfxStatus instanceChanged(Effect* instance, const std::string& type, const std::string& name,
                            const std::string& reason = kOfxChangeUserEdited, double time = 0.0);
  IdentityResult isIdentity(Effect* instance, double time, OfxRectI window);
  // Sends the regions-of-interest action for `window` (pixels at `renderScale`), then renders
  // with the inputs cropped to the answer (see HostOptions::cropToRegionsOfInterest).
  OfxStatus render(Effect* instance, double time, OfxRectI window, OfxPointD renderScale = {1.0, 1.0});
  // The regions-of-interest action alone; `region` is in canonical coordinates.
  RegionsOfInterest regionsOfInterest(Effect* instance, double time, OfxRectD region,
                                      OfxPointD renderScale = {1.0, 1.0});
  // The frames-needed action alone, sent when both the host and the effect take part in temporal
  // access. render() sends it too and holds the render's fetches to its answer.
  FramesNeeded framesNeeded(Effect* instance, double time);
  // The clip-preferences action, with the host's defaults in the out-arguments. With colour
  // management the first space the effect asks for that the host supplies becomes the clip's
  // OfxImageClipPropColourspace; nothing else of the answer is applied.
  ClipPreferences clipPreferences(Effect* instance);

  // Descriptors as filled in by describe / describeInContext.
  Effect& descriptor() { return *descriptor_; }
  Effect* contextDescriptor(const std::string& context) const;
  PropertySet& hostProps() { return *hostProps_; }

  // Images and clips of an instance. time nullopt: the image serves every time without one of
  // its own. Attaching connects the clip and sets its depth and components.
  bool attachImage(Effect* instance, const std::string& clip, std::shared_ptr<Image> img,
                   std::optional<double> time = std::nullopt);
  bool detachImages(Effect* instance, const std::string& clip);
  bool setClipConnected(Effect* instance, const std::string& clip, bool connected);
  // Serves the clip's images on demand (see ImageSource), all of this depth and these
  // components, and connects it; null removes it.
  bool setImageSource(Effect* instance, const std::string& clip, ImageSource source,
                      PixelDepth depth = PixelDepth::Float, Components components = Components::RGBA);
  // The frames the clip can deliver (OfxImageEffectPropFrameRange). Until set, the span of the
  // times of its attached images ([0, 0] without any).
  bool setClipFrameRange(Effect* instance, const std::string& clip, double first, double last);
  // The colour space the host says it delivers a clip in (colour management only; false without).
  bool setClipColourspace(Effect* instance, const std::string& clip, const std::string& space);

  // Parameter values of an instance, as the user would change them between actions.
  // time nullopt sets the current value, otherwise a key at that time.
  bool setParam(Effect* instance, const std::string& name, const ParamValue& v,
                std::optional<double> time = std::nullopt);
  bool setParamDouble(Effect* instance, const std::string& name, double v, std::optional<double> time = std::nullopt);
  bool setParamInt(Effect* instance, const std::string& name, int v, std::optional<double> time = std::nullopt);
  bool setParamString(Effect* instance, const std::string& name, const std::string& v,
                      std::optional<double> time = std::nullopt);
  std::optional<ParamValue> paramValue(Effect* instance, const std::string& name,
                                       std::optional<double> time = std::nullopt) const;

  // Blocks from memoryAlloc not yet freed (count), and frees of unknown pointers.
  int liveAllocations() const;
  int badFrees() const { return badFrees_; }

  // Images handed out by clipGetImage and not yet released; fetch/release totals; releases of
  // handles that were not outstanding.
  int outstandingImages() const;
  int imagesFetched() const { return imagesFetched_; }
  int imagesReleased() const { return imagesReleased_; }
  int badReleases() const { return badReleases_; }

  std::vector<Message> messages() const;
  void clearMessages();
  // Called for each message as it arrives (e.g. to print it).
  std::function<void(const Message&)> onMessage;

  // Calls made to the multi-thread suite (any function).
  int multiThreadCalls() const { return multiThreadCalls_; }
  // Suites the plug-in asked for, in order (name, version).
  std::vector<std::pair<std::string, int>> fetchedSuites() const;

  // Suite calls that failed, in order (the first 10000).
  std::vector<FailedCall> failedCalls() const;
  void clearFailedCalls();

  const HostOptions& options() const { return options_; }
  HostOptions& options() { return options_; }

  // The suite the plug-in gets for this name and version (null when not served).
  const void* fetchSuite(const char* name, int version);

 protected:
  // Set only by the test host of host_testing.h.
  std::unique_ptr<HostHooks> hooks_;

 private:
  // The suite functions reach the host through this.
  friend class HostAccess;
  void noteCall(const char* call, const std::string& arg, double time);
  void noteFailure(const char* call, const std::string& arg, OfxStatus status);
  OfxStatus allocate(size_t n, void** out);
  void noteMultiThreadCall() { ++multiThreadCalls_; }
  void addMessage(Message m);
  OfxPropertySetHandle fetchImage(Clip* clip, double time);
  OfxStatus releaseImage(OfxPropertySetHandle image);
  void noteBadFree() { ++badFrees_; }

  Effect* instanceChecked(Effect* instance) const;
  OfxStatus dispatch(const char* name, const void* handle, PropertySet* in, PropertySet* out);

  HostOptions options_;
  std::string error_;
  void* library_ = nullptr;
  OfxPlugin* plugin_ = nullptr;
  int pluginCount_ = 0;
  OfxHost record_{};
  std::unique_ptr<PropertySet> hostProps_;
  std::unique_ptr<Effect> descriptor_;
  std::vector<std::unique_ptr<Effect>> contexts_;
  std::vector<std::unique_ptr<Effect>> retired_;
  std::vector<std::unique_ptr<Effect>> instances_;

  std::atomic<int> badFrees_{0};

  mutable std::mutex imagesLock_;
  struct Lent {
    std::unique_ptr<PropertySet> props;
    std::string clip;
    std::shared_ptr<Image> image;  // kept while lent: a source's image may have no other owner
  };
  std::map<PropertySet*, Lent> outstanding_;
  // Released image sets are kept a while, marked dead, so that a plug-in touching one after
  // release gets kOfxStatErrBadHandle rather than freed memory.
  std::deque<std::unique_ptr<PropertySet>> released_;
  std::atomic<int> imagesFetched_{0};
  std::atomic<int> imagesReleased_{0};
  std::atomic<int> badReleases_{0};
  std::atomic<unsigned> nextImageId_{1};

  mutable std::mutex recordsLock_;
  std::vector<Message> messages_;
  std::vector<FailedCall> failed_;
  std::vector<std::pair<std::string, int>> fetched_;
  std::atomic<int> multiThreadCalls_{0};
};

}  // namespace ofxhost
