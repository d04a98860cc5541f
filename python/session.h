// What the Python module asks of the plug-in, in plain C++ (no Python types): the module is one
// more OpenFX host, built on the same host library and session as `vantrel`. Pictures are
// handed over as they are, with no colour conversion: the plug-in sees the values it is given.
#pragma once

#include "session/host_view.h"
#include "session/plugin_session.h"

#include "plugin_lines.h"

#include <cstddef>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace pyvantrel {

// No plug-in at the path given, or none found where the module looks.
struct PluginNotFound : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// The plug-in failed to load, refused an action or answered with an error message.
struct PluginFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A picture as a NumPy array holds it: float32, rows top down, packed; 3 or 4 channels for
// colour, 1, 3 or 4 for masks; placed at the canvas's origin.
using Pixels = ::Pixels;

// A parameter of the plug-in, by the plug-in's own name, and the value it is to have.
struct Setting {
  std::string param;
  ofxhost::ParamValue value;
  bool optional = false;  // left out when the plug-in lacks it (its value is then the default)
};

// The pictures of one render. No mask: its clip is left unconnected.
struct Pictures {
  Pixels source, reference;
  const Pixels* sourceMask = nullptr;
  const Pixels* referenceMask = nullptr;
};

// The frames of a shot the plug-in may ask for besides the one rendered, per input clip
// (Source, Reference, SourceMask, ReferenceMask): frame first + i is pictures[i], and a single
// picture serves every frame (a still). An input without pictures serves none.
struct Shot {
  int first = 0, last = -1;
  std::vector<Pixels> pictures[4];
};

// What the plug-in said since it was last asked: the messages it posted (warnings, errors, and
// messages such as "LUT saved to:") and its diagnostic lines, without their prefix.
struct News {
  std::vector<ofxhost::Message> messages;
  std::vector<std::string> lines;
};

// The plug-in binary: `explicitPath` (a .ofx file or .ofx.bundle folder) when given, else the
// first Brenvale.ofx.bundle in a folder of OFX_PLUGIN_PATH, the one installed with the module
// (PREFIX/OFX/Plugins), one in the module's folder or a folder above it (a build tree), then
// /usr/OFX/Plugins. Throws PluginNotFound.
std::string findPlugin(const std::string& explicitPath);

// One instance of the plug-in, kept from one render to the next as a host keeps it, so that its
// LUT cache works as in a host. Safe to use from several threads (one call at a time, close()
// included). While it calls the plug-in, the plug-in's diagnostic lines are kept from standard
// error (plugin_lines.h) and, with its messages, handed out by takeNews().
class Session {
 public:
  // Loads the plug-in, describes it and creates an instance (General context). `threads`: the
  // tiles of a frame rendered at once (0: one per processor).
  Session(const std::string& pluginPath, int threads);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Destroys the instance and unloads the plug-in once a call in progress has ended; every call
  // afterwards throws PluginFailure ("the session is closed"). Safe to call twice.
  void close();

  News takeNews();

  const std::string& pluginPath() const { return session_.path; }
  std::string identifier() const;
  std::string version() const;

  // Edits the parameters whose values differ (each inside begin/end instance changed), gives
  // the plug-in the pictures at `time`, tells it of each input whose picture changed since the
  // last render (as a host does when an input is reconnected or its file changes), and renders
  // the Output, the Source's size and channels, into `output`.
  void render(const std::vector<Setting>& settings, const Pictures& pictures, double time, float* output);

  // Serves the shot's frames from now on, as an application serves an effect the frames it asks
  // for, and gives every input clip the shot's frame range. The pictures must outlive the
  // session or the next setShot. The next render tells the plug-in its inputs changed.
  void setShot(const Shot& shot);

  // Sets "Save To" to `path` and presses `button` ("exportButton", "exportCDLButton"), as a user
  // would; returns the file the plug-in says it wrote. An existing folder gets a file named
  // inside it, as the plug-in names one for a path that ends in a separator.
  std::string exportFile(const std::string& button, const std::string& path);

  // The current LUT as the plug-in's .cube export holds it (the mixes baked in), lattice point
  // (r, g, b) at ((r * size + g) * size + b) * 3.
  std::vector<float> lut(int& size);

 private:
  // What a clip was last given: its size and a hash of its samples.
  struct Given {
    bool connected = false;
    int width = 0, height = 0, channels = 0;
    size_t hash = 0;
    bool operator==(const Given& o) const {
      return connected == o.connected && width == o.width && height == o.height && channels == o.channels &&
             hash == o.hash;
    }
  };
  void give(int input, const Pixels* pixels, double time, std::vector<std::string>& changed);
  // Throws when closed; called with lock_ held.
  void checkOpen() const;
  std::string exportLocked(const std::string& button, const std::string& path);
  struct Listening;

  static constexpr const char* kInputs[4] = {"Source", "Reference", "SourceMask", "ReferenceMask"};
  PluginSession session_;
  bool shotChanged_ = false;
  bool served_[4] = {};
  int threads_;
  mutable std::mutex lock_;
  bool closed_ = false;
  std::map<std::string, Given> given_;
  std::mutex newsLock_;  // messages come from render threads too
  News news_;
};

}  // namespace pyvantrel
