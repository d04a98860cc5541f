// Loading a plug-in, serving suites, and sending actions.
#include <algorithm>
#include <cstring>

#include "module_loader.h"
#include "ofx_host.h"
#include "suites.h"

namespace ofxhost {

namespace {

thread_local Host* tCalling = nullptr;

// Which host each loaded plug-in record was last given through setHost.
std::mutex gBindLock;
std::map<OfxPlugin*, Host*> gBound;

const void* fetchSuiteEntry(OfxPropertySetHandle h, const char* name, int version) {
  PropertySet* ps = PropertySet::from(h);
  Host* host = ps ? ps->owner() : callingHost();
  if (host == nullptr || name == nullptr) return nullptr;
  return host->fetchSuite(name, version);
}

std::unique_ptr<PropertySet> makeArgs(Host* host) { return std::make_unique<PropertySet>(host, "args", false); }

}  // namespace

Host* callingHost() { return tCalling; }

ScopedCallingHost::ScopedCallingHost(Host* host) : previous_(tCalling) { tCalling = host; }
ScopedCallingHost::~ScopedCallingHost() { tCalling = previous_; }

Host::Host(HostOptions options) : options_(std::move(options)) {
  hostProps_ = std::make_unique<PropertySet>(this, "host", false);
  PropertySet& h = *hostProps_;
  h.defineString(kOfxPropType, {kOfxTypeImageEffectHost});
  h.defineString(kOfxPropName, {options_.hostName});
  h.defineString(kOfxPropLabel, {options_.hostLabel});
  h.defineInt(kOfxPropAPIVersion, {1, 4});
  h.defineInt(kOfxPropVersion, {1, 0, 0});
  h.defineString(kOfxPropVersionLabel, {"1.0"});
  h.defineInt(kOfxImageEffectHostPropIsBackground, {1});
  h.defineInt(kOfxImageEffectPropSupportsMultiResolution, {1});
  h.defineInt(kOfxImageEffectPropSupportsTiles, {1});
  h.defineInt(kOfxImageEffectPropTemporalClipAccess, {options_.temporalClipAccess ? 1 : 0});
  h.defineString(kOfxImageEffectPropSupportedComponents,
                 {kOfxImageComponentRGBA, kOfxImageComponentRGB, kOfxImageComponentAlpha});
  h.defineString(kOfxImageEffectPropSupportedContexts, {kOfxImageEffectContextFilter, kOfxImageEffectContextGeneral});
  h.defineString(kOfxImageEffectPropSupportedPixelDepths,
                 {kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthHalf, kOfxBitDepthFloat});
  h.defineInt(kOfxImageEffectPropSupportsMultipleClipDepths, {0});
  h.defineInt(kOfxImageEffectPropSupportsMultipleClipPARs, {0});
  h.defineInt(kOfxImageEffectPropSetableFrameRate, {0});
  h.defineInt(kOfxImageEffectPropSetableFielding, {0});
  h.defineInt(kOfxParamHostPropSupportsCustomInteract, {0});
  h.defineInt(kOfxParamHostPropSupportsStringAnimation, {1});
  h.defineInt(kOfxParamHostPropSupportsChoiceAnimation, {1});
  h.defineInt(kOfxParamHostPropSupportsBooleanAnimation, {1});
  h.defineInt(kOfxParamHostPropSupportsCustomAnimation, {0});
  h.defineInt(kOfxParamHostPropSupportsParametricAnimation, {0});
  h.defineInt(kOfxParamHostPropMaxParameters, {-1});
  h.defineInt(kOfxParamHostPropMaxPages, {0});
  if (!options_.colourManagementStyle.empty())
    h.defineString(kOfxImageEffectPropColourManagementStyle, {options_.colourManagementStyle});
  record_.host = hostProps_->handle();
  record_.fetchSuite = fetchSuiteEntry;
  descriptor_ = std::make_unique<Effect>(this, Effect::Kind::Descriptor, "");
  descriptor_->props->defineString(kOfxPropType, {kOfxTypeImageEffect});
}

Host::~Host() {
  // Like an application closing its project: instances still alive are destroyed, unless
  // another host has loaded the module since and the plug-in now holds that host's suites.
  bool bound = false;
  if (plugin_ != nullptr) {
    std::lock_guard lk(gBindLock);
    bound = gBound[plugin_] == this;
  }
  if (bound) {
    for (auto& inst : instances_)
      if (inst->created && !inst->destroyed) destroyInstance(inst.get());
  }
  forgetImagesOf(this);
  releaseAllocationsOf(this);
  {
    std::lock_guard lk(gBindLock);
    for (auto& kv : gBound)
      if (kv.second == this) kv.second = nullptr;
  }
}

// The library stays loaded for the life of the process: a plug-in may keep thread-local or
// static state that must outlive any one host, and reopening the path returns the same module.
bool Host::open(const std::string& path, int index) {
  error_.clear();
  std::string why;
  library_ = loadModule(path, why);
  if (library_ == nullptr) {
    error_ = "cannot load " + path + ": " + why;
    return false;
  }
  using CountFn = int (*)();
  using GetFn = OfxPlugin* (*)(int);
  auto count = reinterpret_cast<CountFn>(moduleSymbol(library_, "OfxGetNumberOfPlugins"));
  auto get = reinterpret_cast<GetFn>(moduleSymbol(library_, "OfxGetPlugin"));
  if (count == nullptr || get == nullptr) {
    error_ = path + " does not export OfxGetNumberOfPlugins and OfxGetPlugin";
    return false;
  }
  pluginCount_ = count();
  if (index < 0 || index >= pluginCount_) {
    error_ = path + " has " + std::to_string(pluginCount_) + " plug-ins, none at index " + std::to_string(index);
    return false;
  }
  OfxPlugin* p = get(index);
  if (p == nullptr) {
    error_ = path + ": OfxGetPlugin(" + std::to_string(index) + ") returned null";
    return false;
  }
  if (p->pluginApi == nullptr || std::strcmp(p->pluginApi, kOfxImageEffectPluginApi) != 0 || p->apiVersion != 1) {
    error_ = path + ": plug-in is not an image effect of API version 1";
    return false;
  }
  if (p->setHost == nullptr || p->mainEntry == nullptr) {
    error_ = path + ": plug-in record lacks setHost or mainEntry";
    return false;
  }
  plugin_ = p;
  bind();
  return true;
}

void Host::bind() {
  if (plugin_ == nullptr) return;
  {
    std::lock_guard lk(gBindLock);
    gBound[plugin_] = this;
  }
  plugin_->setHost(&record_);
}

const void* Host::fetchSuite(const char* name, int version) {
  {
    std::lock_guard lk(recordsLock_);
    fetched_.emplace_back(name, version);
  }
  if (HostAccess::tracing(*this)) noteCall("fetchSuite", name, 0.0);
  if (version != 1) return nullptr;
  const std::string n = name;
  const TestingOptions* t = hooks_ ? &hooks_->options : nullptr;
  if (n == kOfxPropertySuite) return t && t->noPropertySuite ? nullptr : &kPropertySuite;
  if (n == kOfxImageEffectSuite) return t && t->noImageEffectSuite ? nullptr : &kImageEffectSuite;
  if (n == kOfxParameterSuite) return t && t->noParameterSuite ? nullptr : &kParameterSuite;
  if (n == kOfxMemorySuite) return t && t->noMemorySuite ? nullptr : &kMemorySuite;
  if (n == kOfxMultiThreadSuite) return t && t->noMultiThreadSuite ? nullptr : &kMultiThreadSuite;
  if (n == kOfxMessageSuite) return t && t->noMessageSuite ? nullptr : &kMessageSuite;
  return nullptr;
}

OfxStatus Host::dispatch(const char* name, const void* handle, PropertySet* in, PropertySet* out) {
  return action(name, handle, in ? in->handle() : nullptr, out ? out->handle() : nullptr);
}

OfxStatus Host::action(const char* name, const void* handle, OfxPropertySetHandle inArgs,
                       OfxPropertySetHandle outArgs) {
  if (plugin_ == nullptr) return kOfxStatErrFatal;
  ScopedCallingHost calling(this);
  OfxStatus status = kOfxStatErrFatal;
  auto call = [&] {
    // A C++ exception must not cross the C boundary; a plug-in that throws gets a fatal status.
    try {
      status = plugin_->mainEntry(name, handle, inArgs, outArgs);
    } catch (...) {
      status = kOfxStatErrFatal;
    }
  };
  if (hooks_ && hooks_->options.captureStderr) {
    std::string text = captureStderr(call);
    std::lock_guard lk(hooks_->lock);
    hooks_->lastStderr = std::move(text);
  } else {
    call();
  }
  return status;
}

// Another host may have bound the same module since: load fetches suites through the host
// record, so it must be ours.
OfxStatus Host::load() {
  bool ours = false;
  if (plugin_ != nullptr) {
    std::lock_guard lk(gBindLock);
    ours = gBound[plugin_] == this;
  }
  if (!ours) bind();
  return action(kOfxActionLoad, nullptr);
}
OfxStatus Host::unload() { return action(kOfxActionUnload, nullptr); }
OfxStatus Host::describe() { return action(kOfxActionDescribe, descriptor_->handle()); }

OfxStatus Host::describeInContext(const std::string& context) {
  auto d = std::make_unique<Effect>(this, Effect::Kind::ContextDescriptor, context);
  d->props->copyFrom(*descriptor_->props);
  d->props->defineString(kOfxImageEffectPropContext, {context});
  auto in = makeArgs(this);
  in->defineString(kOfxImageEffectPropContext, {context});
  Effect* raw = d.get();
  for (auto it = contexts_.begin(); it != contexts_.end(); ++it)
    if ((*it)->context == context) {
      // Older descriptors stay alive: the plug-in may still hold their handles.
      retired_.push_back(std::move(*it));
      contexts_.erase(it);
      break;
    }
  contexts_.push_back(std::move(d));
  return dispatch(kOfxImageEffectActionDescribeInContext, raw->handle(), in.get(), nullptr);
}

Effect* Host::contextDescriptor(const std::string& context) const {
  for (const auto& d : contexts_)
    if (d->context == context) return d.get();
  return nullptr;
}

namespace {

// The styles in the order each includes the ones before it.
int styleRank(const std::string& style) {
  const char* styles[] = {kOfxImageEffectColourManagementNone, kOfxImageEffectColourManagementBasic,
                          kOfxImageEffectColourManagementCore, kOfxImageEffectColourManagementFull,
                          kOfxImageEffectColourManagementOCIO};
  for (int i = 0; i < 5; ++i)
    if (style == styles[i]) return i;
  return 0;
}

bool hasColour(const Clip& c) {
  if (c.props->getInt(kOfxImageClipPropIsMask).value_or(0) != 0) return false;
  const std::optional<Property> components = c.props->get(kOfxImageEffectPropSupportedComponents);
  if (!components) return true;
  for (const std::string& s : components->strings)
    if (s != kOfxImageComponentAlpha) return true;
  return false;
}

}  // namespace

Effect* Host::newInstance(const std::string& context) {
  const Effect* def = contextDescriptor(context);
  if (def == nullptr) return nullptr;
  auto inst = std::make_unique<Effect>(this, Effect::Kind::Instance, context);
  PropertySet& p = *inst->props;
  p.copyFrom(*def->props);
  p.defineString(kOfxPropType, {kOfxTypeImageEffectInstance});
  p.defineString(kOfxImageEffectPropContext, {context});
  p.definePointer(kOfxPropInstanceData, {nullptr});
  p.defineInt(kOfxPropIsInteractive, {0});
  p.defineDouble(kOfxImageEffectPropProjectSize, {1920.0, 1080.0});
  p.defineDouble(kOfxImageEffectPropProjectOffset, {0.0, 0.0});
  p.defineDouble(kOfxImageEffectPropProjectExtent, {1920.0, 1080.0});
  p.defineDouble(kOfxImageEffectPropProjectPixelAspectRatio, {1.0});
  p.defineDouble(kOfxImageEffectInstancePropEffectDuration, {1.0});
  p.defineDouble(kOfxImageEffectPropFrameRate, {25.0});
  for (const auto& dc : def->clips) {
    auto c = std::make_unique<Clip>();
    c->effect = inst.get();
    c->name = dc->name;
    c->magic = kClipMagic;
    c->props = std::make_unique<PropertySet>(this, "clip", false);
    c->props->copyFrom(*dc->props);
    c->props->defineInt(kOfxImageClipPropConnected, {0});
    c->props->defineString(kOfxImageEffectPropPixelDepth, {kOfxBitDepthFloat});
    c->props->defineString(kOfxImageEffectPropComponents, {kOfxImageComponentRGBA});
    c->props->defineString(kOfxImageClipPropUnmappedPixelDepth, {kOfxBitDepthFloat});
    c->props->defineString(kOfxImageClipPropUnmappedComponents, {kOfxImageComponentRGBA});
    c->props->defineString(kOfxImageEffectPropPreMultiplication, {kOfxImagePreMultiplied});
    c->props->defineDouble(kOfxImagePropPixelAspectRatio, {1.0});
    c->props->defineDouble(kOfxImageEffectPropFrameRate, {25.0});
    c->props->defineDouble(kOfxImageEffectPropFrameRange, {0.0, 0.0});
    c->props->defineDouble(kOfxImageEffectPropUnmappedFrameRange, {0.0, 0.0});
    inst->clips.push_back(std::move(c));
  }
  if (!options_.colourManagementStyle.empty()) {
    // The effect's own style when the host supports it, else none.
    const std::string declared =
        def->props->getString(kOfxImageEffectPropColourManagementStyle).value_or(kOfxImageEffectColourManagementNone);
    const bool usable = styleRank(declared) > 0 && styleRank(declared) <= styleRank(options_.colourManagementStyle);
    p.defineString(kOfxImageEffectPropColourManagementStyle,
                   {usable ? declared : std::string(kOfxImageEffectColourManagementNone)});
    for (const auto& c : inst->clips)
      if (hasColour(*c)) c->props->defineString(kOfxImageClipPropColourspace, {options_.defaultColourspace});
  }
  inst->params.props->copyFrom(*def->params.props);
  for (const auto& dp : def->params.params) inst->params.params.push_back(instantiateParam(*dp, this));
  instances_.push_back(std::move(inst));
  return instances_.back().get();
}

Effect* Host::instanceChecked(Effect* instance) const {
  for (const auto& i : instances_)
    if (i.get() == instance) return instance;
  return nullptr;
}

OfxStatus Host::createInstance(Effect* instance) {
  if (instanceChecked(instance) == nullptr) return kOfxStatErrBadHandle;
  OfxStatus st = action(kOfxActionCreateInstance, instance->handle());
  instance->created = st == kOfxStatOK;
  if (instance->created && !options_.colourManagementStyle.empty()) clipPreferences(instance);
  return st;
}

OfxStatus Host::destroyInstance(Effect* instance) {
  if (instanceChecked(instance) == nullptr) return kOfxStatErrBadHandle;
  instance->destroyed = true;
  return action(kOfxActionDestroyInstance, instance->handle());
}

OfxStatus Host::beginInstanceChanged(Effect* instance, const std::string& reason) {
  if (instanceChecked(instance) == nullptr) return kOfxStatErrBadHandle;
  auto in = makeArgs(this);
  in->defineString(kOfxPropChangeReason, {reason});
  return dispatch(kOfxActionBeginInstanceChanged, instance->handle(), in.get(), nullptr);
}

OfxStatus Host::endInstanceChanged(Effect* instance, const std::string& reason) {
  if (instanceChecked(instance) == nullptr) return kOfxStatErrBadHandle;
  auto in = makeArgs(this);
  in->defineString(kOfxPropChangeReason, {reason});
  return dispatch(kOfxActionEndInstanceChanged, instance->handle(), in.get(), nullptr);
}

OfxStatus Host::instanceChanged(Effect* instance, const std::string& type, const std::string& name,
                                const std::string& reason, double time) {
  if (instanceChecked(instance) == nullptr) return kOfxStatErrBadHandle;
  auto in = makeArgs(this);
  in->defineString(kOfxPropType, {type});
  in->defineString(kOfxPropName, {name});
  in->defineString(kOfxPropChangeReason, {reason});
  in->defineDouble(kOfxPropTime, {time});
  in->defineDouble(kOfxImageEffectPropRenderScale, {1.0, 1.0});
  const OfxStatus status = dispatch(kOfxActionInstanceChanged, instance->handle(), in.get(), nullptr);
  // A change of a parameter the clip preferences follow asks for them again.
  if (!options_.colourManagementStyle.empty() && type == kOfxTypeParameter) {
    const std::optional<Property> slaves = instance->props->get(kOfxImageEffectInstancePropClipPreferencesSlaveParam);
    if (slaves && std::find(slaves->strings.begin(), slaves->strings.end(), name) != slaves->strings.end())
      clipPreferences(instance);
  }
  return status;
}

ClipPreferences Host::clipPreferences(Effect* instance) {
  ClipPreferences r;
  if (instanceChecked(instance) == nullptr) {
    r.status = kOfxStatErrBadHandle;
    return r;
  }
  const bool managed = !options_.colourManagementStyle.empty();
  auto out = makeArgs(this);
  for (const auto& c : instance->clips) {
    out->defineString(kOfxImageClipPropComponents_ + c->name,
                      {c->props->getString(kOfxImageEffectPropComponents).value_or(kOfxImageComponentRGBA)});
    out->defineString(kOfxImageClipPropDepth_ + c->name,
                      {c->props->getString(kOfxImageEffectPropPixelDepth).value_or(kOfxBitDepthFloat)});
    out->defineDouble(kOfxImageClipPropPAR_ + c->name, {1.0});
    if (managed && hasColour(*c)) out->defineString(kOfxImageClipPropPreferredColourspaces_ + c->name, {});
  }
  out->defineDouble(kOfxImageEffectPropFrameRate, {25.0});
  out->defineString(kOfxImageClipPropFieldOrder, {kOfxImageFieldNone});
  out->defineString(kOfxImageEffectPropPreMultiplication, {kOfxImagePreMultiplied});
  out->defineInt(kOfxImageClipPropContinuousSamples, {0});
  out->defineInt(kOfxImageEffectFrameVarying, {0});
  r.status = dispatch(kOfxImageEffectActionGetClipPreferences, instance->handle(), nullptr, out.get());
  if (r.status != kOfxStatOK || !managed) return r;
  for (const auto& c : instance->clips) {
    const std::optional<Property> asked = out->get(kOfxImageClipPropPreferredColourspaces_ + c->name);
    if (!asked || asked->strings.empty()) continue;
    r.preferredColourspaces[c->name] = asked->strings;
    // The first the host supplies.
    for (const std::string& space : asked->strings)
      if (std::find(options_.suppliedColourspaces.begin(), options_.suppliedColourspaces.end(), space) !=
          options_.suppliedColourspaces.end()) {
        c->props->defineString(kOfxImageClipPropColourspace, {space});
        break;
      }
  }
  return r;
}

IdentityResult Host::isIdentity(Effect* instance, double time, OfxRectI window) {
  IdentityResult r;
  if (instanceChecked(instance) == nullptr) {
    r.status = kOfxStatErrBadHandle;
    return r;
  }
  auto in = makeArgs(this);
  in->defineDouble(kOfxPropTime, {time});
  in->defineString(kOfxImageEffectPropFieldToRender, {kOfxImageFieldNone});
  in->defineInt(kOfxImageEffectPropRenderWindow, {window.x1, window.y1, window.x2, window.y2});
  in->defineDouble(kOfxImageEffectPropRenderScale, {1.0, 1.0});
  auto out = makeArgs(this);
  out->defineString(kOfxPropName, {""});
  out->defineDouble(kOfxPropTime, {time});
  r.status = dispatch(kOfxImageEffectActionIsIdentity, instance->handle(), in.get(), out.get());
  r.clip = out->getString(kOfxPropName).value_or("");
  r.time = out->getDouble(kOfxPropTime).value_or(time);
  r.writes = out->writes();
  return r;
}

RegionsOfInterest Host::regionsOfInterest(Effect* instance, double time, OfxRectD region, OfxPointD renderScale) {
  RegionsOfInterest r;
  if (instanceChecked(instance) == nullptr) {
    r.status = kOfxStatErrBadHandle;
    return r;
  }
  auto in = makeArgs(this);
  in->defineDouble(kOfxPropTime, {time});
  in->defineDouble(kOfxImageEffectPropRenderScale, {renderScale.x, renderScale.y});
  in->defineDouble(kOfxImageEffectPropRegionOfInterest, {region.x1, region.y1, region.x2, region.y2});
  // Every input starts with the default a host may use: the region being rendered.
  auto out = makeArgs(this);
  for (const auto& c : instance->clips)
    if (c->name != kOfxImageEffectOutputClipName)
      out->defineDouble(kOfxImageClipPropRoI_ + c->name, {region.x1, region.y1, region.x2, region.y2});
  r.status = dispatch(kOfxImageEffectActionGetRegionsOfInterest, instance->handle(), in.get(), out.get());
  const bool answered = r.status == kOfxStatOK;
  for (const auto& c : instance->clips) {
    if (c->name == kOfxImageEffectOutputClipName) continue;
    OfxRectD roi = region;
    const std::string name = kOfxImageClipPropRoI_ + c->name;
    if (answered) {
      double v[4];
      if (out->getN(name.c_str(), 4, PropType::Double, v) == kOfxStatOK) roi = OfxRectD{v[0], v[1], v[2], v[3]};
    }
    r.regions[c->name] = roi;
  }
  return r;
}

namespace {

bool declaresTemporalAccess(const PropertySet& props) {
  return props.getInt(kOfxImageEffectPropTemporalClipAccess).value_or(0) != 0;
}

}  // namespace

FramesNeeded Host::framesNeeded(Effect* instance, double time) {
  FramesNeeded r;
  if (instanceChecked(instance) == nullptr) {
    r.status = kOfxStatErrBadHandle;
    return r;
  }
  for (const auto& c : instance->clips)
    if (c->name != kOfxImageEffectOutputClipName) r.ranges[c->name] = {OfxRangeD{time, time}};
  if (!options_.temporalClipAccess || !declaresTemporalAccess(*instance->props)) return r;
  auto in = makeArgs(this);
  in->defineDouble(kOfxPropTime, {time});
  in->defineInt(kOfxImageEffectPropThumbnailRender, {0});
  // Every input starts with the default: the render time, as a range of one frame.
  auto out = makeArgs(this);
  for (const auto& [clip, ranges] : r.ranges) out->defineDouble(kOfxImageClipPropFrameRange_ + clip, {time, time});
  r.sent = true;
  r.status = dispatch(kOfxImageEffectActionGetFramesNeeded, instance->handle(), in.get(), out.get());
  if (r.status != kOfxStatOK) return r;
  for (auto& [clip, ranges] : r.ranges) {
    // A clip that did not declare temporal access keeps the render time, whatever the answer.
    if (!declaresTemporalAccess(*instance->clip(clip)->props)) continue;
    const std::optional<Property> answer = out->get(kOfxImageClipPropFrameRange_ + clip);
    if (!answer || answer->type != PropType::Double || answer->doubles.size() % 2 != 0) continue;
    ranges.clear();
    for (size_t i = 0; i + 1 < answer->doubles.size(); i += 2)
      ranges.push_back(OfxRangeD{answer->doubles[i], answer->doubles[i + 1]});
  }
  return r;
}

OfxStatus Host::render(Effect* instance, double time, OfxRectI window, OfxPointD renderScale) {
  if (instanceChecked(instance) == nullptr) return kOfxStatErrBadHandle;
  RenderRegions regions{instance, {}, time, framesNeeded(instance, time).ranges};
  if (options_.cropToRegionsOfInterest) {
    const OfxRectD canonical{window.x1 / renderScale.x, window.y1 / renderScale.y, window.x2 / renderScale.x,
                             window.y2 / renderScale.y};
    const RegionsOfInterest rois = regionsOfInterest(instance, time, canonical, renderScale);
    for (const auto& [clip, roi] : rois.regions) regions.pixels[clip] = toPixels(roi, renderScale);
  }
  auto in = makeArgs(this);
  in->defineDouble(kOfxPropTime, {time});
  in->defineString(kOfxImageEffectPropFieldToRender, {kOfxImageFieldNone});
  in->defineInt(kOfxImageEffectPropRenderWindow, {window.x1, window.y1, window.x2, window.y2});
  in->defineDouble(kOfxImageEffectPropRenderScale, {renderScale.x, renderScale.y});
  in->defineInt(kOfxImageEffectPropSequentialRenderStatus, {0});
  in->defineInt(kOfxImageEffectPropInteractiveRenderStatus, {0});
  ScopedRenderRegions scope(&regions);
  return dispatch(kOfxImageEffectActionRender, instance->handle(), in.get(), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Host-side clip and parameter changes

namespace {

void describeClipFormat(Clip* c, const Image& img) {
  c->props->defineString(kOfxImageEffectPropPixelDepth, {depthName(img.depth)});
  c->props->defineString(kOfxImageEffectPropComponents, {componentsName(img.components)});
  c->props->defineString(kOfxImageClipPropUnmappedPixelDepth, {depthName(img.depth)});
  c->props->defineString(kOfxImageClipPropUnmappedComponents, {componentsName(img.components)});
}

}  // namespace

bool Host::attachImage(Effect* instance, const std::string& clip, std::shared_ptr<Image> img,
                       std::optional<double> time) {
  if (instanceChecked(instance) == nullptr || img == nullptr) return false;
  Clip* c = instance->clip(clip);
  if (c == nullptr) return false;
  if (img->uniqueId.empty()) img->uniqueId = clip + ":" + std::to_string(nextImageId_++);
  describeClipFormat(c, *img);
  if (time)
    c->images[*time] = std::move(img);
  else
    c->anyTimeImage = std::move(img);
  if (time && !c->frameRangeSet) {
    const double first = c->images.begin()->first, last = c->images.rbegin()->first;
    c->props->defineDouble(kOfxImageEffectPropFrameRange, {first, last});
    c->props->defineDouble(kOfxImageEffectPropUnmappedFrameRange, {first, last});
  }
  c->connected = true;
  c->props->defineInt(kOfxImageClipPropConnected, {1});
  return true;
}

bool Host::detachImages(Effect* instance, const std::string& clip) {
  if (instanceChecked(instance) == nullptr) return false;
  Clip* c = instance->clip(clip);
  if (c == nullptr) return false;
  c->images.clear();
  c->anyTimeImage.reset();
  return true;
}

bool Host::setClipConnected(Effect* instance, const std::string& clip, bool connected) {
  if (instanceChecked(instance) == nullptr) return false;
  Clip* c = instance->clip(clip);
  if (c == nullptr) return false;
  c->connected = connected;
  c->props->defineInt(kOfxImageClipPropConnected, {connected ? 1 : 0});
  return true;
}

bool Host::setImageSource(Effect* instance, const std::string& clip, ImageSource source, PixelDepth depth,
                          Components components) {
  if (instanceChecked(instance) == nullptr) return false;
  Clip* c = instance->clip(clip);
  if (c == nullptr) return false;
  c->source = std::move(source);
  if (c->source) {
    Image format;
    format.depth = depth;
    format.components = components;
    describeClipFormat(c, format);
    c->connected = true;
    c->props->defineInt(kOfxImageClipPropConnected, {1});
  }
  return true;
}

bool Host::setClipFrameRange(Effect* instance, const std::string& clip, double first, double last) {
  if (instanceChecked(instance) == nullptr) return false;
  Clip* c = instance->clip(clip);
  if (c == nullptr) return false;
  c->frameRangeSet = true;
  c->props->defineDouble(kOfxImageEffectPropFrameRange, {first, last});
  c->props->defineDouble(kOfxImageEffectPropUnmappedFrameRange, {first, last});
  return true;
}

bool Host::setClipColourspace(Effect* instance, const std::string& clip, const std::string& space) {
  if (instanceChecked(instance) == nullptr || options_.colourManagementStyle.empty()) return false;
  Clip* c = instance->clip(clip);
  if (c == nullptr || !hasColour(*c)) return false;
  c->props->defineString(kOfxImageClipPropColourspace, {space});
  return true;
}

bool Host::setParam(Effect* instance, const std::string& name, const ParamValue& v, std::optional<double> time) {
  if (instanceChecked(instance) == nullptr) return false;
  Param* p = instance->param(name);
  if (p == nullptr || !valueFits(*p, v)) return false;
  std::lock_guard lk(p->lock);
  if (time)
    p->keys[*time] = v;
  else
    p->value = v;
  return true;
}

bool Host::setParamDouble(Effect* instance, const std::string& name, double v, std::optional<double> time) {
  ParamValue pv;
  pv.doubles = {v};
  return setParam(instance, name, pv, time);
}

bool Host::setParamInt(Effect* instance, const std::string& name, int v, std::optional<double> time) {
  ParamValue pv;
  pv.ints = {v};
  return setParam(instance, name, pv, time);
}

bool Host::setParamString(Effect* instance, const std::string& name, const std::string& v, std::optional<double> time) {
  ParamValue pv;
  pv.str = v;
  return setParam(instance, name, pv, time);
}

std::optional<ParamValue> Host::paramValue(Effect* instance, const std::string& name,
                                           std::optional<double> time) const {
  if (instanceChecked(instance) == nullptr) return std::nullopt;
  Param* p = instance->param(name);
  if (p == nullptr) return std::nullopt;
  std::lock_guard lk(p->lock);
  if (time) {
    auto it = p->keys.find(*time);
    if (it != p->keys.end()) return it->second;
  }
  return p->value;
}

// ---------------------------------------------------------------------------------------------
// Records

Call::Call(Host* host, const char* name, std::string arg, double time)
    : host_(host), name_(name), arg_(std::move(arg)) {
  if (host_ != nullptr && HostAccess::tracing(*host_)) HostAccess::noteCall(*host_, name_, arg_, time);
}

OfxStatus Call::operator()(OfxStatus status) const {
  const bool ok =
      status == kOfxStatOK || status == kOfxStatReplyYes || status == kOfxStatReplyNo || status == kOfxStatReplyDefault;
  if (!ok && host_ != nullptr) HostAccess::noteFailure(*host_, name_, arg_, status);
  return status;
}

void Host::noteFailure(const char* call, const std::string& arg, OfxStatus status) {
  std::lock_guard lk(recordsLock_);
  if (failed_.size() < 10000) failed_.push_back({call, arg, status});
}

std::vector<FailedCall> Host::failedCalls() const {
  std::lock_guard lk(recordsLock_);
  return failed_;
}

void Host::clearFailedCalls() {
  std::lock_guard lk(recordsLock_);
  failed_.clear();
}

void Host::noteCall(const char* call, const std::string& arg, double time) {
  if (!hooks_) return;
  std::lock_guard lk(hooks_->lock);
  hooks_->trace.push_back({call, arg, time});
}

// ---------------------------------------------------------------------------------------------
// The test host

TestHost::TestHost(const TestingOptions& options) : Host(options) {
  hooks_ = std::make_unique<HostHooks>();
  hooks_->options = options;
}

std::vector<TraceEntry> TestHost::trace() const {
  std::lock_guard lk(hooks_->lock);
  return hooks_->trace;
}

void TestHost::clearTrace() {
  std::lock_guard lk(hooks_->lock);
  hooks_->trace.clear();
}

std::string TestHost::lastStderr() const {
  std::lock_guard lk(hooks_->lock);
  return hooks_->lastStderr;
}

void TestHost::asPlugin(const std::function<void()>& fn) {
  ScopedCallingHost calling(this);
  fn();
}

void Host::addMessage(Message m) {
  std::function<void(const Message&)> cb;
  {
    std::lock_guard lk(recordsLock_);
    messages_.push_back(m);
    cb = onMessage;
  }
  if (cb) cb(m);
}

std::vector<Message> Host::messages() const {
  std::lock_guard lk(recordsLock_);
  return messages_;
}

void Host::clearMessages() {
  std::lock_guard lk(recordsLock_);
  messages_.clear();
}

std::vector<std::pair<std::string, int>> Host::fetchedSuites() const {
  std::lock_guard lk(recordsLock_);
  return fetched_;
}

}  // namespace ofxhost
