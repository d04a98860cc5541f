// Property sets and the property suite.
#include <cstdint>
#include <cstdio>

#include "ofx_host.h"
#include "suites.h"

namespace ofxhost {

const char* propTypeName(PropType t) {
  switch (t) {
    case PropType::Pointer:
      return "pointer";
    case PropType::String:
      return "string";
    case PropType::Double:
      return "double";
    case PropType::Int:
      return "int";
  }
  return "?";
}

int Property::dimension() const {
  switch (type) {
    case PropType::Pointer:
      return static_cast<int>(pointers.size());
    case PropType::String:
      return static_cast<int>(strings.size());
    case PropType::Double:
      return static_cast<int>(doubles.size());
    case PropType::Int:
      return static_cast<int>(ints.size());
  }
  return 0;
}

PropertySet::PropertySet(Host* owner, std::string kind, bool open)
    : magic_(kPropSetMagic), owner_(owner), kind_(std::move(kind)), open_(open) {
  // Taken once before the set is shared: mingw-w64's threads library sets up the lock on first
  // use, and threads taking it first at the same moment may each get a lock of their own.
  std::unique_lock settle(lock_);
}

PropertySet::~PropertySet() { magic_ = kDeadMagic; }

PropertySet* PropertySet::from(OfxPropertySetHandle h) {
  auto* p = reinterpret_cast<PropertySet*>(h);
  if (p == nullptr || p->magic_.load(std::memory_order_relaxed) != kPropSetMagic) return nullptr;
  return p;
}

void PropertySet::retire() { magic_ = kDeadMagic; }

void PropertySet::defineString(const std::string& name, std::vector<std::string> values) {
  std::unique_lock lk(lock_);
  Property& p = props_[name] = Property{};
  p.type = PropType::String;
  p.defStrings = values;
  p.strings = std::move(values);
}

void PropertySet::defineDouble(const std::string& name, std::vector<double> values) {
  std::unique_lock lk(lock_);
  Property& p = props_[name] = Property{};
  p.type = PropType::Double;
  p.defDoubles = values;
  p.doubles = std::move(values);
}

void PropertySet::defineInt(const std::string& name, std::vector<int> values) {
  std::unique_lock lk(lock_);
  Property& p = props_[name] = Property{};
  p.type = PropType::Int;
  p.defInts = values;
  p.ints = std::move(values);
}

void PropertySet::definePointer(const std::string& name, std::vector<void*> values) {
  std::unique_lock lk(lock_);
  Property& p = props_[name] = Property{};
  p.type = PropType::Pointer;
  p.defPointers = values;
  p.pointers = std::move(values);
}

void PropertySet::copyFrom(const PropertySet& other) {
  if (&other == this) return;
  std::shared_lock theirs(other.lock_);
  std::unique_lock mine(lock_);
  for (const auto& [name, prop] : other.props_) props_[name] = prop;
}

bool PropertySet::has(const std::string& name) const {
  std::shared_lock lk(lock_);
  return props_.count(name) != 0;
}

std::optional<Property> PropertySet::get(const std::string& name) const {
  std::shared_lock lk(lock_);
  auto it = props_.find(name);
  if (it == props_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> PropertySet::getString(const std::string& name, int index) const {
  std::shared_lock lk(lock_);
  auto it = props_.find(name);
  if (it == props_.end() || it->second.type != PropType::String || index < 0 || index >= it->second.dimension())
    return std::nullopt;
  return it->second.strings[index];
}

std::optional<double> PropertySet::getDouble(const std::string& name, int index) const {
  std::shared_lock lk(lock_);
  auto it = props_.find(name);
  if (it == props_.end() || it->second.type != PropType::Double || index < 0 || index >= it->second.dimension())
    return std::nullopt;
  return it->second.doubles[index];
}

std::optional<int> PropertySet::getInt(const std::string& name, int index) const {
  std::shared_lock lk(lock_);
  auto it = props_.find(name);
  if (it == props_.end() || it->second.type != PropType::Int || index < 0 || index >= it->second.dimension())
    return std::nullopt;
  return it->second.ints[index];
}

std::optional<void*> PropertySet::getPointer(const std::string& name, int index) const {
  std::shared_lock lk(lock_);
  auto it = props_.find(name);
  if (it == props_.end() || it->second.type != PropType::Pointer || index < 0 || index >= it->second.dimension())
    return std::nullopt;
  return it->second.pointers[index];
}

std::vector<std::string> PropertySet::names() const {
  std::shared_lock lk(lock_);
  std::vector<std::string> out;
  for (const auto& kv : props_) out.push_back(kv.first);
  return out;
}

std::vector<PropWrite> PropertySet::writes() const {
  std::shared_lock lk(lock_);
  return writes_;
}

void PropertySet::clearWrites() {
  std::unique_lock lk(lock_);
  writes_.clear();
}

namespace {

void resizeTo(Property& p, int n) {
  switch (p.type) {
    case PropType::Pointer:
      p.pointers.resize(n, nullptr);
      break;
    case PropType::String:
      p.strings.resize(n);
      break;
    case PropType::Double:
      p.doubles.resize(n, 0.0);
      break;
    case PropType::Int:
      p.ints.resize(n, 0);
      break;
  }
}

void store(Property& p, int index, const PropValue& v) {
  switch (p.type) {
    case PropType::Pointer:
      p.pointers[index] = v.p;
      break;
    case PropType::String:
      p.strings[index] = v.s;
      break;
    case PropType::Double:
      p.doubles[index] = v.d;
      break;
    case PropType::Int:
      p.ints[index] = v.i;
      break;
  }
}

PropValue valueAt(PropType type, const void* values, int index) {
  PropValue v;
  v.type = type;
  switch (type) {
    case PropType::Pointer:
      v.p = static_cast<void* const*>(values)[index];
      break;
    case PropType::String: {
      const char* s = static_cast<const char* const*>(values)[index];
      v.s = s ? s : "";
      break;
    }
    case PropType::Double:
      v.d = static_cast<const double*>(values)[index];
      break;
    case PropType::Int:
      v.i = static_cast<const int*>(values)[index];
      break;
  }
  return v;
}

void load(const Property& p, int index, void* out, int slot) {
  switch (p.type) {
    case PropType::Pointer:
      static_cast<void**>(out)[slot] = p.pointers[index];
      break;
    case PropType::String:
      // Host-owned: valid until this property is written again.
      static_cast<char**>(out)[slot] = const_cast<char*>(p.strings[index].c_str());
      break;
    case PropType::Double:
      static_cast<double*>(out)[slot] = p.doubles[index];
      break;
    case PropType::Int:
      static_cast<int*>(out)[slot] = p.ints[index];
      break;
  }
}

}  // namespace

OfxStatus PropertySet::set(const char* name, int index, const PropValue& v) {
  if (name == nullptr) return kOfxStatErrUnknown;
  if (index < 0) return kOfxStatErrBadIndex;
  std::unique_lock lk(lock_);
  auto it = props_.find(name);
  if (it == props_.end()) {
    if (!open_) return kOfxStatErrUnknown;
    if (index != 0) return kOfxStatErrBadIndex;
    Property p;
    p.type = v.type;
    it = props_.emplace(name, std::move(p)).first;
  }
  Property& p = it->second;
  if (p.type != v.type) return kOfxStatErrValue;
  const int dim = p.dimension();
  // Writing one past the end grows a property; anything further is a bad index.
  if (index > dim) return kOfxStatErrBadIndex;
  if (index == dim) resizeTo(p, dim + 1);
  store(p, index, v);
  writes_.push_back({name, index, v});
  return kOfxStatOK;
}

OfxStatus PropertySet::setN(const char* name, int count, PropType type, const void* values) {
  if (name == nullptr) return kOfxStatErrUnknown;
  if (count < 0) return kOfxStatErrBadIndex;
  if (count > 0 && values == nullptr) return kOfxStatErrValue;
  std::unique_lock lk(lock_);
  auto it = props_.find(name);
  if (it == props_.end()) {
    if (!open_) return kOfxStatErrUnknown;
    Property p;
    p.type = type;
    it = props_.emplace(name, std::move(p)).first;
  }
  Property& p = it->second;
  if (p.type != type) return kOfxStatErrValue;
  // The N form sets the whole property: its dimension becomes count.
  resizeTo(p, count);
  for (int i = 0; i < count; ++i) {
    PropValue v = valueAt(type, values, i);
    store(p, i, v);
    writes_.push_back({name, i, std::move(v)});
  }
  return kOfxStatOK;
}

OfxStatus PropertySet::getOne(const char* name, int index, PropType type, void* out) const {
  if (name == nullptr) return kOfxStatErrUnknown;
  if (out == nullptr) return kOfxStatErrValue;
  std::shared_lock lk(lock_);
  auto it = props_.find(name);
  if (it == props_.end()) return kOfxStatErrUnknown;
  const Property& p = it->second;
  if (p.type != type) return kOfxStatErrValue;
  if (index < 0 || index >= p.dimension()) return kOfxStatErrBadIndex;
  load(p, index, out, 0);
  return kOfxStatOK;
}

OfxStatus PropertySet::getN(const char* name, int count, PropType type, void* out) const {
  if (name == nullptr) return kOfxStatErrUnknown;
  if (count > 0 && out == nullptr) return kOfxStatErrValue;
  std::shared_lock lk(lock_);
  auto it = props_.find(name);
  if (it == props_.end()) return kOfxStatErrUnknown;
  const Property& p = it->second;
  if (p.type != type) return kOfxStatErrValue;
  if (count < 0 || count > p.dimension()) return kOfxStatErrBadIndex;
  for (int i = 0; i < count; ++i) load(p, i, out, i);
  return kOfxStatOK;
}

OfxStatus PropertySet::reset(const char* name) {
  if (name == nullptr) return kOfxStatErrUnknown;
  std::unique_lock lk(lock_);
  auto it = props_.find(name);
  if (it == props_.end()) return kOfxStatErrUnknown;
  Property& p = it->second;
  p.pointers = p.defPointers;
  p.strings = p.defStrings;
  p.doubles = p.defDoubles;
  p.ints = p.defInts;
  return kOfxStatOK;
}

OfxStatus PropertySet::dimension(const char* name, int* count) const {
  if (name == nullptr) return kOfxStatErrUnknown;
  if (count == nullptr) return kOfxStatErrValue;
  std::shared_lock lk(lock_);
  auto it = props_.find(name);
  if (it == props_.end()) return kOfxStatErrUnknown;
  *count = it->second.dimension();
  return kOfxStatOK;
}

// ---------------------------------------------------------------------------------------------
// The suite: resolve the handle, trace, delegate.

namespace {

template <PropType T, typename V>
OfxStatus setOne(const char* call, OfxPropertySetHandle h, const char* name, int index, V value) {
  PropertySet* ps = PropertySet::from(h);
  Call done(ps ? ps->owner() : callingHost(), call, name ? name : "");
  if (ps == nullptr) return done(kOfxStatErrBadHandle);
  PropValue v;
  v.type = T;
  if constexpr (T == PropType::Pointer) v.p = value;
  if constexpr (T == PropType::String) v.s = value ? value : "";
  if constexpr (T == PropType::Double) v.d = value;
  if constexpr (T == PropType::Int) v.i = value;
  return done(ps->set(name, index, v));
}

template <PropType T>
OfxStatus setMany(const char* call, OfxPropertySetHandle h, const char* name, int count, const void* values) {
  PropertySet* ps = PropertySet::from(h);
  Call done(ps ? ps->owner() : callingHost(), call, name ? name : "");
  if (ps == nullptr) return done(kOfxStatErrBadHandle);
  return done(ps->setN(name, count, T, values));
}

template <PropType T>
OfxStatus getOne(const char* call, OfxPropertySetHandle h, const char* name, int index, void* out) {
  PropertySet* ps = PropertySet::from(h);
  Call done(ps ? ps->owner() : callingHost(), call, name ? name : "");
  if (ps == nullptr) return done(kOfxStatErrBadHandle);
  return done(ps->getOne(name, index, T, out));
}

template <PropType T>
OfxStatus getMany(const char* call, OfxPropertySetHandle h, const char* name, int count, void* out) {
  PropertySet* ps = PropertySet::from(h);
  Call done(ps ? ps->owner() : callingHost(), call, name ? name : "");
  if (ps == nullptr) return done(kOfxStatErrBadHandle);
  return done(ps->getN(name, count, T, out));
}

OfxStatus propSetPointer(OfxPropertySetHandle h, const char* n, int i, void* v) {
  return setOne<PropType::Pointer>("propSetPointer", h, n, i, v);
}
OfxStatus propSetString(OfxPropertySetHandle h, const char* n, int i, const char* v) {
  return setOne<PropType::String>("propSetString", h, n, i, v);
}
OfxStatus propSetDouble(OfxPropertySetHandle h, const char* n, int i, double v) {
  return setOne<PropType::Double>("propSetDouble", h, n, i, v);
}
OfxStatus propSetInt(OfxPropertySetHandle h, const char* n, int i, int v) {
  return setOne<PropType::Int>("propSetInt", h, n, i, v);
}
OfxStatus propSetPointerN(OfxPropertySetHandle h, const char* n, int c, void* const* v) {
  return setMany<PropType::Pointer>("propSetPointerN", h, n, c, v);
}
OfxStatus propSetStringN(OfxPropertySetHandle h, const char* n, int c, const char* const* v) {
  return setMany<PropType::String>("propSetStringN", h, n, c, v);
}
OfxStatus propSetDoubleN(OfxPropertySetHandle h, const char* n, int c, const double* v) {
  return setMany<PropType::Double>("propSetDoubleN", h, n, c, v);
}
OfxStatus propSetIntN(OfxPropertySetHandle h, const char* n, int c, const int* v) {
  return setMany<PropType::Int>("propSetIntN", h, n, c, v);
}
OfxStatus propGetPointer(OfxPropertySetHandle h, const char* n, int i, void** v) {
  return getOne<PropType::Pointer>("propGetPointer", h, n, i, v);
}
OfxStatus propGetString(OfxPropertySetHandle h, const char* n, int i, char** v) {
  return getOne<PropType::String>("propGetString", h, n, i, v);
}
OfxStatus propGetDouble(OfxPropertySetHandle h, const char* n, int i, double* v) {
  return getOne<PropType::Double>("propGetDouble", h, n, i, v);
}
OfxStatus propGetInt(OfxPropertySetHandle h, const char* n, int i, int* v) {
  return getOne<PropType::Int>("propGetInt", h, n, i, v);
}
OfxStatus propGetPointerN(OfxPropertySetHandle h, const char* n, int c, void** v) {
  return getMany<PropType::Pointer>("propGetPointerN", h, n, c, v);
}
OfxStatus propGetStringN(OfxPropertySetHandle h, const char* n, int c, char** v) {
  return getMany<PropType::String>("propGetStringN", h, n, c, v);
}
OfxStatus propGetDoubleN(OfxPropertySetHandle h, const char* n, int c, double* v) {
  return getMany<PropType::Double>("propGetDoubleN", h, n, c, v);
}
OfxStatus propGetIntN(OfxPropertySetHandle h, const char* n, int c, int* v) {
  return getMany<PropType::Int>("propGetIntN", h, n, c, v);
}
OfxStatus propReset(OfxPropertySetHandle h, const char* n) {
  PropertySet* ps = PropertySet::from(h);
  Call done(ps ? ps->owner() : callingHost(), "propReset", n ? n : "");
  if (ps == nullptr) return done(kOfxStatErrBadHandle);
  return done(ps->reset(n));
}
OfxStatus propGetDimension(OfxPropertySetHandle h, const char* n, int* count) {
  PropertySet* ps = PropertySet::from(h);
  Call done(ps ? ps->owner() : callingHost(), "propGetDimension", n ? n : "");
  if (ps == nullptr) return done(kOfxStatErrBadHandle);
  return done(ps->dimension(n, count));
}

}  // namespace

const OfxPropertySuiteV1 kPropertySuite = {
    propSetPointer,  propSetString,  propSetDouble,  propSetInt,    propSetPointerN, propSetStringN,
    propSetDoubleN,  propSetIntN,    propGetPointer, propGetString, propGetDouble,   propGetInt,
    propGetPointerN, propGetStringN, propGetDoubleN, propGetIntN,   propReset,       propGetDimension,
};

}  // namespace ofxhost
