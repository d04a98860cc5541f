// What the readers and the writer of image files share: the file's layout kept with an Image,
// and where a file names its colour space. Only image_read.cpp and image_write.cpp include it.
#pragma once

#include "imaging/image.h"

#include <OpenImageIO/imageio.h>

#include <cstddef>
#include <string>
#include <vector>

struct FileLayout {
  OIIO::ImageSpec header;        // windows, channel names and sample types, metadata, as read
  int colour[3] = {-1, -1, -1};  // the channels named R, G and B, when the file has all three
  int alpha = -1;
  int parts = 1;
  // Every channel as stored, packed per pixel; kept only when there are channels the tool
  // does not work on, so they can be written back untouched.
  std::vector<unsigned char> native;
  std::vector<size_t> offsets;  // of each channel within a stored pixel
  size_t pixelBytes = 0;
  bool hasColour() const { return colour[0] >= 0; }
  bool hasOtherChannels() const { return header.nchannels > (hasColour() ? 3 : 0) + (alpha >= 0 ? 1 : 0); }
};

// The attribute that names a file's colour space, and the same as a DPX user data block: its
// 32-byte user identification, then the name.
extern const char* const kSpaceAttribute;
constexpr size_t kUserIdBytes = 32;
std::string spaceInUserData(const OIIO::ImageSpec& header);

// One line per user error: the first line of what the library says.
std::string firstLine(std::string text);
std::string lastOiioError();
