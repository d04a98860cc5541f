#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#include <stb/stb_image.h>
#include <stb/stb_image_resize.h>

#include "photo_loader.h"

bool loadTestPhoto(const std::string& path, int width, int height, std::vector<float>& rgb, std::string& error) {
  int w = 0, h = 0, channels = 0;
  unsigned char* pixels = stbi_load(path.c_str(), &w, &h, &channels, 3);
  rgb.assign(size_t(width) * height * 3, 0.0f);
  if (pixels == nullptr) {
    error = path + ": " + stbi_failure_reason();
    return false;
  }
  std::vector<float> full(size_t(w) * h * 3);
  for (size_t i = 0; i < full.size(); ++i) full[i] = float(pixels[i]) / 255.0f;
  stbi_image_free(pixels);
  if (!stbir_resize_float(full.data(), w, h, 0, rgb.data(), width, height, 0, 3)) {
    error = path + ": cannot be resized";
    return false;
  }
  return true;
}
