#include "session.h"

#include "session/plugin_path.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <thread>

namespace pyvantrel {

namespace {

// The folder of the module's own shared library.
std::string moduleDirectory() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&findPlugin), &info) == 0 || !info.dli_fname) return "";
  std::error_code ignored;
  return std::filesystem::weakly_canonical(info.dli_fname, ignored).parent_path().string();
}

size_t hashOf(const Pixels& pixels) {
  const size_t bytes = size_t(pixels.width) * size_t(pixels.height) * size_t(pixels.channels) * sizeof(float);
  return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(pixels.data), bytes));
}

// The lattice of a .cube file (red fastest in the file), red slowest in the result.
std::vector<float> readCube(const std::string& path, int& size) {
  std::ifstream in(path);
  std::string line;
  size = 0;
  std::vector<float> file;
  while (std::getline(in, line)) {
    if (line.rfind("LUT_3D_SIZE", 0) == 0) {
      size = std::atoi(line.c_str() + 11);
      continue;
    }
    if (line.empty() || line[0] == '#' || !(std::isdigit((unsigned char)line[0]) || line[0] == '-')) continue;
    std::istringstream values(line);
    float r, g, b;
    if (!(values >> r >> g >> b)) throw PluginFailure("the plug-in's .cube export has a bad line: " + line);
    file.insert(file.end(), {r, g, b});
  }
  const size_t n = size_t(size);
  if (size < 2 || size > 1024 || file.size() != n * n * n * 3)
    throw PluginFailure("the plug-in's .cube export holds no " + std::to_string(size) + "-point lattice");
  std::vector<float> lattice(file.size());
  for (size_t i = 0; i < n * n * n; ++i) {
    const size_t r = i % n, g = i / n % n, b = i / (n * n);
    std::memcpy(&lattice[((r * n + g) * n + b) * 3], &file[i * 3], 3 * sizeof(float));
  }
  return lattice;
}

}  // namespace

std::string findPlugin(const std::string& explicitPath) {
  std::string found, error;
  if (!explicitPath.empty()) {
    if (::findPlugin(explicitPath, nullptr, "", found, error)) return found;
    throw PluginNotFound("plugin='" + explicitPath + "': no such plug-in file (.ofx) or bundle (.ofx.bundle)");
  }
  const std::string dir = moduleDirectory();
  const std::string installed = dir.empty() ? "" : dir + "/" VANTREL_PLUGINS_FROM_MODULE;
  if (searchPlugin(std::getenv("OFX_PLUGIN_PATH"), installed, dir, found)) return found;
  throw PluginNotFound(
      "the Brenvale.ofx plug-in was not found: no Brenvale.ofx.bundle on OFX_PLUGIN_PATH, in the OFX/Plugins "
      "folder installed with the module, in or above the module's folder, or in /usr/OFX/Plugins (give "
      "plugin='/path/to/Brenvale.ofx.bundle')");
}

// The plug-in's diagnostic lines of one call, kept with its news.
struct Session::Listening {
  Session& session;
  LineCapture capture;
  explicit Listening(Session& s) : session(s) {}
  ~Listening() {
    std::vector<std::string> lines = capture.finish();
    std::lock_guard<std::mutex> hold(session.newsLock_);
    session.news_.lines.insert(session.news_.lines.end(), lines.begin(), lines.end());
  }
};

Session::Session(const std::string& pluginPath, int threads)
    : threads_(threads > 0 ? threads : int(std::max(1u, std::thread::hardware_concurrency()))) {
  std::string error;
  const MessageSink keep = [this](const ofxhost::Message& message) {
    std::lock_guard<std::mutex> hold(newsLock_);
    news_.messages.push_back(message);
  };
  Listening listening(*this);
  if (!openSession(session_, pluginPath, true, keep, error)) {
    closeSession(session_);
    throw PluginFailure(error);
  }
}

Session::~Session() { close(); }

void Session::close() {
  std::lock_guard<std::mutex> hold(lock_);
  if (closed_) return;
  Listening listening(*this);
  closeSession(session_);
  closed_ = true;
}

void Session::checkOpen() const {
  if (closed_) throw PluginFailure("the session is closed");
}

News Session::takeNews() {
  News news;
  std::lock_guard<std::mutex> hold(newsLock_);
  std::swap(news, news_);
  return news;
}

std::string Session::identifier() const {
  std::lock_guard<std::mutex> hold(lock_);
  checkOpen();
  const OfxPlugin* plugin = session_.host->plugin();
  return plugin && plugin->pluginIdentifier ? plugin->pluginIdentifier : "";
}

std::string Session::version() const {
  std::lock_guard<std::mutex> hold(lock_);
  checkOpen();
  const OfxPlugin* plugin = session_.host->plugin();
  return plugin ? std::to_string(plugin->pluginVersionMajor) + "." + std::to_string(plugin->pluginVersionMinor) : "";
}

void Session::give(int input, const Pixels* pixels, double time, std::vector<std::string>& changed) {
  const std::string clip = kInputs[input];
  Given now;
  ofxhost::Host& host = *session_.host;
  host.detachImages(session_.instance, clip);
  if (pixels) {
    now = {true, pixels->width, pixels->height, pixels->channels, hashOf(*pixels)};
    host.attachImage(session_.instance, clip, hostView(*pixels), time);
  } else {
    // A mask of the shot's frames keeps its clip connected: it serves the other frames.
    host.setClipConnected(session_.instance, clip, served_[input]);
  }
  auto last = given_.find(clip);
  if (last == given_.end() ? now.connected : !(last->second == now)) changed.push_back(clip);
  given_[clip] = now;
}

