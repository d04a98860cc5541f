// One plug-in instance driven as a compositor drives it: load, describe, describe in context,
// create instance, parameter edits and button presses inside begin/end instance changed,
// renders, destroy, unload. Everything goes through the host library and the module's two
// exported entry points. Messages the plug-in posts go to the caller's callback; a render stops
// between tiles when the caller's flag asks it to.
#pragma once

#include "host/ofx_host.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

struct PluginSession {
  std::unique_ptr<ofxhost::Host> host;
  ofxhost::Effect* instance = nullptr;
  std::string path;
  std::string context;
  bool loaded = false;
};

// Called with every message the plug-in posts, as it arrives (possibly from render threads).
using MessageSink = std::function<void(const ofxhost::Message&)>;

// Loads, describes and (when `withInstance`) creates an instance in the General context.
bool openSession(PluginSession& session, const std::string& pluginPath, bool withInstance, MessageSink onMessage,
                 std::string& error);
// Destroys the instance and unloads; safe on a partly opened session.
void closeSession(PluginSession& session);

// A user edit: the value is set, then the instance is told inside begin/end instance changed.
bool editParam(PluginSession& session, const std::string& name, const ofxhost::ParamValue& value, double time,
               std::string& error);
// Presses a push button; fails with the plug-in's own text when it answers with an error message.
bool pressButton(PluginSession& session, const std::string& name, double time, std::string& error);

// A frame to render: `window` at `time`, in tiles of `tileSize` pixels spread over `threads`
// threads. Images must already be attached to the clips.
struct RenderRequest {
  double time = 0.0;
  OfxRectI window{0, 0, 0, 0};
  int threads = 1;
  int tileSize = 256;
  // When it holds anything but 0, the render ends between tiles, failing.
  const std::atomic<int>* stop = nullptr;
};

struct RenderTimes {
  double rebuild = 0.0;  // the first, one-pixel render of a frame: fetches and the table build
  double apply = 0.0;    // every other tile
};

bool renderFrame(PluginSession& session, const RenderRequest& request, RenderTimes& times, std::string& error);

// The plug-in's diagnostic lines, written straight to standard error, start with this.
constexpr const char* kDiagnosticPrefix = "Vantrel: ";
// True for a diagnostic line that reports a failure (which a quiet host still shows).
bool isFailureDiagnostic(const std::string& line);
