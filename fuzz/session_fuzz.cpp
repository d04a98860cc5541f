// Whole host sessions against the real module: the input decodes which suites the host
// serves, then a sequence of instance creations, parameter edits (now or at a time), clip
// connections, renders of random windows over images of any format and layout, button presses
// with export paths inside a directory the target owns, host allocation failures, and
// destruction. After every action no image may still be lent out; after every render the
// Output bytes outside the window must be untouched; after the session every host block must be
// back; written files must be where the plug-in said.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "host_testing.h"

namespace {

namespace fs = std::filesystem;
using ofxhost::Components;
using ofxhost::Effect;
using ofxhost::Host;
using ofxhost::Image;
using ofxhost::PixelDepth;
using ofxhost::TestHost;

fs::path gDir;  // everything the plug-in writes lands here (HOME points at it too)

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "session_fuzz: %s\n", what.c_str());
  std::abort();
}

void check(bool ok, const std::string& what) {
  if (!ok) fail(what);
}

const char* const kClips[] = {"Source", "Reference", "Output", "SourceMask", "ReferenceMask"};
const char* const kDoubleParams[] = {"strength", "strengthR", "strengthG", "strengthB"};
const char* const kChoiceParams[] = {"matchMode", "preserveMode", "sameFrameFit"};
const char* const kIntParams[] = {"keyFrame", "windowRadius", "frameStep"};
const char* const kChanged[] = {"strength",     "strengthR",  "strengthG",    "strengthB",       "matchMode",
                                "preserveMode", "exportPath", "exportButton", "exportCDLButton", "rebuildButton",
                                "analysisMode", "keyFrame",   "frameRange",   "windowRadius",    "frameStep",
                                "sameFrameFit", "noSuchParam"};

template <class T, size_t N>
const T& pick(FuzzedDataProvider& in, const T (&items)[N]) {
  return items[in.ConsumeIntegralInRange<size_t>(0, N - 1)];
}

double anyTime(FuzzedDataProvider& in) {
  static const double kTimes[] = {0.0, 1.0, 1.0, 2.0, -1.0, 0.5};
  return in.ConsumeProbability<float>() < 0.9f ? pick(in, kTimes) : fuzzin::anyDouble(in);
}

std::optional<double> maybeTime(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return std::nullopt;
  return anyTime(in);
}

// An image of any depth, component set and row layout, or (rarely) a description the plug-in
// must refuse: no data, inverted bounds, rows closer than a row of pixels.
std::shared_ptr<Image> anyImage(FuzzedDataProvider& in, int32_t maxSide, bool plain = false) {
  ofxhost::ImageLayout layout;
  if (!plain) {
    // Mostly formats the effect declares, so that sessions get past the format checks.
    layout.depth = pick(in, {PixelDepth::Float, PixelDepth::Float, PixelDepth::Float, PixelDepth::Float,
                             PixelDepth::Float, PixelDepth::Byte, PixelDepth::Short, PixelDepth::Half});
    layout.components = pick(in, {Components::RGBA, Components::RGBA, Components::RGBA, Components::RGBA,
                                  Components::RGB, Components::Alpha});
    const int padding = in.ConsumeIntegralInRange(0, 7);
    layout.rowPadding = padding < 5 ? 0 : padding == 5 ? 16 : in.ConsumeIntegralInRange(1, 9);
  }
  layout.negativeRowBytes = in.ConsumeBool();
  const int32_t w = in.ConsumeIntegralInRange(1, maxSide), h = in.ConsumeIntegralInRange(1, maxSide);
  // Mostly near the origin; now and then at the ends of the coordinate range.
  auto origin = [&](int32_t extent) {
    switch (in.ConsumeIntegralInRange(0, 15)) {
      case 0:
        return INT32_MAX - extent - in.ConsumeIntegralInRange(0, 3);
      case 1:
        return INT32_MIN + in.ConsumeIntegralInRange(0, 3);
      default:
        return in.ConsumeIntegralInRange(-4, 4);
    }
  };
  const int32_t x1 = origin(w), y1 = origin(h);
  const fuzzin::Palette palette = fuzzin::readPalette(in);
  std::vector<float> rgba(size_t(w) * h * 4);
  for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = palette.at(i);
  auto image = ofxhost::makeImage(rgba, OfxRectI{x1, y1, x1 + w, y1 + h}, layout);
  check(image != nullptr, "makeImage refused a valid layout");
  if (!plain && in.ConsumeProbability<float>() < 0.05f) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0:
        image->data = nullptr;
        break;
      case 1:
        std::swap(image->bounds.x1, image->bounds.x2);
        break;
      case 2:
        image->rowBytes = 0;
        break;
      default:
        image->rowBytes = image->rowBytes / 2;
        break;
    }
  }
  return image;
}

