// One plug-in instance driven as a compositor drives it: load, describe, describe in context,
// create instance, parameter edits and button presses inside begin/end instance changed,
// renders, destroy, unload. Everything goes through the host library and the module's two
// exported entry points.
#pragma once

#include "host/ofx_host.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

struct PluginSession {
  std::unique_ptr<ofxhost::Host> host;
  ofxhost::Effect* instance = nullptr;
  std::string path;
  std::string context;
  bool loaded = false;
  // Paths the plug-in names that stand for others: its messages are shown with the second.
  std::vector<std::pair<std::string, std::string>> aliases;
};

// Loads, describes and (when `withInstance`) creates an instance in the General context.
// Host messages are printed on stderr with their type as they arrive (only errors when quiet).
bool openSession(PluginSession& session, const std::string& pluginPath, bool withInstance, std::string& error);
// Destroys the instance and unloads; safe on a partly opened session.
void closeSession(PluginSession& session);

// A user edit: the value is set, then the instance is told inside begin/end instance changed.
bool editParam(PluginSession& session, const std::string& name, const ofxhost::ParamValue& value, double time,
               std::string& error);
// Presses a push button; fails with the plug-in's own text when it answers with an error message.
bool pressButton(PluginSession& session, const std::string& name, double time, std::string& error);

struct RenderTimes {
  double rebuild = 0.0;  // the first, one-pixel render of a frame: fetches and the table build
  double apply = 0.0;    // every other tile
};

// Renders `window` at `time` in tiles spread over `threads` threads. Images must already be
// attached to the clips. A stop request (interruptSignal()) ends it between tiles, failing.
bool renderFrame(PluginSession& session, double time, OfxRectI window, int threads, int tileSize, RenderTimes& times,
                 std::string& error);

std::string statusName(OfxStatus status);
