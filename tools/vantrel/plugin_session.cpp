#include "plugin_session.h"

#include "console.h"
#include "interrupt.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace {

std::string timeText(double time) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", time);
  return text;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void printMessage(const PluginSession& s, const ofxhost::Message& message) {
  if (verbosity() == Verbosity::Quiet && message.type != kOfxMessageError) return;
  std::string text = message.text;
  std::replace(text.begin(), text.end(), '\n', ' ');
  for (const auto& [from, to] : s.aliases)
    for (size_t at = text.find(from); !from.empty() && at != std::string::npos; at = text.find(from, at + to.size()))
      text.replace(at, from.size(), to);
  std::fprintf(stderr, "%svantrel: plug-in %s: %s\n", lineStart(), message.type.c_str(), text.c_str());
  std::fflush(stderr);
}

bool sendChange(PluginSession& s, const std::string& type, const std::string& name, double time, std::string& error) {
  s.host->beginInstanceChanged(s.instance);
  const OfxStatus status = s.host->instanceChanged(s.instance, type, name, kOfxChangeUserEdited, time);
  s.host->endInstanceChanged(s.instance);
  if (status != kOfxStatOK && status != kOfxStatReplyDefault) {
    error = "the plug-in rejected the change of '" + name + "' (" + statusName(status) + ")";
    return false;
  }
  return true;
}

}  // namespace

std::string statusName(OfxStatus status) {
  static const char* const names[] = {"kOfxStatOK",
                                      "kOfxStatFailed",
                                      "kOfxStatErrFatal",
                                      "kOfxStatErrUnknown",
                                      "kOfxStatErrMissingHostFeature",
                                      "kOfxStatErrUnsupported",
                                      "kOfxStatErrExists",
                                      "kOfxStatErrFormat",
                                      "kOfxStatErrMemory",
                                      "kOfxStatErrBadHandle",
                                      "kOfxStatErrBadIndex",
                                      "kOfxStatErrValue",
                                      "kOfxStatReplyYes",
                                      "kOfxStatReplyNo",
                                      "kOfxStatReplyDefault"};
  if (status >= 0 && status <= 14) return std::string(names[status]) + " " + std::to_string(status);
  return "status " + std::to_string(status);
}

bool openSession(PluginSession& s, const std::string& pluginPath, bool withInstance, std::string& error) {
  s.path = pluginPath;
  s.host = std::make_unique<ofxhost::Host>();
  s.host->onMessage = [&s](const ofxhost::Message& message) { printMessage(s, message); };
  if (!s.host->open(pluginPath)) {
    error = "cannot load plug-in '" + pluginPath + "': " + s.host->error();
    return false;
  }
  OfxStatus status = s.host->load();
  if (status != kOfxStatOK && status != kOfxStatReplyDefault) {
    error = "plug-in '" + pluginPath + "' failed to load (" + statusName(status) + ")";
    return false;
  }
  s.loaded = true;
  status = s.host->describe();
  if (status != kOfxStatOK && status != kOfxStatReplyDefault) {
    error = "plug-in '" + pluginPath + "' failed to describe itself (" + statusName(status) + ")";
    return false;
  }
  if (!withInstance) return true;
  // General is the context with every clip; Filter is the fallback every effect should offer.
  s.context = kOfxImageEffectContextGeneral;
  const auto contexts = s.host->descriptor().props->get(kOfxImageEffectPropSupportedContexts);
  if (contexts && std::find(contexts->strings.begin(), contexts->strings.end(), s.context) == contexts->strings.end())
    s.context = kOfxImageEffectContextFilter;
  status = s.host->describeInContext(s.context);
  if (status != kOfxStatOK && status != kOfxStatReplyDefault) {
    error =
        "plug-in '" + pluginPath + "' failed to describe the " + s.context + " context (" + statusName(status) + ")";
    return false;
  }
  ofxhost::Effect* instance = s.host->newInstance(s.context);
  if (!instance) {
    error = "plug-in '" + pluginPath + "': cannot make an instance: " + s.host->error();
    return false;
  }
  status = s.host->createInstance(instance);
  if (status != kOfxStatOK && status != kOfxStatReplyDefault) {
    error = "plug-in '" + pluginPath + "' failed to create an instance (" + statusName(status) + ")";
    return false;
  }
  s.instance = instance;
  return true;
}

void closeSession(PluginSession& s) {
  if (!s.host) return;
  if (s.instance) s.host->destroyInstance(s.instance);
  s.instance = nullptr;
  if (s.loaded) s.host->unload();
  s.loaded = false;
}

bool editParam(PluginSession& s, const std::string& name, const ofxhost::ParamValue& value, double time,
               std::string& error) {
  if (!s.host->setParam(s.instance, name, value)) {
    error = "the plug-in has no parameter '" + name + "'";
    return false;
  }
  return sendChange(s, kOfxTypeParameter, name, time, error);
}

bool pressButton(PluginSession& s, const std::string& name, double time, std::string& error) {
  if (!s.instance->param(name)) {
    error = "the plug-in has no button '" + name + "'";
    return false;
  }
  const size_t before = s.host->messages().size();
  if (!sendChange(s, kOfxTypeParameter, name, time, error)) return false;
  const std::vector<ofxhost::Message> messages = s.host->messages();
  for (size_t i = before; i < messages.size(); ++i) {
    if (messages[i].type == kOfxMessageError) {
      std::string text = messages[i].text;
      std::replace(text.begin(), text.end(), '\n', ' ');
      error = text;
      return false;
    }
  }
  return true;
}

bool renderFrame(PluginSession& s, double time, OfxRectI window, int threads, int tileSize, RenderTimes& times,
                 std::string& error) {
  if (window.x2 <= window.x1 || window.y2 <= window.y1) return true;
  // One pixel first: the table is built once, alone, and the tiles that follow only apply it.
  auto start = std::chrono::steady_clock::now();
  OfxStatus status = s.host->render(s.instance, time, OfxRectI{window.x1, window.y1, window.x1 + 1, window.y1 + 1});
  times.rebuild += secondsSince(start);
  if (status != kOfxStatOK) {
    error = "render at time " + timeText(time) + " failed (" + statusName(status) + ")";
    return false;
  }

  std::vector<OfxRectI> tiles;
  for (long long y = window.y1; y < window.y2; y += tileSize)
    for (long long x = window.x1; x < window.x2; x += tileSize)
      tiles.push_back({int(x), int(y), int(std::min<long long>(window.x2, x + tileSize)),
                       int(std::min<long long>(window.y2, y + tileSize))});

  start = std::chrono::steady_clock::now();
  std::atomic<size_t> next{0};
  std::atomic<OfxStatus> failure{kOfxStatOK};
  auto worker = [&] {
    for (size_t i = next++; i < tiles.size() && failure == kOfxStatOK && !interruptSignal(); i = next++) {
      const OfxStatus st = s.host->render(s.instance, time, tiles[i]);
      if (st != kOfxStatOK) {
        OfxStatus expected = kOfxStatOK;
        failure.compare_exchange_strong(expected, st);
      }
    }
  };
  const int count = std::max(1, std::min<int>(threads, int(tiles.size())));
  std::vector<std::thread> pool;
  for (int i = 1; i < count; ++i) pool.emplace_back(worker);
  worker();
  for (std::thread& t : pool) t.join();
  times.apply += secondsSince(start);
  if (interruptSignal()) {
    error = std::string("interrupted by ") + signalName(interruptSignal());
    return false;
  }
  if (failure != kOfxStatOK) {
    error = "render at time " + timeText(time) + " failed (" + statusName(failure) + ")";
    return false;
  }
  return true;
}
