#include "support/paths.h"

#include <filesystem>

std::string folderOf(const std::string& path) {
  std::string folder = std::filesystem::path(path).remove_filename().string();
  if (folder.empty()) return ".";
  if (folder.size() > 1) folder.pop_back();  // the separator before the name
  return folder;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}
