// Paths as the tool names its files in messages.
#pragma once

#include <string>

// The folder a path names its file in, as written: "." for a bare name, "/" at the root.
std::string folderOf(const std::string& path);

bool endsWith(const std::string& text, const std::string& tail);
