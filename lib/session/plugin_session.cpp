#include "session/plugin_session.h"

#include "support/stopwatch.h"
#include "support/tasks.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

namespace {

std::string timeText(double time) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", time);
  return text;
}

bool succeeded(OfxStatus status) { return status == kOfxStatOK || status == kOfxStatReplyDefault; }

bool sendChange(PluginSession& s, const std::string& type, const std::string& name, double time, std::string& error) {
  s.host->beginInstanceChanged(s.instance);
  const OfxStatus status = s.host->instanceChanged(s.instance, type, name, kOfxChangeUserEdited, time);
  s.host->endInstanceChanged(s.instance);
  if (!succeeded(status)) {
    error = "the plug-in rejected the change of '" + name + "' (" + ofxhost::statusName(status) + ")";
    return false;
  }
  return true;
}

// General is the context with every clip; Filter is the fallback every effect should offer.
std::string contextFor(ofxhost::Host& host) {
  const auto contexts = host.descriptor().props->get(kOfxImageEffectPropSupportedContexts);
  if (contexts && std::find(contexts->strings.begin(), contexts->strings.end(), kOfxImageEffectContextGeneral) ==
                      contexts->strings.end())
    return kOfxImageEffectContextFilter;
  return kOfxImageEffectContextGeneral;
}

bool createInstance(PluginSession& s, std::string& error) {
  const std::string& pluginPath = s.path;
  s.context = contextFor(*s.host);
  OfxStatus status = s.host->describeInContext(s.context);
  if (!succeeded(status)) {
    error = "plug-in '" + pluginPath + "' failed to describe the " + s.context + " context (" +
            ofxhost::statusName(status) + ")";
    return false;
  }
  ofxhost::Effect* instance = s.host->newInstance(s.context);
  if (!instance) {
    error = "plug-in '" + pluginPath + "': cannot make an instance: " + s.host->error();
    return false;
  }
  status = s.host->createInstance(instance);
  if (!succeeded(status)) {
    error = "plug-in '" + pluginPath + "' failed to create an instance (" + ofxhost::statusName(status) + ")";
    return false;
  }
  s.instance = instance;
  return true;
}

// The window in tiles, rows from the bottom.
std::vector<OfxRectI> tilesOf(const OfxRectI& window, int tileSize) {
  std::vector<OfxRectI> tiles;
  for (long long y = window.y1; y < window.y2; y += tileSize)
    for (long long x = window.x1; x < window.x2; x += tileSize)
      tiles.push_back({int(x), int(y), int(std::min<long long>(window.x2, x + tileSize)),
                       int(std::min<long long>(window.y2, y + tileSize))});
  return tiles;
}

}  // namespace

bool openSession(PluginSession& s, const std::string& pluginPath, bool withInstance, MessageSink onMessage,
                 std::string& error) {
  s.path = pluginPath;
  s.host = std::make_unique<ofxhost::Host>();
  s.host->onMessage = std::move(onMessage);
  if (!s.host->open(pluginPath)) {
    error = "cannot load plug-in '" + pluginPath + "': " + s.host->error();
    return false;
  }
  OfxStatus status = s.host->load();
  if (!succeeded(status)) {
    error = "plug-in '" + pluginPath + "' failed to load (" + ofxhost::statusName(status) + ")";
    return false;
  }
  s.loaded = true;
  status = s.host->describe();
  if (!succeeded(status)) {
    error = "plug-in '" + pluginPath + "' failed to describe itself (" + ofxhost::statusName(status) + ")";
    return false;
  }
  return !withInstance || createInstance(s, error);
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

bool renderFrame(PluginSession& s, const RenderRequest& request, RenderTimes& times, std::string& error) {
  const OfxRectI& window = request.window;
  if (window.x2 <= window.x1 || window.y2 <= window.y1) return true;
  // One pixel first: the table is built once, alone, and the tiles that follow only apply it.
  auto start = SteadyClock::now();
  OfxStatus status =
      s.host->render(s.instance, request.time, OfxRectI{window.x1, window.y1, window.x1 + 1, window.y1 + 1});
  times.rebuild += secondsSince(start);
  if (status != kOfxStatOK) {
    error = "render at time " + timeText(request.time) + " failed (" + ofxhost::statusName(status) + ")";
    return false;
  }

  const std::vector<OfxRectI> tiles = tilesOf(window, request.tileSize);
  auto stopped = [&] { return request.stop && request.stop->load() != 0; };
  start = SteadyClock::now();
  std::atomic<OfxStatus> failure{kOfxStatOK};
  shareTasks(tiles.size(), request.threads, [&](size_t tile, int) {
    if (failure != kOfxStatOK || stopped()) return;
    const OfxStatus st = s.host->render(s.instance, request.time, tiles[tile]);
    if (st != kOfxStatOK) {
      OfxStatus expected = kOfxStatOK;
      failure.compare_exchange_strong(expected, st);
    }
  });
  times.apply += secondsSince(start);
  if (stopped()) {
    error = "the render was stopped";
    return false;
  }
  if (failure != kOfxStatOK) {
    error = "render at time " + timeText(request.time) + " failed (" + ofxhost::statusName(failure) + ")";
    return false;
  }
  return true;
}

bool isFailureDiagnostic(const std::string& line) {
  std::string lower = line;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  for (const char* word : {"fail", "refused", "unsupported", "invalid image", "memory", "without the match"})
    if (lower.find(word) != std::string::npos) return true;
  return false;
}