// Every byte of the Output outside the render window, padding included, by its offset from
// the start of storage.
std::vector<unsigned char> bytesOutside(const Image& img, const OfxRectI& window) {
  std::vector<unsigned char> kept;
  if (img.storage.empty() || img.data == nullptr) return kept;
  const int pixelBytes = ofxhost::bytesPerComponent(img.depth) * ofxhost::componentCount(img.components);
  const unsigned char* base = img.storage.data();
  std::vector<char> inWindow(img.storage.size(), 0);
  for (int32_t y = std::max(window.y1, img.bounds.y1); y < std::min(window.y2, img.bounds.y2); ++y) {
    for (int32_t x = std::max(window.x1, img.bounds.x1); x < std::min(window.x2, img.bounds.x2); ++x) {
      const unsigned char* px = static_cast<const unsigned char*>(img.data) +
                                int64_t(y - img.bounds.y1) * img.rowBytes + int64_t(x - img.bounds.x1) * pixelBytes;
      const int64_t at = px - base;
      if (at >= 0 && at + pixelBytes <= int64_t(img.storage.size())) std::fill_n(&inWindow[size_t(at)], pixelBytes, 1);
    }
  }
  for (size_t i = 0; i < img.storage.size(); ++i)
    if (!inWindow[i]) kept.push_back(base[i]);
  return kept;
}

OfxRectI anyWindow(FuzzedDataProvider& in, const std::shared_ptr<Image>& output) {
  const OfxRectI b = output ? output->bounds : OfxRectI{0, 0, 16, 16};
  if (in.ConsumeProbability<float>() < 0.05f) return OfxRectI{INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX};
  if (in.ConsumeBool()) return b;
  auto edge = [&](int32_t near) {
    return int32_t(std::clamp<int64_t>(int64_t(near) + in.ConsumeIntegralInRange(-6, 6), INT32_MIN, INT32_MAX));
  };
  return OfxRectI{edge(b.x1), edge(b.y1), edge(b.x2), edge(b.y2)};
}

// Mostly full scale, sometimes the reduced scales of a proxy render, rarely anything.
OfxPointD anyScale(FuzzedDataProvider& in) {
  static const double kScales[] = {1.0, 1.0, 1.0, 0.5, 0.25, 0.3};
  if (in.ConsumeProbability<float>() < 0.95f) {
    const double s = pick(in, kScales);
    return OfxPointD{s, s};
  }
  return OfxPointD{fuzzin::anyDouble(in), fuzzin::anyDouble(in)};
}

// Paths built from pieces with no "..", so nothing can leave the directory; plus paths that
// are too long or go through a missing directory.
std::string anyExportPath(FuzzedDataProvider& in) {
  static const char* const kPieces[] = {"a",  "look", ".cube", ".cdl", ".CUBE",   "/",
                                        "\\", "%s%n", " ",     "sub/", "\xc3\xa9"};
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
      return "";
    case 1:
      return (gDir / std::string(size_t(in.ConsumeIntegralInRange(200, 5000)), 'x')).string();
    case 2:
      return (gDir / "missing" / "dir" / (in.ConsumeBool() ? "" : "look.cube")).string();
    case 3: {
      std::string deep = gDir.string();
      const int levels = in.ConsumeIntegralInRange(1, 400);
      for (int i = 0; i < levels; ++i) deep += "/sub";
      return deep + "/look";
    }
    default: {
      std::string p = gDir.string() + "/";
      const int count = in.ConsumeIntegralInRange(1, 6);
      for (int i = 0; i < count; ++i) p += pick(in, kPieces);
      return p;
    }
  }
}

struct Instance {
  Effect* effect = nullptr;
  bool created = false;
  bool destroyed = false;
  std::shared_ptr<Image> output;  // the Output image the host lends at every time
};

class Session {
 public:
  explicit Session(FuzzedDataProvider& in) : in_(in) {}

