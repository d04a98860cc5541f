// What the tool's tests share: running the built `vantrel` as a user would, scratch folders and
// test pictures.
#pragma once

#include "imaging/image_io.h"

#include <functional>
#include <memory>

#include <string>
#include <utility>
#include <vector>

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
  // The tool's own stderr lines; the plug-in's diagnostics ("Vantrel: ...") pass through
  // and are left out.
  std::vector<std::string> errLines() const;
};

struct ScratchDir;

// A tool started and not yet waited for.
struct ToolProcess {
  int pid = -1;
  std::string outPath, errPath;
  std::shared_ptr<ScratchDir> capture;
};

// `env` entries are NAME=VALUE to set, or NAME alone to unset; OFX_PLUGIN_PATH and OCIO are
// always unset unless given, so a developer's own settings cannot change what the tests load.
ToolProcess startTool(const std::string& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& env = {}, const std::string& workingDir = "");
ToolRun waitTool(ToolProcess& process);
ToolRun runTool(const std::string& program, const std::vector<std::string>& args,
                const std::vector<std::string>& env = {}, const std::string& workingDir = "");

struct ScratchDir {
  std::string path;
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::vector<std::string> files() const;  // names in the directory, sorted
};

// The paths the build hands the tests.
std::string toolPath();    // the built vantrel
std::string pluginPath();  // the built Brenvale.ofx
std::string photoPath(const std::string& name);

// `vantrel match ARGS --plugin <the built module>`, run in the folder.
ToolRun runMatch(const ScratchDir& folder, std::vector<std::string> args, const std::vector<std::string>& env = {});

// A float RGBA picture with smooth gradients and saturated patches, values within [0, 1].
Image testPicture(int width, int height, int seed = 0);
// Writes any float image (channels 1 to 4) at `depth`, values as given (no colour encoding).
void writeRawImage(const std::string& path, const Image& image, SampleDepth depth);
Image readRawImage(const std::string& path);

// The shell block that follows the marker line in a document.
std::string documentedExample(const std::string& path, const std::string& marker);
