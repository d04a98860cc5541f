// Parameters and the parameter suite.
#include <cstdarg>
#include <cstring>

#include "ofx_host.h"
#include "suites.h"

namespace ofxhost {

namespace {

struct TypeInfo {
  const char* type;
  ParamKind kind;
  int count;
};

const TypeInfo kTypes[] = {
    {kOfxParamTypeDouble, ParamKind::Double, 1},
    {kOfxParamTypeDouble2D, ParamKind::Double, 2},
    {kOfxParamTypeDouble3D, ParamKind::Double, 3},
    {kOfxParamTypeRGB, ParamKind::Double, 3},
    {kOfxParamTypeRGBA, ParamKind::Double, 4},
    {kOfxParamTypeInteger, ParamKind::Integer, 1},
    {kOfxParamTypeInteger2D, ParamKind::Integer, 2},
    {kOfxParamTypeInteger3D, ParamKind::Integer, 3},
    {kOfxParamTypeChoice, ParamKind::Choice, 1},
    {kOfxParamTypeBoolean, ParamKind::Boolean, 1},
    {kOfxParamTypeString, ParamKind::String, 1},
    {kOfxParamTypeCustom, ParamKind::String, 1},
    {kOfxParamTypePushButton, ParamKind::PushButton, 0},
    {kOfxParamTypeGroup, ParamKind::Other, 0},
    {kOfxParamTypePage, ParamKind::Other, 0},
    {kOfxParamTypeParametric, ParamKind::Other, 0},
};

const TypeInfo* typeInfo(const char* type) {
  if (type == nullptr) return nullptr;
  for (const TypeInfo& t : kTypes)
    if (std::strcmp(t.type, type) == 0) return &t;
  return nullptr;
}

bool isIntKind(ParamKind k) { return k == ParamKind::Integer || k == ParamKind::Choice || k == ParamKind::Boolean; }

Param* paramFrom(OfxParamHandle h) {
  auto* p = reinterpret_cast<Param*>(h);
  if (p == nullptr || p->magic != kParamMagic) return nullptr;
  return p;
}

ParamSet* paramSetFrom(OfxParamSetHandle h) {
  auto* s = reinterpret_cast<ParamSet*>(h);
  if (s == nullptr || s->magic != kParamSetMagic) return nullptr;
  return s;
}

Host* hostOf(const Param* p) { return p ? p->props->owner() : callingHost(); }

// The value a parameter has at `time` (nullopt: the current value). Caller holds p.lock.
const ParamValue& valueAt(const Param& p, std::optional<double> time) {
  if (time) {
    auto it = p.keys.find(*time);
    if (it != p.keys.end()) return it->second;
  }
  return p.value;
}

OfxStatus readValue(const Param& p, std::optional<double> time, va_list ap) {
  if (p.kind == ParamKind::PushButton || p.kind == ParamKind::Other) return kOfxStatErrUnsupported;
  std::lock_guard lk(p.lock);
  const ParamValue& v = valueAt(p, time);
  if (p.kind == ParamKind::Double) {
    for (int i = 0; i < p.valueCount; ++i) {
      double* out = va_arg(ap, double*);
      if (out == nullptr) return kOfxStatErrValue;
      *out = v.doubles[i];
    }
  } else if (isIntKind(p.kind)) {
    for (int i = 0; i < p.valueCount; ++i) {
      int* out = va_arg(ap, int*);
      if (out == nullptr) return kOfxStatErrValue;
      *out = v.ints[i];
    }
  } else {
    char** out = va_arg(ap, char**);
    if (out == nullptr) return kOfxStatErrValue;
    // Host-owned: valid until the parameter is written again.
    *out = const_cast<char*>(v.str.c_str());
  }
  return kOfxStatOK;
}

OfxStatus writeValue(Param& p, std::optional<double> time, va_list ap) {
  if (p.kind == ParamKind::PushButton || p.kind == ParamKind::Other) return kOfxStatErrUnsupported;
  ParamValue v;
  if (p.kind == ParamKind::Double) {
    for (int i = 0; i < p.valueCount; ++i) v.doubles.push_back(va_arg(ap, double));
  } else if (isIntKind(p.kind)) {
    for (int i = 0; i < p.valueCount; ++i) v.ints.push_back(va_arg(ap, int));
  } else {
    const char* s = va_arg(ap, const char*);
    v.str = s ? s : "";
  }
  std::lock_guard lk(p.lock);
  if (time)
    p.keys[*time] = std::move(v);
  else
    p.value = std::move(v);
  return kOfxStatOK;
}

// The default a definition asks for, read from OfxParamPropDefault (zero / empty when absent).
ParamValue defaultValue(const Param& def) {
  ParamValue v;
  if (def.kind == ParamKind::Double) {
    for (int i = 0; i < def.valueCount; ++i)
      v.doubles.push_back(def.props->getDouble(kOfxParamPropDefault, i).value_or(0.0));
  } else if (isIntKind(def.kind)) {
    for (int i = 0; i < def.valueCount; ++i) v.ints.push_back(def.props->getInt(kOfxParamPropDefault, i).value_or(0));
  } else if (def.kind == ParamKind::String) {
    v.str = def.props->getString(kOfxParamPropDefault).value_or("");
  }
  return v;
}

OfxStatus paramDefine(OfxParamSetHandle h, const char* type, const char* name, OfxPropertySetHandle* out) {
  ParamSet* set = paramSetFrom(h);
  Call done(set ? set->props->owner() : callingHost(), "paramDefine", name ? name : "");
  if (out) *out = nullptr;
  if (set == nullptr) return done(kOfxStatErrBadHandle);
  if (name == nullptr || *name == '\0') return done(kOfxStatErrValue);
  if (set->effect->kind == Effect::Kind::Instance) return done(kOfxStatErrUnsupported);
  if (set->find(name) != nullptr) return done(kOfxStatErrExists);
  const TypeInfo* info = typeInfo(type);
  if (info == nullptr) return done(kOfxStatErrUnknown);
  auto p = std::make_unique<Param>();
  p->type = info->type;
  p->name = name;
  p->kind = info->kind;
  p->valueCount = info->count;
  p->magic = kParamMagic;
  p->props = std::make_unique<PropertySet>(set->props->owner(), "paramDescriptor", true);
  p->props->defineString(kOfxPropType, {kOfxTypeParameter});
  p->props->defineString(kOfxPropName, {name});
  p->props->defineString(kOfxParamPropType, {info->type});
  p->props->defineString(kOfxPropLabel, {name});
  p->props->defineString(kOfxParamPropScriptName, {name});
  p->props->defineString(kOfxParamPropHint, {""});
  p->props->defineString(kOfxParamPropParent, {""});
  p->props->defineInt(kOfxParamPropEnabled, {1});
  p->props->defineInt(kOfxParamPropSecret, {0});
  p->props->defineInt(kOfxParamPropEvaluateOnChange, {1});
  p->props->definePointer(kOfxParamPropDataPtr, {nullptr});
  if (out) *out = p->props->handle();
  set->params.push_back(std::move(p));
  return done(kOfxStatOK);
}

OfxStatus paramGetHandle(OfxParamSetHandle h, const char* name, OfxParamHandle* param, OfxPropertySetHandle* props) {
  ParamSet* set = paramSetFrom(h);
  Call done(set ? set->props->owner() : callingHost(), "paramGetHandle", name ? name : "");
  if (param) *param = nullptr;
  if (props) *props = nullptr;
  if (set == nullptr) return done(kOfxStatErrBadHandle);
  if (param == nullptr) return done(kOfxStatErrValue);
  Param* p = name ? set->find(name) : nullptr;
  if (p == nullptr) return done(kOfxStatErrUnknown);
  *param = p->handle();
  if (props) *props = p->props->handle();
  return done(kOfxStatOK);
}

OfxStatus paramSetGetPropertySet(OfxParamSetHandle h, OfxPropertySetHandle* out) {
  ParamSet* set = paramSetFrom(h);
  Call done(set ? set->props->owner() : callingHost(), "paramSetGetPropertySet", "");
  if (out) *out = nullptr;
  if (set == nullptr) return done(kOfxStatErrBadHandle);
  if (out == nullptr) return done(kOfxStatErrValue);
  *out = set->props->handle();
  return done(kOfxStatOK);
}

OfxStatus paramGetPropertySet(OfxParamHandle h, OfxPropertySetHandle* out) {
  Param* p = paramFrom(h);
  Call done(hostOf(p), "paramGetPropertySet", p ? p->name : "");
  if (out) *out = nullptr;
  if (p == nullptr) return done(kOfxStatErrBadHandle);
  if (out == nullptr) return done(kOfxStatErrValue);
  *out = p->props->handle();
  return done(kOfxStatOK);
}

OfxStatus paramGetValue(OfxParamHandle h, ...) {
  Param* p = paramFrom(h);
  Call done(hostOf(p), "paramGetValue", p ? p->name : "");
  if (p == nullptr) return done(kOfxStatErrBadHandle);
  va_list ap;
  va_start(ap, h);
  OfxStatus st = readValue(*p, std::nullopt, ap);
  va_end(ap);
  return done(st);
}

OfxStatus paramGetValueAtTime(OfxParamHandle h, OfxTime time, ...) {
  Param* p = paramFrom(h);
  Call done(hostOf(p), "paramGetValueAtTime", p ? p->name : "", time);
  if (p == nullptr) return done(kOfxStatErrBadHandle);
  va_list ap;
  va_start(ap, time);
  OfxStatus st = readValue(*p, time, ap);
  va_end(ap);
  return done(st);
}

OfxStatus paramGetDerivative(OfxParamHandle h, OfxTime time, ...) {
  Param* p = paramFrom(h);
  Call done(hostOf(p), "paramGetDerivative", p ? p->name : "", time);
  return done(p ? kOfxStatErrUnsupported : kOfxStatErrBadHandle);
}

OfxStatus paramGetIntegral(OfxParamHandle h, OfxTime time1, OfxTime, ...) {
  Param* p = paramFrom(h);
  Call done(hostOf(p), "paramGetIntegral", p ? p->name : "", time1);
  return done(p ? kOfxStatErrUnsupported : kOfxStatErrBadHandle);
}

OfxStatus paramSetValue(OfxParamHandle h, ...) {
  Param* p = paramFrom(h);
  Call done(hostOf(p), "paramSetValue", p ? p->name : "");
  if (p == nullptr) return done(kOfxStatErrBadHandle);
  va_list ap;
  va_start(ap, h);
  OfxStatus st = writeValue(*p, std::nullopt, ap);
  va_end(ap);
  return done(st);
}

OfxStatus paramSetValueAtTime(OfxParamHandle h, OfxTime time, ...) {
  Param* p = paramFrom(h);
  Call done(hostOf(p), "paramSetValueAtTime", p ? p->name : "", time);
  if (p == nullptr) return done(kOfxStatErrBadHandle);
  va_list ap;
  va_start(ap, time);
  OfxStatus st = writeValue(*p, time, ap);
  va_end(ap);
  return done(st);
}

OfxStatus paramGetNumKeys(OfxParamHandle h, unsigned int* n) {
  Param* p = paramFrom(h);
  Call done(hostOf(p), "paramGetNumKeys", p ? p->name : "");
  if (p == nullptr) return done(kOfxStatErrBadHandle);
  if (n == nullptr) return done(kOfxStatErrValue);
  std::lock_guard lk(p->lock);
  *n = static_cast<unsigned int>(p->keys.size());
  return done(kOfxStatOK);
}

OfxStatus paramGetKeyTime(OfxParamHandle h, unsigned int nth, OfxTime* time) {
  Param* p = paramFrom(h);
  Call done(hostOf(p), "paramGetKeyTime", p ? p->name : "");
  if (p == nullptr) return done(kOfxStatErrBadHandle);
  if (time == nullptr) return done(kOfxStatErrValue);
  std::lock_guard lk(p->lock);
  if (nth >= p->keys.size()) return done(kOfxStatErrBadIndex);
  *time = std::next(p->keys.begin(), nth)->first;
  return done(kOfxStatOK);
}

// direction 0: the key at exactly `time`; < 0: the last key before it; > 0: the first after it.
OfxStatus paramGetKeyIndex(OfxParamHandle h, OfxTime time, int direction, int* index) {
  Param* p = paramFrom(h);
  Call done(hostOf(p), "paramGetKeyIndex", p ? p->name : "", time);
  if (p == nullptr) return done(kOfxStatErrBadHandle);
  if (index == nullptr) return done(kOfxStatErrValue);
  *index = -1;
  std::lock_guard lk(p->lock);
  auto it = p->keys.end();
  if (direction == 0) {
    it = p->keys.find(time);
  } else if (direction < 0) {
    auto lb = p->keys.lower_bound(time);
    if (lb != p->keys.begin()) it = std::prev(lb);
  } else {
    it = p->keys.upper_bound(time);
  }
  if (it == p->keys.end()) return done(kOfxStatFailed);
  *index = static_cast<int>(std::distance(p->keys.begin(), it));
  return done(kOfxStatOK);
}

OfxStatus paramDeleteKey(OfxParamHandle h, OfxTime time) {
  Param* p = paramFrom(h);
  Call done(hostOf(p), "paramDeleteKey", p ? p->name : "", time);
  if (p == nullptr) return done(kOfxStatErrBadHandle);
  std::lock_guard lk(p->lock);
  return done(p->keys.erase(time) ? kOfxStatOK : kOfxStatErrBadIndex);
}

OfxStatus paramDeleteAllKeys(OfxParamHandle h) {
  Param* p = paramFrom(h);
  Call done(hostOf(p), "paramDeleteAllKeys", p ? p->name : "");
  if (p == nullptr) return done(kOfxStatErrBadHandle);
  std::lock_guard lk(p->lock);
  p->keys.clear();
  return done(kOfxStatOK);
}

// Copies the current value and the keys (those inside frameRange when given), shifted by offset.
OfxStatus paramCopy(OfxParamHandle to, OfxParamHandle from, OfxTime offset, const OfxRangeD* range) {
  Param* dst = paramFrom(to);
  Param* src = paramFrom(from);
  Call done(hostOf(dst), "paramCopy", dst ? dst->name : "", offset);
  if (dst == nullptr || src == nullptr) return done(kOfxStatErrBadHandle);
  if (dst == src) return done(kOfxStatOK);
  if (dst->type != src->type) return done(kOfxStatErrValue);
  ParamValue value;
  std::map<double, ParamValue> keys;
  {
    std::lock_guard lk(src->lock);
    value = src->value;
    for (const auto& [t, v] : src->keys)
      if (range == nullptr || (t >= range->min && t <= range->max)) keys[t + offset] = v;
  }
  std::lock_guard lk(dst->lock);
  dst->value = std::move(value);
  if (range == nullptr) dst->keys.clear();
  for (auto& [t, v] : keys) dst->keys[t] = std::move(v);
  return done(kOfxStatOK);
}

OfxStatus paramEditBegin(OfxParamSetHandle h, const char* name) {
  ParamSet* set = paramSetFrom(h);
  Call done(set ? set->props->owner() : callingHost(), "paramEditBegin", name ? name : "");
  if (set == nullptr) return done(kOfxStatErrBadHandle);
  ++set->editDepth;
  return done(kOfxStatOK);
}

OfxStatus paramEditEnd(OfxParamSetHandle h) {
  ParamSet* set = paramSetFrom(h);
  Call done(set ? set->props->owner() : callingHost(), "paramEditEnd", "");
  if (set == nullptr) return done(kOfxStatErrBadHandle);
  if (set->editDepth == 0) return done(kOfxStatFailed);
  --set->editDepth;
  return done(kOfxStatOK);
}

}  // namespace

const OfxParameterSuiteV1 kParameterSuite = {
    paramDefine,         paramGetHandle,     paramSetGetPropertySet, paramGetPropertySet, paramGetValue,
    paramGetValueAtTime, paramGetDerivative, paramGetIntegral,       paramSetValue,       paramSetValueAtTime,
    paramGetNumKeys,     paramGetKeyTime,    paramGetKeyIndex,       paramDeleteKey,      paramDeleteAllKeys,
    paramCopy,           paramEditBegin,     paramEditEnd,
};

ParamKind paramKindOf(const std::string& paramType) {
  const TypeInfo* info = typeInfo(paramType.c_str());
  return info ? info->kind : ParamKind::Other;
}

// Builds an instance's parameter from its definition: a closed copy of the definition's
// properties and the default as current value.
std::unique_ptr<Param> instantiateParam(const Param& def, Host* owner) {
  auto p = std::make_unique<Param>();
  p->type = def.type;
  p->name = def.name;
  p->kind = def.kind;
  p->valueCount = def.valueCount;
  p->magic = kParamMagic;
  p->props = std::make_unique<PropertySet>(owner, "param", false);
  p->props->copyFrom(*def.props);
  p->props->defineString(kOfxPropType, {kOfxTypeParameterInstance});
  p->props->defineInt(kOfxParamPropIsAnimating, {0});
  p->value = defaultValue(def);
  return p;
}

bool valueFits(const Param& p, const ParamValue& v) {
  if (p.kind == ParamKind::Double) return v.doubles.size() == static_cast<size_t>(p.valueCount) && v.ints.empty();
  if (isIntKind(p.kind)) return v.ints.size() == static_cast<size_t>(p.valueCount) && v.doubles.empty();
  if (p.kind == ParamKind::String) return v.doubles.empty() && v.ints.empty();
  return false;
}

}  // namespace ofxhost