  void run() {
    ofxhost::TestingOptions options;
    // Each suite is missing now and then, several at once too.
    for (bool* missing : {&options.noPropertySuite, &options.noImageEffectSuite, &options.noParameterSuite,
                          &options.noMemorySuite, &options.noMultiThreadSuite, &options.noMessageSuite}) {
      *missing = in_.ConsumeProbability<float>() < 0.04f;
    }
    host_ = std::make_unique<TestHost>(options);
    check(host_->open(VANTREL_MODULE_PATH), host_->error());
    host_->load();
    host_->describe();
    context_ = in_.ConsumeBool() ? kOfxImageEffectContextGeneral : kOfxImageEffectContextFilter;
    host_->describeInContext(context_);
    create();

    for (int step = 0; step < 40 && in_.remaining_bytes() > 0; ++step) {
      act();
      checkImagesReturned();
    }
    for (Instance& inst : instances_) destroy(inst);
    if (in_.ConsumeBool()) host_->unload();
    // The record of every created instance is host memory and must have been given back.
    check(host_->liveAllocations() == 0, "host memory still held after every instance was destroyed");
    check(host_->badFrees() == 0, "plug-in freed memory the host never gave it");
    host_.reset();
  }

 private:
  Instance* anyInstance() {
    if (instances_.empty()) return nullptr;
    return &instances_[in_.ConsumeIntegralInRange<size_t>(0, instances_.size() - 1)];
  }

  void create() {
    if (instances_.size() >= 2 || host_->contextDescriptor(context_) == nullptr) return;
    Instance inst;
    inst.effect = host_->newInstance(context_);
    if (inst.effect == nullptr) return;
    inst.created = host_->createInstance(inst.effect) == kOfxStatOK;
    instances_.push_back(inst);
  }

  void destroy(Instance& inst) {
    if (inst.destroyed) return;
    host_->destroyInstance(inst.effect);
    inst.destroyed = true;
  }

  void attach(Instance& inst) {
    const std::string clip = pick(in_, kClips);
    // Large Sources now and then, for statistics that skip pixels.
    const int32_t side = clip != "Output" && in_.ConsumeProbability<float>() < 0.03f ? 240 : 24;
    auto image = anyImage(in_, side);
    if (clip == "Output") {
      host_->attachImage(inst.effect, clip, image);
      inst.output = image;
    } else {
      host_->attachImage(inst.effect, clip, image, maybeTime(in_));
    }
  }

  // Source, Reference and Output in float RGBA for every time, now and then a mask: what most
  // sessions of a real host look like.
  void scene(Instance& inst) {
    const int32_t side = in_.ConsumeIntegralInRange(1, 32);
    for (const char* clip : {"Source", "Reference", "Output"}) {
      auto image = anyImage(in_, side, true);
      host_->attachImage(inst.effect, clip, image);
      if (std::strcmp(clip, "Output") == 0) inst.output = image;
    }
    if (in_.ConsumeProbability<float>() < 0.3f)
      host_->attachImage(inst.effect, pick(in_, {"SourceMask", "ReferenceMask"}), anyImage(in_, side));
  }

  void disconnect(Instance& inst) {
    const std::string clip = pick(in_, kClips);
    if (in_.ConsumeBool()) {
      host_->detachImages(inst.effect, clip);
      if (clip == "Output") inst.output.reset();
    }
    host_->setClipConnected(inst.effect, clip, in_.ConsumeBool());
  }

  // Frame numbers near a small shot's, now and then anything an int holds.
  int anyFrame() { return in_.ConsumeBool() ? in_.ConsumeIntegralInRange(-3, 6) : in_.ConsumeIntegral<int>(); }

  void setParam(Instance& inst) {
    switch (in_.ConsumeIntegralInRange(0, 4)) {
      case 2: {
        const int mode = in_.ConsumeBool() ? in_.ConsumeIntegralInRange(0, 3) : in_.ConsumeIntegral<int>();
        host_->setParamInt(inst.effect, "analysisMode", mode);
        host_->setParamInt(inst.effect, pick(in_, kIntParams), anyFrame());
        return;
      }
      case 3: {
        ofxhost::ParamValue range;
        range.ints = {anyFrame(), anyFrame()};
        host_->setParam(inst.effect, "frameRange", range);
        return;
      }
      case 0:
        host_->setParamDouble(inst.effect, pick(in_, kDoubleParams), fuzzin::anyDouble(in_), maybeTime(in_));
        break;
      case 1: {
        const int v = in_.ConsumeBool() ? in_.ConsumeIntegralInRange(-1, 3) : in_.ConsumeIntegral<int>();
        host_->setParamInt(inst.effect, pick(in_, kChoiceParams), v, maybeTime(in_));
        break;
      }
      default:
        host_->setParamString(inst.effect, "exportPath", anyExportPath(in_));
        break;
    }
  }

