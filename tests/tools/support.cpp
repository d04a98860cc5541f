#include "support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::vector<std::string> ToolRun::errLines() const {
  std::vector<std::string> lines;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("Vantrel: ", 0) != 0) lines.push_back(line);
  return lines;
}

ToolProcess startTool(const std::string& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& env, const std::string& workingDir) {
  ToolProcess process;
  process.capture = std::make_shared<ScratchDir>();
  const std::string outPath = *process.capture / "stdout", errPath = *process.capture / "stderr";
  process.outPath = outPath;
  process.errPath = errPath;
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    unsetenv("OFX_PLUGIN_PATH");
    unsetenv("OCIO");
    for (const std::string& e : env) {
      const size_t eq = e.find('=');
      if (eq == std::string::npos)
        unsetenv(e.c_str());
      else
        setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    if (!workingDir.empty() && chdir(workingDir.c_str()) != 0) _exit(127);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  process.pid = pid;
  return process;
}

ToolRun waitTool(ToolProcess& process) {
  ToolRun run;
  int status = 0;
  // A killed child is told apart from one that exited with 128 + N: only the latter is the tool's doing.
  if (process.pid > 0 && waitpid(process.pid, &status, 0) == process.pid)
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  process.pid = -1;
  run.out = slurp(process.outPath);
  run.err = slurp(process.errPath);
  return run;
}

ToolRun runTool(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
                const std::string& workingDir) {
  ToolProcess process = startTool(program, args, env, workingDir);
  return waitTool(process);
}

ScratchDir::ScratchDir() {
  char pattern[] = "/tmp/vantrel-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  path = made ? made : "";
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

std::vector<std::string> ScratchDir::files() const {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(path)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string toolPath() { return VANTREL_TOOL; }
std::string pluginPath() { return VANTREL_PLUGIN; }

ToolRun runMatch(const ScratchDir& folder, std::vector<std::string> args, const std::vector<std::string>& env) {
  args.insert(args.begin(), "match");
  args.insert(args.end(), {"--plugin", pluginPath()});
  return runTool(toolPath(), args, env, folder.path);
}
std::string photoPath(const std::string& name) { return std::string(VANTREL_PHOTOS) + "/" + name; }

Image testPicture(int width, int height, int seed) {
  Image image;
  image.width = width;
  image.height = height;
  image.depth = SampleDepth::Float;
  image.pixels.resize(size_t(width) * size_t(height) * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      float* p = &image.pixels[(size_t(y) * size_t(width) + size_t(x)) * 4];
      const float u = (x + 0.5f) / float(width), v = (y + 0.5f) / float(height);
      p[0] = 0.5f + 0.45f * std::sin(6.0f * u + 2.0f * v + float(seed));
      p[1] = 0.5f + 0.45f * std::sin(5.0f * v - 3.0f * u + 1.0f + float(seed));
      p[2] = 0.5f + 0.45f * std::cos(4.0f * u * v + 2.0f * u - float(seed));
      p[3] = 1.0f;
    }
  }
  return image;
}

void writeRawImage(const std::string& path, const Image& image, SampleDepth depth) {
  const OIIO::TypeDesc type = depth == SampleDepth::UInt8    ? OIIO::TypeDesc::UINT8
                              : depth == SampleDepth::UInt16 ? OIIO::TypeDesc::UINT16
                              : depth == SampleDepth::Half   ? OIIO::TypeDesc::HALF
                                                             : OIIO::TypeDesc::FLOAT;
  auto out = OIIO::ImageOutput::create(path);
  OIIO::ImageSpec layout(image.width, image.height, image.channels, type);
  if (out && out->open(path, layout)) {
    out->write_image(OIIO::TypeDesc::FLOAT, image.pixels.data());
    out->close();
  }
}

Image readRawImage(const std::string& path) {
  Image image;
  auto in = OIIO::ImageInput::open(path);
  if (!in) return image;
  image.width = in->spec().width;
  image.height = in->spec().height;
  image.channels = in->spec().nchannels;
  image.pixels.resize(size_t(image.width) * size_t(image.height) * size_t(image.channels));
  in->read_image(0, 0, 0, image.channels, OIIO::TypeDesc::FLOAT, image.pixels.data());
  return image;
}

std::string documentedExample(const std::string& path, const std::string& marker) {
  std::ifstream in(path);
  std::string line, block;
  bool seen = false, inside = false;
  while (std::getline(in, line)) {
    if (!seen) {
      seen = line == marker;
    } else if (!inside) {
      inside = line.rfind("```", 0) == 0;
    } else if (line.rfind("```", 0) == 0) {
      break;
    } else {
      block += line + "\n";
    }
  }
  return block;
}
