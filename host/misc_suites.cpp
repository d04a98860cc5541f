// Memory, message and multi-thread suites.
#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "ofx_host.h"
#include "suites.h"

namespace ofxhost {

namespace {

// Blocks handed out by memoryAlloc, with the host that gave each out: memoryFree carries no
// handle, so this is how a free finds its block's host.
std::mutex gAllocLock;
std::unordered_map<void*, Host*> gAllocations;

OfxStatus memoryAlloc(void*, size_t n, void** out) {
  Host* host = callingHost();
  Call done(host, "memoryAlloc", std::to_string(n));
  if (out == nullptr) return done(kOfxStatErrValue);
  *out = nullptr;
  if (host == nullptr) return done(kOfxStatErrMemory);
  return done(HostAccess::allocate(*host, n, out));
}

OfxStatus memoryFree(void* p) {
  Host* host = callingHost();
  Call done(host, "memoryFree", "");
  Host* owner = nullptr;
  {
    std::lock_guard lk(gAllocLock);
    auto it = gAllocations.find(p);
    if (it != gAllocations.end()) {
      owner = it->second;
      gAllocations.erase(it);
    }
  }
  if (owner == nullptr) {
    if (host) HostAccess::noteBadFree(*host);
    return done(kOfxStatErrBadHandle);
  }
  std::free(p);
  return done(kOfxStatOK);
}

OfxStatus message(void* handle, const char* type, const char* id, const char* format, ...) {
  Host* host = callingHost();
  if (handle != nullptr) {
    Effect* e = Effect::from(static_cast<OfxImageEffectHandle>(handle));
    if (e) host = e->owner;
  }
  Call done(host, "message", type ? type : "");
  if (format == nullptr) return done(kOfxStatErrValue);
  Message m;
  m.handle = handle;
  m.type = type ? type : "";
  if (id) m.id = id;
  va_list ap, ap2;
  va_start(ap, format);
  va_copy(ap2, ap);
  const int n = std::vsnprintf(nullptr, 0, format, ap);
  va_end(ap);
  if (n > 0) {
    m.text.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(m.text.data(), m.text.size(), format, ap2);
    m.text.resize(static_cast<size_t>(n));
  }
  va_end(ap2);
  if (n < 0) return done(kOfxStatErrFormat);
  if (host) HostAccess::addMessage(*host, std::move(m));
  return kOfxStatOK;
}

// Multi-thread suite: real threads, and every call counted.
thread_local unsigned tThreadIndex = 0;
thread_local bool tSpawned = false;

void countCall(const char* call) {
  Host* host = callingHost();
  Call(host, call, "");
  if (host) HostAccess::noteMultiThreadCall(*host);
}

unsigned cpuCount() {
  unsigned n = std::thread::hardware_concurrency();
  return n ? n : 1;
}

// Runs func once for every index below nThreads, on at most one worker per CPU, each call
// seeing its own index through multiThreadIndex.
OfxStatus multiThread(OfxThreadFunctionV1 func, unsigned nThreads, void* arg) {
  countCall("multiThread");
  if (func == nullptr) return kOfxStatErrValue;
  if (nThreads == 0) nThreads = cpuCount();
  if (nThreads == 1 || tSpawned) {
    // Nested calls run inline, as hosts do.
    const unsigned outer = tThreadIndex;
    for (unsigned i = 0; i < nThreads; ++i) {
      tThreadIndex = i;
      func(i, nThreads, arg);
    }
    tThreadIndex = outer;
    return kOfxStatOK;
  }
  std::atomic<unsigned> next{0};
  Host* caller = callingHost();
  auto work = [&] {
    tSpawned = true;
    ScopedCallingHost calling(caller);
    for (unsigned i = next++; i < nThreads; i = next++) {
      tThreadIndex = i;
      func(i, nThreads, arg);
    }
  };
  std::vector<std::thread> workers;
  const unsigned count = std::min(nThreads, cpuCount());
  try {
    for (unsigned w = 0; w < count; ++w) workers.emplace_back(work);
  } catch (...) {
    // Fewer threads than asked: the ones running share the remaining indices.
    if (workers.empty()) return kOfxStatFailed;
  }
  for (auto& t : workers) t.join();
  return kOfxStatOK;
}

OfxStatus multiThreadNumCPUs(unsigned* n) {
  countCall("multiThreadNumCPUs");
  if (n == nullptr) return kOfxStatErrValue;
  *n = cpuCount();
  return kOfxStatOK;
}

OfxStatus multiThreadIndex(unsigned* index) {
  countCall("multiThreadIndex");
  if (index == nullptr) return kOfxStatErrValue;
  *index = tThreadIndex;
  return kOfxStatOK;
}

int multiThreadIsSpawnedThread() {
  countCall("multiThreadIsSpawnedThread");
  return tSpawned ? 1 : 0;
}

struct Mutex {
  std::recursive_mutex m;
};

OfxStatus mutexCreate(OfxMutexHandle* out, int lockCount) {
  countCall("mutexCreate");
  if (out == nullptr) return kOfxStatErrValue;
  auto* mx = new Mutex;
  for (int i = 0; i < lockCount; ++i) mx->m.lock();
  *out = reinterpret_cast<OfxMutexHandle>(mx);
  return kOfxStatOK;
}

OfxStatus mutexDestroy(const OfxMutexHandle h) {
  countCall("mutexDestroy");
  if (h == nullptr) return kOfxStatErrBadHandle;
  delete reinterpret_cast<Mutex*>(h);
  return kOfxStatOK;
}

OfxStatus mutexLock(const OfxMutexHandle h) {
  countCall("mutexLock");
  if (h == nullptr) return kOfxStatErrBadHandle;
  reinterpret_cast<Mutex*>(h)->m.lock();
  return kOfxStatOK;
}

OfxStatus mutexUnLock(const OfxMutexHandle h) {
  countCall("mutexUnLock");
  if (h == nullptr) return kOfxStatErrBadHandle;
  reinterpret_cast<Mutex*>(h)->m.unlock();
  return kOfxStatOK;
}

OfxStatus mutexTryLock(const OfxMutexHandle h) {
  countCall("mutexTryLock");
  if (h == nullptr) return kOfxStatErrBadHandle;
  return reinterpret_cast<Mutex*>(h)->m.try_lock() ? kOfxStatOK : kOfxStatFailed;
}

}  // namespace

const OfxMemorySuiteV1 kMemorySuite = {memoryAlloc, memoryFree};
const OfxMessageSuiteV1 kMessageSuite = {message};
const OfxMultiThreadSuiteV1 kMultiThreadSuite = {
    multiThread, multiThreadNumCPUs, multiThreadIndex, multiThreadIsSpawnedThread, mutexCreate, mutexDestroy,
    mutexLock,   mutexUnLock,        mutexTryLock,
};

// Blocks are filled with a non-zero pattern so that a plug-in relying on zeroed memory shows it.
OfxStatus Host::allocate(size_t n, void** out) {
  *out = nullptr;
  if (hooks_) {
    if (hooks_->failAllocAlways) return kOfxStatErrMemory;
    int left = hooks_->failAllocNext.load();
    while (left > 0) {
      if (hooks_->failAllocNext.compare_exchange_weak(left, left - 1)) return kOfxStatErrMemory;
    }
  }
  void* p = std::malloc(n ? n : 1);
  if (p == nullptr) return kOfxStatErrMemory;
  std::memset(p, 0xA5, n);
  {
    std::lock_guard lk(gAllocLock);
    gAllocations[p] = this;
  }
  *out = p;
  return kOfxStatOK;
}

int Host::liveAllocations() const {
  std::lock_guard lk(gAllocLock);
  int n = 0;
  for (const auto& kv : gAllocations)
    if (kv.second == this) ++n;
  return n;
}

// Blocks the plug-in never freed go with their host.
void releaseAllocationsOf(Host* host) {
  std::lock_guard lk(gAllocLock);
  for (auto it = gAllocations.begin(); it != gAllocations.end();) {
    if (it->second == host) {
      std::free(it->first);
      it = gAllocations.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace ofxhost
