// Reading a photograph of tests/data/photos for the integration tests, resized: with OpenImageIO
// on Linux, with stb_image on Windows (photo_loader_<system>.cpp), where the tests run under Wine
// without OpenImageIO. Expected results are always computed from the pixels loaded here.
#pragma once

#include <string>
#include <vector>

// RGB floats (0..1), rows as stored in the file; false, with error set, when it cannot be read.
bool loadTestPhoto(const std::string& path, int width, int height, std::vector<float>& rgb, std::string& error);