  bool pooling(Instance& inst) {
    const auto mode = host_->paramValue(inst.effect, "analysisMode");
    return mode && !mode->ints.empty() && mode->ints[0] >= 1 && mode->ints[0] <= 3;
  }

  // Frames needed come in ordered pairs, at most the frames one build pools, the Source's
  // including the render time; under Current Frame every input's is the render time alone.
  void framesNeeded(Instance& inst) {
    const double time = anyTime(in_);
    const ofxhost::FramesNeeded f = host_->framesNeeded(inst.effect, time);
    static const OfxStatus kAllowed[] = {kOfxStatOK, kOfxStatReplyDefault, kOfxStatErrBadHandle,
                                         kOfxStatErrMissingHostFeature};
    check(std::find(std::begin(kAllowed), std::end(kAllowed), f.status) != std::end(kAllowed),
          "frames needed returned status " + std::to_string(f.status));
    if (f.status != kOfxStatOK || !std::isfinite(time)) return;
    for (const auto& [clip, ranges] : f.ranges) {
      check(ranges.size() <= 1001, "more frames needed than one build pools");
      bool hasTime = false;
      for (const OfxRangeD& r : ranges) {
        check(r.min <= r.max, "a frames-needed range runs backwards");
        hasTime |= r.min <= time && time <= r.max;
      }
      if (clip == "Source" || !pooling(inst)) check(hasTime, clip + ": the render time is not among its frames");
    }
  }

  void render(Instance& inst) {
    const double time = anyTime(in_);
    const OfxRectI window = anyWindow(in_, inst.output);
    std::vector<unsigned char> before;
    if (inst.output) before = bytesOutside(*inst.output, window);
    // Inputs are cropped to the regions the plug-in asks for, as a tiling host does; now and
    // then the host hands out whole images instead.
    host_->options().cropToRegionsOfInterest = in_.ConsumeProbability<float>() < 0.9f;
    const OfxStatus status = host_->render(inst.effect, time, window, anyScale(in_));
    static const OfxStatus kAllowed[] = {kOfxStatOK,           kOfxStatFailed,    kOfxStatErrUnsupported,
                                         kOfxStatErrBadHandle, kOfxStatErrMemory, kOfxStatErrMissingHostFeature};
    check(std::find(std::begin(kAllowed), std::end(kAllowed), status) != std::end(kAllowed),
          "render returned status " + std::to_string(status));
    if (inst.output) check(bytesOutside(*inst.output, window) == before, "render wrote outside its window");
  }

  // The plug-in asks for every connected input's whole region of definition, or leaves the
  // host's default where it cannot tell.
  void regions(Instance& inst) {
    const double time = anyTime(in_);
    const OfxRectI w = anyWindow(in_, inst.output);
    const ofxhost::RegionsOfInterest r = host_->regionsOfInterest(
        inst.effect, time, OfxRectD{double(w.x1), double(w.y1), double(w.x2), double(w.y2)}, anyScale(in_));
    static const OfxStatus kAllowed[] = {kOfxStatOK, kOfxStatReplyDefault, kOfxStatErrBadHandle,
                                         kOfxStatErrMissingHostFeature};
    check(std::find(std::begin(kAllowed), std::end(kAllowed), r.status) != std::end(kAllowed),
          "regions of interest returned status " + std::to_string(r.status));
    if (r.status != kOfxStatOK) return;
    // Analysis over other frames asks for their regions too: the Source's then holds its own.
    const bool pooled = pooling(inst);
    for (const char* name : {"Source", "Reference", "SourceMask", "ReferenceMask"}) {
      const ofxhost::Clip* clip = inst.effect->clip(name);
      if (clip == nullptr || !clip->connected || (pooled && std::strcmp(name, "Source") != 0)) continue;
      auto at = clip->images.find(time);
      const Image* image = at != clip->images.end() ? at->second.get() : clip->anyTimeImage.get();
      if (image == nullptr) continue;
      const OfxRectD got = r.regions.at(name);
      const OfxRectI b = image->bounds;
      const bool whole = pooled ? got.x1 <= b.x1 && got.y1 <= b.y1 && got.x2 >= b.x2 && got.y2 >= b.y2
                                : got.x1 == b.x1 && got.y1 == b.y1 && got.x2 == b.x2 && got.y2 == b.y2;
      check(whole, std::string("region of interest of ") + name + " is not its region of definition");
    }
  }