void Session::setShot(const Shot& shot) {
  std::lock_guard<std::mutex> hold(lock_);
  checkOpen();
  ofxhost::Host& host = *session_.host;
  for (int input = 0; input < 4; ++input) {
    host.setClipFrameRange(session_.instance, kInputs[input], shot.first, shot.last);
    const std::vector<Pixels>& pictures = shot.pictures[input];
    served_[input] = !pictures.empty();
    if (pictures.empty()) {
      host.setImageSource(session_.instance, kInputs[input], nullptr);
      continue;
    }
    const int first = shot.first, last = shot.last;
    const ofxhost::Components components = hostView(pictures.front())->components;
    host.setImageSource(
        session_.instance, kInputs[input],
        [pictures, first, last](double time, bool) -> std::shared_ptr<ofxhost::Image> {
          if (!(time >= first && time <= last) || time != std::floor(time)) return nullptr;
          return hostView(pictures.size() == 1 ? pictures.front() : pictures[size_t(time - first)]);
        },
        ofxhost::PixelDepth::Float, components);
  }
  shotChanged_ = true;
}

void Session::render(const std::vector<Setting>& settings, const Pictures& pictures, double time, float* output) {
  std::lock_guard<std::mutex> hold(lock_);
  checkOpen();
  Listening listening(*this);
  std::string error;
  ofxhost::Host& host = *session_.host;
  for (const Setting& setting : settings) {
    const auto current = host.paramValue(session_.instance, setting.param);
    if (!current && setting.optional) continue;
    if (!current) throw PluginFailure("the plug-in has no parameter '" + setting.param + "'");
    if (!(*current == setting.value) && !editParam(session_, setting.param, setting.value, time, error))
      throw PluginFailure(error);
  }
  std::vector<std::string> changed;
  give(0, &pictures.source, time, changed);
  give(1, &pictures.reference, time, changed);
  give(2, pictures.sourceMask, time, changed);
  give(3, pictures.referenceMask, time, changed);
  // New frames of the shot: every input may have changed at any frame.
  for (int input = 0; input < 4 && shotChanged_; ++input)
    if ((input < 2 || served_[input]) && std::find(changed.begin(), changed.end(), kInputs[input]) == changed.end())
      changed.push_back(kInputs[input]);
  shotChanged_ = false;
  for (const std::string& clip : changed) {
    host.beginInstanceChanged(session_.instance);
    host.instanceChanged(session_.instance, kOfxTypeClip, clip, kOfxChangeUserEdited, time);
    host.endInstanceChanged(session_.instance);
  }

  Pixels out = pictures.source;
  out.data = output;
  std::memset(output, 0, size_t(out.width) * size_t(out.height) * size_t(out.channels) * sizeof(float));
  host.detachImages(session_.instance, "Output");
  host.attachImage(session_.instance, "Output", hostView(out), time);
  RenderRequest request;
  request.time = time;
  request.window = {0, 0, out.width, out.height};
  request.threads = threads_;
  RenderTimes times;
  const bool rendered = renderFrame(session_, request, times, error);
  // The caller's arrays go back to it: the host keeps no pointer into them (the shot's frames
  // are the module's to keep).
  for (const char* clip : {"Source", "Reference", "SourceMask", "ReferenceMask", "Output"})
    host.detachImages(session_.instance, clip);
  if (!rendered) throw PluginFailure(error);
}

std::string Session::exportFile(const std::string& button, const std::string& path) {
  std::lock_guard<std::mutex> hold(lock_);
  checkOpen();
  Listening listening(*this);
  std::error_code ec;
  const bool folder = !path.empty() && path.back() != '/' && std::filesystem::is_directory(path, ec);
  return exportLocked(button, folder ? path + "/" : path);
}

std::string Session::exportLocked(const std::string& button, const std::string& path) {
  std::string error;
  ofxhost::ParamValue value;
  value.str = path;
  if (!editParam(session_, "exportPath", value, 0.0, error)) throw PluginFailure(error);
  const size_t before = session_.host->messages().size();
  if (!pressButton(session_, button, 0.0, error)) throw PluginFailure(error);
  // "LUT saved to:\nPATH", "CDL saved to:\nPATH": the plug-in may have added the extension.
  const std::vector<ofxhost::Message> messages = session_.host->messages();
  for (size_t i = messages.size(); i-- > before;) {
    const size_t at = messages[i].text.find("saved to:\n");
    if (messages[i].type == kOfxMessageMessage && at != std::string::npos) return messages[i].text.substr(at + 10);
  }
  throw PluginFailure("the plug-in did not say where it saved the file");
}

std::vector<float> Session::lut(int& size) {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/vantrel-lut-XXXXXX";
  if (!mkdtemp(dir.data())) throw PluginFailure("cannot make a folder under " + dir + ": " + std::strerror(errno));
  struct Cleanup {
    std::string dir;
    ~Cleanup() {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  } cleanup{dir};
  std::string written;
  {
    // "Save To" is the user's: it gets its value back, within the same hold of the lock, so that
    // no other call sees or leaves the temporary value.
    std::lock_guard<std::mutex> hold(lock_);
    checkOpen();
    Listening listening(*this);
    const auto saveTo = session_.host->paramValue(session_.instance, "exportPath");
    struct Restore {
      PluginSession& session;
      const std::optional<ofxhost::ParamValue>& value;
      ~Restore() {
        std::string error;
        if (value) editParam(session, "exportPath", *value, 0.0, error);
      }
    } restore{session_, saveTo};
    written = exportLocked("exportButton", dir + "/lut.cube");
  }
  return readCube(written, size);
}

}  // namespace pyvantrel
