// Effects, clips and the image-effect suite.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ofx_host.h"
#include "suites.h"

namespace ofxhost {

Effect::Effect(Host* owner_, Kind kind_, std::string context_)
    : owner(owner_), kind(kind_), context(std::move(context_)), magic_(kEffectMagic) {
  // Descriptors take whatever the plug-in describes; an instance's set is fixed by the host.
  props =
      std::make_unique<PropertySet>(owner, kind == Kind::Instance ? "instance" : "descriptor", kind != Kind::Instance);
  params.effect = this;
  params.magic = kParamSetMagic;
  params.props = std::make_unique<PropertySet>(owner, "paramSet", kind != Kind::Instance);
}

Effect::~Effect() {
  magic_ = kDeadMagic;
  params.magic = kDeadMagic;
  for (auto& c : clips) c->magic = kDeadMagic;
  for (auto& p : params.params) p->magic = kDeadMagic;
}

Effect* Effect::from(OfxImageEffectHandle h) {
  auto* e = reinterpret_cast<Effect*>(h);
  if (e == nullptr || e->magic_ != kEffectMagic) return nullptr;
  return e;
}

Clip* Effect::clip(const std::string& name) const {
  for (const auto& c : clips)
    if (c->name == name) return c.get();
  return nullptr;
}

Param* ParamSet::find(const std::string& name) const {
  for (const auto& p : params)
    if (p->name == name) return p.get();
  return nullptr;
}

namespace {

Clip* clipFrom(OfxImageClipHandle h) {
  auto* c = reinterpret_cast<Clip*>(h);
  if (c == nullptr || c->magic != kClipMagic) return nullptr;
  return c;
}

OfxStatus getPropertySet(OfxImageEffectHandle h, OfxPropertySetHandle* out) {
  Effect* e = Effect::from(h);
  Call done(e ? e->owner : callingHost(), "getPropertySet", "");
  if (out) *out = nullptr;
  if (e == nullptr) return done(kOfxStatErrBadHandle);
  if (out == nullptr) return done(kOfxStatErrValue);
  *out = e->props->handle();
  return done(kOfxStatOK);
}

OfxStatus getParamSet(OfxImageEffectHandle h, OfxParamSetHandle* out) {
  Effect* e = Effect::from(h);
  Call done(e ? e->owner : callingHost(), "getParamSet", "");
  if (out) *out = nullptr;
  if (e == nullptr) return done(kOfxStatErrBadHandle);
  if (out == nullptr) return done(kOfxStatErrValue);
  *out = e->params.handle();
  return done(kOfxStatOK);
}

OfxStatus clipDefine(OfxImageEffectHandle h, const char* name, OfxPropertySetHandle* out) {
  Effect* e = Effect::from(h);
  Call done(e ? e->owner : callingHost(), "clipDefine", name ? name : "");
  if (out) *out = nullptr;
  if (e == nullptr) return done(kOfxStatErrBadHandle);
  if (name == nullptr || *name == '\0') return done(kOfxStatErrValue);
  if (e->kind == Effect::Kind::Instance) return done(kOfxStatErrUnsupported);
  Clip* c = e->clip(name);
  if (c == nullptr) {
    auto clip = std::make_unique<Clip>();
    clip->effect = e;
    clip->name = name;
    clip->magic = kClipMagic;
    clip->props = std::make_unique<PropertySet>(e->owner, "clipDescriptor", true);
    clip->props->defineString(kOfxPropType, {kOfxTypeClip});
    clip->props->defineString(kOfxPropName, {name});
    clip->props->defineString(kOfxPropLabel, {name});
    clip->props->defineInt(kOfxImageClipPropOptional, {0});
    clip->props->defineInt(kOfxImageClipPropIsMask, {0});
    clip->props->defineInt(kOfxImageEffectPropSupportsTiles, {1});
    clip->props->defineInt(kOfxImageEffectPropTemporalClipAccess, {0});
    c = clip.get();
    e->clips.push_back(std::move(clip));
  }
  if (out) *out = c->props->handle();
  return done(kOfxStatOK);
}

OfxStatus clipGetHandle(OfxImageEffectHandle h, const char* name, OfxImageClipHandle* clip,
                        OfxPropertySetHandle* props) {
  Effect* e = Effect::from(h);
  Call done(e ? e->owner : callingHost(), "clipGetHandle", name ? name : "");
  if (clip) *clip = nullptr;
  if (props) *props = nullptr;
  if (e == nullptr) return done(kOfxStatErrBadHandle);
  if (clip == nullptr) return done(kOfxStatErrValue);
  Clip* c = name ? e->clip(name) : nullptr;
  if (c == nullptr) return done(kOfxStatErrUnknown);
  *clip = c->handle();
  if (props) *props = c->props->handle();
  return done(kOfxStatOK);
}

OfxStatus clipGetPropertySet(OfxImageClipHandle h, OfxPropertySetHandle* out) {
  Clip* c = clipFrom(h);
  Call done(c ? c->effect->owner : callingHost(), "clipGetPropertySet", c ? c->name : "");
  if (out) *out = nullptr;
  if (c == nullptr) return done(kOfxStatErrBadHandle);
  if (out == nullptr) return done(kOfxStatErrValue);
  *out = c->props->handle();
  return done(kOfxStatOK);
}

OfxStatus clipGetImage(OfxImageClipHandle h, OfxTime time, const OfxRectD*, OfxPropertySetHandle* out) {
  Clip* c = clipFrom(h);
  Call done(c ? c->effect->owner : callingHost(), "clipGetImage", c ? c->name : "", time);
  if (out) *out = nullptr;
  if (c == nullptr) return done(kOfxStatErrBadHandle);
  if (out == nullptr) return done(kOfxStatErrValue);
  // The region argument is a hint; what is handed out follows the render's regions of interest.
  *out = HostAccess::fetchImage(*c->effect->owner, c, time);
  return done(*out ? kOfxStatOK : kOfxStatFailed);
}

// Images handed out and not yet released, across hosts, so that a release can be routed
// without touching a handle that may already be gone.
std::mutex gImagesLock;
std::map<const void*, Host*> gImageOwners;

Host* imageOwner(const void* image) {
  std::lock_guard lk(gImagesLock);
  auto it = gImageOwners.find(image);
  return it == gImageOwners.end() ? nullptr : it->second;
}

OfxStatus clipReleaseImage(OfxPropertySetHandle image) {
  Host* host = imageOwner(image);
  if (host == nullptr) host = callingHost();
  if (host == nullptr) return kOfxStatErrBadHandle;
  return HostAccess::releaseImage(*host, image);
}

OfxStatus clipGetRegionOfDefinition(OfxImageClipHandle h, OfxTime time, OfxRectD* bounds) {
  Clip* c = clipFrom(h);
  Call done(c ? c->effect->owner : callingHost(), "clipGetRegionOfDefinition", c ? c->name : "", time);
  if (c == nullptr) return done(kOfxStatErrBadHandle);
  if (bounds == nullptr) return done(kOfxStatErrValue);
  *bounds = OfxRectD{0, 0, 0, 0};
  const std::shared_ptr<Image> img = imageFor(c, time, false);
  if (img == nullptr) return done(kOfxStatFailed);
  *bounds = OfxRectD{static_cast<double>(img->bounds.x1), static_cast<double>(img->bounds.y1),
                     static_cast<double>(img->bounds.x2), static_cast<double>(img->bounds.y2)};
  return done(kOfxStatOK);
}

int abortEffect(OfxImageEffectHandle h) {
  Effect* e = Effect::from(h);
  Call done(e ? e->owner : callingHost(), "abort", "");
  return done(0);
}

// Image memory: a header in front of the block keeps the lock count.
struct ImageMemory {
  uint32_t magic;
  int locks;
  size_t size;
  void* data;
};
constexpr uint32_t kImageMemoryMagic = 0x494d454d;  // "IMEM"

OfxStatus imageMemoryAlloc(OfxImageEffectHandle h, size_t n, OfxImageMemoryHandle* out) {
  Host* host = h ? (Effect::from(h) ? Effect::from(h)->owner : nullptr) : callingHost();
  Call done(host, "imageMemoryAlloc", std::to_string(n));
  if (out == nullptr) return done(kOfxStatErrValue);
  *out = nullptr;
  if (host == nullptr) return done(kOfxStatErrBadHandle);
  void* data = nullptr;
  if (HostAccess::allocate(*host, n, &data) != kOfxStatOK) return done(kOfxStatErrMemory);
  auto* m = new ImageMemory{kImageMemoryMagic, 0, n, data};
  *out = reinterpret_cast<OfxImageMemoryHandle>(m);
  return done(kOfxStatOK);
}

ImageMemory* memoryFrom(OfxImageMemoryHandle h) {
  auto* m = reinterpret_cast<ImageMemory*>(h);
  if (m == nullptr || m->magic != kImageMemoryMagic) return nullptr;
  return m;
}

OfxStatus imageMemoryFree(OfxImageMemoryHandle h) {
  ImageMemory* m = memoryFrom(h);
  Call done(callingHost(), "imageMemoryFree", "");
  if (m == nullptr) return done(kOfxStatErrBadHandle);
  m->magic = kDeadMagic;
  kMemorySuite.memoryFree(m->data);
  delete m;
  return done(kOfxStatOK);
}

OfxStatus imageMemoryLock(OfxImageMemoryHandle h, void** out) {
  ImageMemory* m = memoryFrom(h);
  Call done(callingHost(), "imageMemoryLock", "");
  if (out) *out = nullptr;
  if (m == nullptr) return done(kOfxStatErrBadHandle);
  if (out == nullptr) return done(kOfxStatErrValue);
  ++m->locks;
  *out = m->data;
  return done(kOfxStatOK);
}

OfxStatus imageMemoryUnlock(OfxImageMemoryHandle h) {
  ImageMemory* m = memoryFrom(h);
  Call done(callingHost(), "imageMemoryUnlock", "");
  if (m == nullptr) return done(kOfxStatErrBadHandle);
  if (m->locks > 0) --m->locks;
  return done(kOfxStatOK);
}

}  // namespace

std::shared_ptr<Image> imageFor(Clip* c, double time, bool pixels) {
  if (!c->connected) return nullptr;
  auto it = c->images.find(time);
  if (it != c->images.end()) return it->second;
  if (c->source) return c->source(time, pixels);
  return c->anyTimeImage;
}

const OfxImageEffectSuiteV1 kImageEffectSuite = {
    getPropertySet,     getParamSet,      clipDefine,       clipGetHandle,
    clipGetPropertySet, clipGetImage,     clipReleaseImage, clipGetRegionOfDefinition,
    abortEffect,        imageMemoryAlloc, imageMemoryFree,  imageMemoryLock,
    imageMemoryUnlock,
};

OfxPropertySetHandle Host::fetchImage(Clip* c, double time) {
  // A render gets only the frames it said it needs (the render time without temporal access).
  if (!fetchAllowed(c, time)) return nullptr;
  std::shared_ptr<Image> img = imageFor(c, time, true);
  if (img == nullptr) return nullptr;
  // Inside a render, only the part the plug-in asked for, as a tiling host hands it out.
  const OfxRectI b = suppliedBounds(c, *img);
  void* data = img->data;
  if (b.x1 == b.x2 || b.y1 == b.y2) {
    if (img->width() > 0 && img->height() > 0) data = nullptr;
  } else if (data != nullptr) {
    const int64_t pixelBytes = int64_t(bytesPerComponent(img->depth)) * componentCount(img->components);
    data = static_cast<unsigned char*>(data) + int64_t(b.y1 - img->bounds.y1) * img->rowBytes +
           int64_t(b.x1 - img->bounds.x1) * pixelBytes;
  }
  auto ps = std::make_unique<PropertySet>(this, "image", false);
  ps->defineString(kOfxPropType, {kOfxTypeImage});
  ps->definePointer(kOfxImagePropData, {data});
  ps->defineInt(kOfxImagePropRowBytes, {img->rowBytes});
  ps->defineInt(kOfxImagePropBounds, {b.x1, b.y1, b.x2, b.y2});
  ps->defineInt(kOfxImagePropRegionOfDefinition, {img->bounds.x1, img->bounds.y1, img->bounds.x2, img->bounds.y2});
  ps->defineString(kOfxImageEffectPropPixelDepth, {depthName(img->depth)});
  ps->defineString(kOfxImageEffectPropComponents, {componentsName(img->components)});
  ps->defineString(kOfxImageEffectPropPreMultiplication, {kOfxImagePreMultiplied});
  ps->defineDouble(kOfxImagePropPixelAspectRatio, {1.0});
  ps->defineDouble(kOfxImageEffectPropRenderScale, {1.0, 1.0});
  ps->defineString(kOfxImagePropField, {kOfxImageFieldNone});
  if (!img->uniqueId.empty()) ps->defineString(kOfxImagePropUniqueIdentifier, {img->uniqueId});
  OfxPropertySetHandle h = ps->handle();
  {
    std::lock_guard lk(imagesLock_);
    std::lock_guard global(gImagesLock);
    gImageOwners[h] = this;
    PropertySet* key = ps.get();
    outstanding_.emplace(key, Lent{std::move(ps), c->name, std::move(img)});
  }
  ++imagesFetched_;
  return h;
}

OfxStatus Host::releaseImage(OfxPropertySetHandle image) {
  std::unique_ptr<PropertySet> gone;
  {
    std::lock_guard lk(imagesLock_);
    auto it = outstanding_.find(reinterpret_cast<PropertySet*>(image));
    if (it == outstanding_.end()) {
      if (HostAccess::tracing(*this)) noteCall("clipReleaseImage", "", 0.0);
      noteFailure("clipReleaseImage", "", kOfxStatErrBadHandle);
      ++badReleases_;
      return kOfxStatErrBadHandle;
    }
    if (HostAccess::tracing(*this)) noteCall("clipReleaseImage", it->second.clip, 0.0);
    it->second.props->retire();
    released_.push_back(std::move(it->second.props));
    if (released_.size() > options_.releasedImagesKept) {
      gone = std::move(released_.front());
      released_.pop_front();
    }
    outstanding_.erase(it);
    std::lock_guard global(gImagesLock);
    gImageOwners.erase(image);
  }
  ++imagesReleased_;
  return kOfxStatOK;
}

void forgetImagesOf(Host* host) {
  std::lock_guard lk(gImagesLock);
  for (auto it = gImageOwners.begin(); it != gImageOwners.end();)
    it = it->second == host ? gImageOwners.erase(it) : std::next(it);
}

int Host::outstandingImages() const {
  std::lock_guard lk(imagesLock_);
  return static_cast<int>(outstanding_.size());
}

}  // namespace ofxhost