  void change(Instance& inst, bool button = false) {
    static const char* const kReasons[] = {kOfxChangeUserEdited, kOfxChangePluginEdited, kOfxChangeTime};
    const std::string reason = pick(in_, kReasons);
    const bool bracket = in_.ConsumeBool();
    if (bracket) host_->beginInstanceChanged(inst.effect, reason);
    const bool clip = !button && in_.ConsumeProbability<float>() < 0.2f;
    const std::string name = clip     ? std::string(pick(in_, kClips))
                             : button ? std::string(pick(in_, {"exportButton", "exportCDLButton", "rebuildButton"}))
                                      : std::string(pick(in_, kChanged));
    if (!clip && (name == "exportButton" || name == "exportCDLButton") && in_.ConsumeBool())
      host_->setParamString(inst.effect, "exportPath", anyExportPath(in_));
    host_->clearMessages();
    const OfxStatus status =
        host_->instanceChanged(inst.effect, clip ? kOfxTypeClip : kOfxTypeParameter, name, reason, anyTime(in_));
    check(status == kOfxStatOK || status == kOfxStatReplyDefault || status == kOfxStatErrBadHandle ||
              status == kOfxStatErrMissingHostFeature,
          "instance-changed returned status " + std::to_string(status));
    if (bracket) host_->endInstanceChanged(inst.effect, reason);
    checkExports(inst);
  }

  // A reported export names a file that exists; no temporary file is left beside it.
  void checkExports(Instance& inst) {
    for (const ofxhost::Message& m : host_->messages()) {
      check((m.type == kOfxMessageError || m.type == kOfxMessageMessage || m.type == kOfxMessageWarning) && !m.id &&
                m.handle == inst.effect,
            "message of type " + m.type + " or with an id or another handle");
      for (const char* lead : {"LUT saved to:\n", "CDL saved to:\n"}) {
        if (m.text.rfind(lead, 0) != 0) continue;
        const std::string path = m.text.substr(std::strlen(lead));
        struct stat st {};
        check(::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode), "reported export missing: " + path);
        if (lead[0] == 'L') {
          auto stored = host_->paramValue(inst.effect, "exportPath");
          check(stored && stored->str == path, "exportPath does not hold the written file");
        }
      }
    }
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(gDir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      check(it->path().extension() != ".tmp", "temporary export file left behind: " + it->path().string());
    }
  }

  void act() {
    const int op = in_.ConsumeIntegralInRange(0, 17);
    if (op == 0 || instances_.empty()) return create();
    Instance* inst = anyInstance();
    switch (op) {
      case 1:
        return scene(*inst);
      case 2:
      case 3:
        return attach(*inst);
      case 4:
        return disconnect(*inst);
      case 5:
      case 6:
        return setParam(*inst);
      case 7:
      case 8:
      case 9:
        return render(*inst);
      case 10:
      case 11:
        return change(*inst);
      case 12:
        // Host memory fails for the next few requests, or for good.
        if (in_.ConsumeBool())
          host_->failNextAllocs(in_.ConsumeIntegralInRange(1, 3));
        else
          host_->failAllocAlways(in_.ConsumeBool());
        return;
      case 13: {
        const double time = anyTime(in_);
        const auto r = host_->isIdentity(inst->effect, time, anyWindow(in_, inst->output));
        check(r.status == kOfxStatReplyDefault || (r.status == kOfxStatOK && r.clip == "Source"),
              "identity answered status " + std::to_string(r.status) + " with clip " + r.clip);
        return;
      }
      case 16:
        return regions(*inst);
      case 17:
        return framesNeeded(*inst);
      case 14:
        // A hostile host may destroy a handle twice.
        host_->destroyInstance(inst->effect);
        inst->destroyed = true;
        return;
      default:
        scene(*inst);
        render(*inst);
        return change(*inst, true);
    }
  }

  void checkImagesReturned() {
    check(host_->outstandingImages() == 0, "an image was not released");
    check(host_->badReleases() == 0, "an image was released twice or never fetched");
  }

  FuzzedDataProvider& in_;
  std::unique_ptr<TestHost> host_;
  std::string context_;
  std::vector<Instance> instances_;
};

void clearDirectory() {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(gDir, ec)) fs::remove_all(entry.path(), ec);
  fs::create_directory(gDir / "sub", ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vantrel-session-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) fail("cannot create a working directory");
  gDir = pattern;
  setenv("HOME", pattern.c_str(), 1);
  clearDirectory();
  // The directory goes with the process.
  std::atexit([] {
    std::error_code ec;
    fs::remove_all(gDir, ec);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Session(in).run();
  clearDirectory();
  return 0;
}
