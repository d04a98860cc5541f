// Helpers shared by the export tests: scratch directories, file contents and small lattices.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine.h"

// A fresh directory under the system temporary folder, removed with its contents.
class ScratchDir {
 public:
  ScratchDir() {
#ifdef _WIN32
    // A new folder; create_directory is false for one that exists.
    std::random_device seed;
    std::error_code error;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const auto candidate = std::filesystem::temp_directory_path() / ("vantrel-export-" + std::to_string(seed()));
      if (std::filesystem::create_directory(candidate, error)) path_ = candidate.string();
    }
#else
    std::string pattern = (std::filesystem::temp_directory_path() / "vantrel-export-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) ? pattern : std::string();
#endif
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Names of every entry, so tests can see that no temporary file was left behind.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path_)) names.push_back(e.path().filename().string());
    return names;
  }

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A lattice with storage of its own; fill it through at(r, g, b).
struct TestLut {
  explicit TestLut(int32_t size) : values(size_t(size) * size * size * 3), lut{values.data(), size, true} {}
  float* at(int32_t r, int32_t g, int32_t b) {
    return values.data() + ((int64_t(r) * lut.size + g) * lut.size + b) * 3;
  }
  template <class F>
  void fill(F f) {
    const float d = float(lut.size - 1);
    for (int32_t r = 0; r < lut.size; ++r)
      for (int32_t g = 0; g < lut.size; ++g)
        for (int32_t b = 0; b < lut.size; ++b) f(float(r) / d, float(g) / d, float(b) / d, at(r, g, b));
  }
  std::vector<float> values;
  LUT3D lut;
};
